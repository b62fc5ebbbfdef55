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

// Count automatic reconnects: OnDisconnect writes Active true at once, for half of them on
// the reader thread itself (the peer dropped the link), for the other half handed to the
// main thread. Every connection ends in one OnDisconnect, every reconnect works at once,
// and handles and threads return to their count before the reconnects.
TTrialReport Reconnects(int Count, unsigned Seed);

// Count closes and reopens from OnReceived, half with UseMainThread: the new connection
// stays open and carries the next exchange, and each connection ends in one OnDisconnect.
TTrialReport ReopensFromReceive(int Count, unsigned Seed);

// SendData and SendString of Size bytes each to an echo peer with a terminal linked, in
// both dispatch modes, and to a peer that stalls and resumes: every byte arrives whole and
// comes back whole.
TTrialReport LargeSends(size_t Size, unsigned Seed);

// Count destructions of a linked processor or log (half each) while data flows through
// them: no call reaches one once its destruction has begun, and the data keeps coming.
TTrialReport DestructionsWhileFlowing(int Count, unsigned Seed);

// Count opens of a slow device, each ended at a random moment of its lookup or its
// connect: by Active false, by destroying the component, or by ConnectTimeout. An open
// ended early raises no OnConnect (and, but for the time-out, no fatal error), one that
// got through closes normally; no callback comes after the component is gone, and
// handles and threads return to their count before the opens.
TTrialReport CancelledOpens(int Count, unsigned Seed);

// Count opens whose link the peer drops during the open's events (in OnOpen or in
// OnConnect, which then pause): each connection raises OnConnect, then OnDisconnect,
// once each and in that order, and handles and threads return to their count.
TTrialReport DropsDuringOpens(int Count, unsigned Seed);

// Count closes (Active false) while the echo keeps a receive handler busy, a quarter
// with UseMainThread; half the handlers wait in WaitForBytes, which the close ends. No
// handler is running or starts once the close has returned.
TTrialReport ClosesDuringHandlers(int Count, unsigned Seed);

// Out-of-range DeviceIndex, ServiceIndex and RadioIndex, BufferInSize of 0 and -1, a
// malformed world file and form file, and names of the maximum length without a
// terminating zero: each is refused or gives a clear error.
TTrialReport BadInput();

// The report as lines of text: the name, the counts, and the failures (at most MaxFailures).
std::string Describe(const TTrialReport& Report, size_t MaxFailures = 10);

} // namespace kvtrials
