// The fault trials at short counts; bench_faults runs them at full counts.
#include "trials/fault_trials.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace kvtrials;

namespace {

void ExpectHeld(const TTrialReport& Report) {
    EXPECT_TRUE(Report.Failures.empty()) << Describe(Report);
    std::printf("%s", Describe(Report).c_str());
}

TEST(FaultTrials, ConnectCyclesMatchEveryConnectWithOneDisconnectAndLeaveNothingOpen) {
    ExpectHeld(ConnectCycles(40, 1));
}

TEST(FaultTrials, CloseRacesEndOnceAndQuickly) {
    ExpectHeld(CloseRaces(40, 2));
}

TEST(FaultTrials, EchoExchangesComeBackWholeAcrossADroppedLink) {
    ExpectHeld(EchoExchanges(300, 3));
}

TEST(FaultTrials, BadInputIsRefusedOrGivesAClearError) {
    ExpectHeld(BadInput());
}

} // namespace
