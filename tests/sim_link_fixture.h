#pragma once
// A fixture for the tests of one component on a simulated world of serial devices: it
// installs the world that World() makes, makes the component and lists the devices, and
// at the end checks that no simulated handle was left open.

#include "components/kvbt.h"
#include "sim/sim.h"

#include "sim_open_handles.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <memory>

class TSimLinkTest : public testing::Test {
protected:
    virtual kvsim::TWorld World() = 0;

    void SetUp() override {
        kvsim::Install(World());
        bt = new TkvBT(nullptr);
        bt->Update();
    }
    void TearDown() override {
        delete bt;
        kvsim::Uninstall();
    }
    // The far end of Device's serial port service.
    static std::shared_ptr<kvsim::TPeerServer> Peer(BTH_ADDR Device) {
        return kvsim::Peer(Device, kvsim::ServiceClass16(0x1101));
    }
    // Opens Device and waits until its peer has taken the link.
    void Open(BTH_ADDR Device) {
        int links = Peer(Device)->Connections();
        ASSERT_TRUE(kvtrials::SelectDevice(*bt, Device));
        bt->SetActive(true);
        ASSERT_TRUE(bt->GetActive());
        ASSERT_TRUE(PumpUntil([&] { return Peer(Device)->Connections() > links; }));
    }

    TOpenHandleCheck openHandles;
    TkvBT* bt = nullptr;
};
