// TkvBT with a terminal on a live connection: what the user types reaches the device
// while the device streams into the terminal, and received text reaches the terminal it
// came for, also when the window is busy while it arrives.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/forms.h"

#include "sim_open_handles.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace {

// Waits for Condition without serving the main thread's messages: the window is busy.
bool WaitUnserved(const std::function<bool()>& Condition, DWORD TimeoutMs = 10000) {
    ULONGLONG start = GetTickCount64();
    while (!Condition()) {
        if (GetTickCount64() - start > TimeoutMs)
            return false;
        Sleep(1);
    }
    return true;
}

// What the component reports, from whichever thread.
struct TSeen {
    std::atomic<size_t> Received{0};
    std::function<void()> OnDisconnect;
    void Arrived(TObject*, void*, std::uint32_t Len) { Received += Len; }
    void Disconnected(TObject*) {
        if (OnDisconnect)
            OnDisconnect();
    }
};

const BTH_ADDR kDevice = 0x00AB00000001;
const GUID kSerialPort = kvsim::ServiceClass16(0x1101);

class TerminalOnALink : public testing::Test {
protected:
    void SetUp() override {
        kvsim::TPeer peer;
        peer.Kind = kvsim::TPeerKind::Silent;
        kvsim::Install(kvtrials::SerialWorld(0x00AB0000A001,
                                             {kvtrials::SerialDevice(L"Streamer", kDevice, peer)}));
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

    // Opens, with the terminal linked for both ways, and waits until the peer has the link.
    void Open(bool MainThread = false) {
        bt->SetUseMainThread(MainThread);
        bt->SetTerminal(memo);
        bt->SetTerminalUsage(tuBoth);
        const int links = Peer()->Connections();
        bt->SetActive(true);
        ASSERT_TRUE(bt->GetActive());
        ASSERT_TRUE(PumpUntil([&] { return Peer()->Connections() > links; }));
    }
    // The peer sends Text, and the reader has dispatched it while the window was busy.
    void ReceiveUnserved(const std::string& Text) {
        const size_t before = seen.Received;
        Peer()->Send(Text);
        ASSERT_TRUE(WaitUnserved([&] { return seen.Received == before + Text.size(); }))
            << "the reader waited for the window";
    }
    TMemo* NewMemo() {
        auto* m = new TMemo(form);
        m->SetParent(form);
        m->SetBounds(0, 0, 400, 250);
        return m;
    }

    TOpenHandleCheck openHandles;
    TForm* form = nullptr;
    TMemo* memo = nullptr;
    TkvBT* bt = nullptr;
    TSeen seen;
};

TEST_F(TerminalOnALink, ReceivedTextGoesIntoTheTerminalItCameForBeforeTheCloseEvents) {
    bt->SetOnReceived(TOnReceived::Bind<&TSeen::Arrived>(&seen));
    bt->SetOnDisconnect(TNotifyEvent::Bind<&TSeen::Disconnected>(&seen));
    Open();
    ReceiveUnserved("to the first\r\n");
    // Relinking writes what waits into the terminal it came for first.
    TMemo* other = NewMemo();
    bt->SetTerminal(other);
    EXPECT_EQ(memo->GetText(), L"to the first\r\n");
    EXPECT_EQ(other->GetText(), L"");

    // A close on the main thread writes what waits before OnDisconnect.
    ReceiveUnserved("before the close");
    String shownAtDisconnect;
    seen.OnDisconnect = [&] { shownAtDisconnect = other->GetText(); };
    bt->SetActive(false);
    EXPECT_EQ(shownAtDisconnect, L"before the close");

    // Text still on its way when its terminal goes is dropped, and when its component
    // goes, it is written into the terminal that stays; nothing reaches either later.
    seen.OnDisconnect = nullptr;
    for (bool terminalGoes : {true, false}) {
        SCOPED_TRACE(terminalGoes ? "the terminal goes" : "the component goes");
        memo = NewMemo();
        Open();
        ReceiveUnserved("on its way");
        if (terminalGoes) {
            delete memo;
            memo = nullptr;
            PumpFor(50);
            ReceiveUnserved("for nobody"); // the component goes on receiving
            bt->SetActive(false);
        } else {
            delete bt;
            bt = new TkvBT(nullptr);
            ASSERT_TRUE(kvtrials::SelectDevice(*bt, kDevice));
            bt->SetOnReceived(TOnReceived::Bind<&TSeen::Arrived>(&seen));
            EXPECT_EQ(memo->GetText(), L"on its way");
            PumpFor(50);
        }
    }
}

TEST_F(TerminalOnALink, EveryTypedKeyReachesTheDeviceInOrderWhileItStreams) {
    // Keys come as the keyboard delivers them, posted, while the device sends lines of
    // text at 272,000 bytes/s.
    const int keyCount = 10000;
    std::string keys;
    for (int i = 0; i < keyCount; ++i)
        keys += static_cast<char>('a' + i % 26);
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread ? "UseMainThread" : "reader thread");
        Open(mainThread);
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
            // Five keys a millisecond, however long a Sleep lasts.
            ULONGLONG start = GetTickCount64();
            for (int i = 0; i < keyCount;) {
                const auto due = static_cast<int>(
                    std::min<ULONGLONG>(keyCount, (GetTickCount64() - start + 1) * 5));
                for (; i < due; ++i)
                    PostMessageW(window, WM_CHAR, static_cast<unsigned char>(keys[i]), 1);
                Sleep(1);
            }
        });
        bool arrived =
            PumpUntil([&] { return Peer()->Received().size() >= before + keyCount; }, 60000);
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
