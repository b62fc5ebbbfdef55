#pragma once
// A member for the fixtures of the component tests that run on the simulated stack: at
// the test's end (after its TearDown) it fails the test when the program left more
// simulated platform handles open, or more Winsock start-ups without their clean-up, than
// there were at its start. An open's worker that was let go ends by itself: it is given
// the time to.

#include "sim/sim.h"

#include "test_support.h"

#include <gtest/gtest.h>

class TOpenHandleCheck {
public:
    TOpenHandleCheck() : fBefore(kvsim::OpenHandles()) {}
    ~TOpenHandleCheck() {
        kvsim::TOpenHandles after;
        PumpUntil([&] { return (after = kvsim::OpenHandles()) == fBefore; });
        EXPECT_TRUE(after == fBefore) << "left open: " << kvsim::Describe(after)
                                      << "\n  at the start: " << kvsim::Describe(fBefore);
    }
    TOpenHandleCheck(const TOpenHandleCheck&) = delete;
    TOpenHandleCheck& operator=(const TOpenHandleCheck&) = delete;

private:
    kvsim::TOpenHandles fBefore;
};
