// TkvBT with a terminal on a live connection: what the user types reaches the device
// while the device streams into the terminal.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/forms.h"

#include "sim_open_handles.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

const BTH_ADDR kDevice = 0x00AB00000001;
const GUID kSerialPort = kvsim::ServiceClass16(0x1101);

class TerminalOnALink : public testing::Test {
protected:
    void SetUp() override {
        kvsim::TWorld world;
        kvsim::TRadio radio;
        radio.Name = L"Radio";
        radio.Address = 0x00AB0000A001;
        world.Radios.push_back(radio);
        kvsim::TPeer peer;
        peer.Kind = kvsim::TPeerKind::Silent;
        world.Devices = {kvtrials::SerialDevice(L"Streamer", kDevice, peer)};
        world.Settings.InquiryScale = 0;
        kvsim::Install(world);
        form = new TForm(nullptr);
        form->SetBounds(0, 0, 420, 300);
        memo = new TMemo(form);
        memo->SetParent(form);
        memo->SetBounds(0, 0, 400, 250);
        form->Show();
        bt = new TkvBT(nullptr);
        ASSERT_TRUE(kvtrials::SelectDevice(*bt, kDevice));
    }
    void TearDown() override {
        delete bt;
        delete form;
        kvsim::Uninstall();
    }
    std::shared_ptr<kvsim::TPeerServer> Peer() { return kvsim::Peer(kDevice, kSerialPort); }

    TOpenHandleCheck openHandles;
    TForm* form = nullptr;
    TMemo* memo = nullptr;
    TkvBT* bt = nullptr;
};

TEST_F(TerminalOnALink, EveryTypedKeyReachesTheDeviceInOrderWhileItStreams) {
    // Keys come as the keyboard delivers them, posted, while the device sends lines of
    // text at 272,000 bytes/s.
    const int keyCount = 10000;
    std::string keys;
    for (int i = 0; i < keyCount; ++i)
        keys += static_cast<char>('a' + i % 26);
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread ? "UseMainThread" : "reader thread");
        bt->SetUseMainThread(mainThread);
        bt->SetTerminal(memo);
        bt->SetTerminalUsage(tuBoth);
        const int links = Peer()->Connections();
        bt->SetActive(true);
        ASSERT_TRUE(bt->GetActive());
        ASSERT_TRUE(PumpUntil([&] { return Peer()->Connections() > links; }));
        const size_t before = Peer()->Received().size();

        std::atomic<bool> typing{true};
        std::thread device([&] {
            ULONGLONG start = GetTickCount64();
            long long sent = 0, line = 0;
            while (typing) {
                std::string lines;
                long long due = static_cast<long long>(GetTickCount64() - start) * 272;
                while (sent + static_cast<long long>(lines.size()) < due) {
                    char text[65];
                    std::snprintf(text, sizeof text, "line %08lld %48s\r\n", line++, "");
                    lines.append(text, 64);
                }
                sent += static_cast<long long>(lines.size());
                Peer()->Send(lines);
                Sleep(5);
            }
        });
        HWND window = memo->GetHandle();
        std::thread keyboard([&] {
            for (int i = 0; i < keyCount; ++i) {
                PostMessageW(window, WM_CHAR, static_cast<unsigned char>(keys[i]), 1);
                if (i % 10 == 9)
                    Sleep(2);
            }
        });
        bool arrived =
            PumpUntil([&] { return Peer()->Received().size() >= before + keyCount; }, 20000);
        typing = false;
        keyboard.join();
        device.join();
        std::string got = Peer()->Received().substr(before);
        EXPECT_TRUE(arrived) << got.size() << " of " << keyCount << " keys reached the device";
        EXPECT_TRUE(got == keys) << "the keys did not arrive in order";
        bt->SetActive(false);
    }
}

} // namespace
