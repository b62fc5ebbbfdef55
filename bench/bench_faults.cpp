// The fault trials at full counts: 1,000 connect and disconnect cycles, 1,000 close
// races, 10,000 echo exchanges, 1,000 automatic reconnects, 1,000 reopens from OnReceived,
// sends of 16 MiB with a terminal linked, 1,000 destructions while data flows, 1,000 opens
// ended at a random moment, 1,000 links dropped during the open, 1,000 closes while a
// receive handler runs and the bad-input cases, each printed with its counts.
// Usage: bench_faults [SCALE]   counts multiplied by SCALE (default 1; 0.1 for a quick run)
#include "trials/fault_trials.h"

#include "toolkit/application.h"

#include <cstdio>
#include <algorithm>
#include <cstdlib>

using namespace kvtrials;

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    auto count = [scale](int full) { return std::max(1, static_cast<int>(full * scale)); };
    TApplication app;
    const TTrialReport reports[] = {ConnectCycles(count(1000), 11),
                                    CloseRaces(count(1000), 12),
                                    EchoExchanges(count(10000), 13),
                                    Reconnects(count(1000), 14),
                                    ReopensFromReceive(count(1000), 15),
                                    LargeSends(static_cast<size_t>(count(16 << 20)), 16),
                                    DestructionsWhileFlowing(count(1000), 17),
                                    CancelledOpens(count(1000), 18),
                                    DropsDuringOpens(count(1000), 19),
                                    ClosesDuringHandlers(count(1000), 20),
                                    BadInput()};
    bool held = true;
    std::printf("Fault trials\n");
    for (const TTrialReport& r : reports) {
        std::printf("\n%s", Describe(r).c_str());
        held = held && r.Failures.empty();
    }
    std::fflush(stdout);
    return held ? 0 : 1;
}
