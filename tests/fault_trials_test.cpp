// The fault trials at short counts; bench_faults runs them at full counts.
#include "trials/fault_trials.h"

#include "sim_open_handles.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace kvtrials;

namespace {

class FaultTrials : public testing::Test {
    TOpenHandleCheck openHandles;
};

void ExpectHeld(const TTrialReport& Report) {
    EXPECT_TRUE(Report.Failures.empty()) << Describe(Report);
    std::printf("%s", Describe(Report).c_str());
}

TEST_F(FaultTrials, ConnectCyclesMatchEveryConnectWithOneDisconnectAndLeaveNothingOpen) {
    ExpectHeld(ConnectCycles(40, 1));
}

TEST_F(FaultTrials, CloseRacesEndOnceAndQuickly) {
    ExpectHeld(CloseRaces(40, 2));
}

TEST_F(FaultTrials, EchoExchangesComeBackWholeAcrossADroppedLink) {
    ExpectHeld(EchoExchanges(300, 3));
}

TEST_F(FaultTrials, AutomaticReconnectsFromOnDisconnectLeaveNothingBehind) {
    ExpectHeld(Reconnects(40, 4));
}

TEST_F(FaultTrials, ReopensFromOnReceivedKeepTheNewConnectionInBothModes) {
    ExpectHeld(ReopensFromReceive(40, 5));
}

TEST_F(FaultTrials, LargeSendsArriveAndComeBackWholeWithATerminalLinked) {
    ExpectHeld(LargeSends(512 * 1024, 6));
}

TEST_F(FaultTrials, DestroyingALinkedProcessorOrLogWhileDataFlowsIsSafe) {
    ExpectHeld(DestructionsWhileFlowing(30, 7));
}

TEST_F(FaultTrials, OpensEndedAtARandomMomentLeaveNothingBehind) {
    ExpectHeld(CancelledOpens(30, 8));
}

TEST_F(FaultTrials, LinksDroppedDuringTheOpenConnectThenDisconnect) {
    ExpectHeld(DropsDuringOpens(30, 9));
}

TEST_F(FaultTrials, NoHandlerRunsOnceACloseHasReturned) {
    ExpectHeld(ClosesDuringHandlers(30, 10));
}

TEST_F(FaultTrials, BadInputIsRefusedOrGivesAClearError) {
    ExpectHeld(BadInput());
}

} // namespace
