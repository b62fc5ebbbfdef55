#pragma once
// Fault trials of TkvBT on the simulated stack: many connections made and ended in every
// way, close races, echo exchanges with drops, and bad input. Each trial run counts its
// outcomes and lists every broken promise as a failure; the test suite runs them at
// short counts, bench_faults at full counts.
//
// Run them on the main thread, with the application object made and no world installed:
// each run installs its own world and uninstalls it at the end.

#include <map>
#include <string>
#include <vector>

namespace kvtrials {

struct TTrialReport {
    std::string Name;
    int Trials = 0;
    std::map<std::string, long long> Counts; // what happened, by kind
    std::vector<std::string> Failures;       // empty when every promise held
};

// Connects and disconnects Count times, each time one of: a connect that the peer
// refuses, one that times out, a connection the peer drops, one the application closes.
// Every OnConnect is matched by exactly one OnDisconnect, every socket is closed once,
// and the process's threads return to their count before the cycles, its handles too
// but for the few that the threads library gives a long-lived lock once it is contended.
TTrialReport ConnectCycles(int Count, unsigned Seed);

// Count close races, each on a component of its own: the application closing while the
// peer drops the link; closing inside OnReceived; closing while the reader waits in a
// SendMessageW to the terminal; destroying the component while data flows. Each ends
// within 2 s in exactly one OnDisconnect, its socket closed once, and no callback after
// the component is gone.
TTrialReport CloseRaces(int Count, unsigned Seed);

// Count echo exchanges of 1 to 990 random bytes, each verified byte for byte. At random
// points (about once in 500 exchanges, and once within the first 1,000) the link drops
// in the middle of an exchange, which must end in one disconnect and a reconnect that
// works at once.
TTrialReport EchoExchanges(int Count, unsigned Seed);

// Out-of-range DeviceIndex, ServiceIndex and RadioIndex, BufferInSize of 0 and -1, a
// malformed world file and form file, and names of the maximum length without a
// terminating zero: each is refused or gives a clear error.
TTrialReport BadInput();

// The report as lines of text: the name, the counts, and the failures (at most MaxFailures).
std::string Describe(const TTrialReport& Report, size_t MaxFailures = 10);

} // namespace kvtrials
