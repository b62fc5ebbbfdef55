// Opening without freezing: the window's messages are served while TkvBT waits on a slow
// device, a second Active true is ignored, Active false, Update and destruction cancel
// the open quietly, and ConnectTimeout ends a connect or a lookup that takes too long.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/exceptions.h"
#include "toolkit/forms.h"

#include "sim_open_handles.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

const BTH_ADDR kSlow = 0x00BB00000001;     // its lookup and its connect each take 2 s
const BTH_ADDR kSlowLink = 0x00BB00000002; // looked up at once, connected in 2 s
const GUID kSerialPort = kvsim::ServiceClass16(0x1101);
const UINT WM_TEST_POKE = WM_APP + 77;

kvsim::TWorld SlowWorld() {
    kvsim::TPeer slowPeer;
    slowPeer.ConnectDelayMs = 2000;
    kvsim::TWorld world = kvtrials::SerialWorld(
        0x00BB0000A001, {kvtrials::SerialDevice(L"Slow", kSlow, slowPeer),
                         kvtrials::SerialDevice(L"Slow Link", kSlowLink, slowPeer)});
    world.Devices[0].LookupDelayMs = 110; // 18 classes asked for: about 2 s
    return world;
}

// A window of the test's own whose posted messages run an action, as a user's clicks
// reach a program while it connects.
class TPokedForm : public TForm {
public:
    TPokedForm() : TForm(nullptr) {
        fOwn = GetWindowProc();
        SetWindowProc(TWndMethod::Bind<&TPokedForm::Proc>(this));
    }
    std::atomic<int> Pokes{0};
    std::atomic<ULONGLONG> WorstDelay{0}; // the longest a poke waited to be handled
    std::function<void()> OnPoke;
    // Its window, made on this (the main) thread; pokes are posted to it from any.
    HWND Window() { return GetHandle(); }

private:
    void Proc(TMessage& Message) {
        if (Message.Msg != WM_TEST_POKE)
            return fOwn(Message);
        ++Pokes;
        const ULONGLONG delay = GetTickCount64() - static_cast<ULONGLONG>(Message.WParam);
        if (delay > WorstDelay)
            WorstDelay = delay;
        if (auto action = std::exchange(OnPoke, nullptr))
            action();
    }
    TWndMethod fOwn;
};

struct TOpenEvents {
    std::atomic<int> Connects{0}, Disconnects{0}, Fatals{0};
    std::atomic<std::uint32_t> Detail{0};
    String Message;
    void Connected(TObject*) { ++Connects; }
    void Disconnected(TObject*) { ++Disconnects; }
    void Fatal(TObject*, std::uint32_t, std::uint32_t D, const String& M, bool&) {
        ++Fatals;
        Detail = D;
        Message = M;
    }
};

class Opening : public testing::Test {
protected:
    void SetUp() override {
        kvsim::Install(SlowWorld());
        form = new TPokedForm;
        owner = new TForm(nullptr);
        bt = new TkvBT(owner);
        bt->SetOnConnect(TNotifyEvent::Bind<&TOpenEvents::Connected>(&events));
        bt->SetOnDisconnect(TNotifyEvent::Bind<&TOpenEvents::Disconnected>(&events));
        bt->SetOnFatalError(TOnFatalErrorEvent::Bind<&TOpenEvents::Fatal>(&events));
        bt->Update();
    }
    void TearDown() override {
        delete owner;
        delete form;
        kvsim::Uninstall();
    }
    void Select(BTH_ADDR Address) { ASSERT_TRUE(kvtrials::SelectDevice(*bt, Address)); }
    std::shared_ptr<kvsim::TPeerServer> Peer(BTH_ADDR Device) {
        return kvsim::Peer(Device, kSerialPort);
    }
    // Opens; returns the exception's message, or empty.
    std::wstring OpenError() {
        try {
            bt->SetActive(true);
        } catch (const Exception& e) {
            return e.Message();
        }
        return L"";
    }
    // Pokes the form every 20 ms from another thread while the test runs.
    void StartPoking() {
        HWND window = form->Window();
        poker = std::thread([this, window] {
            while (!stopPoking) {
                PostMessageW(window, WM_TEST_POKE, static_cast<WPARAM>(GetTickCount64()), 0);
                Sleep(20);
            }
        });
    }
    void StopPoking() {
        stopPoking = true;
        if (poker.joinable())
            poker.join();
    }

    TOpenHandleCheck openHandles;
    TPokedForm* form = nullptr; // the window that user input reaches during the open
    TForm* owner = nullptr;     // the component's form
    TkvBT* bt = nullptr;
    TOpenEvents events;
    std::atomic<bool> stopPoking{false};
    std::thread poker;
};

TEST_F(Opening, TheWindowIsServedWhileTheOpenWaitsAndTheSequenceIsTheSame) {
    Select(kSlow);
    StartPoking();
    EXPECT_EQ(OpenError(), L"");
    const int pokes = form->Pokes;
    StopPoking();
    EXPECT_GT(pokes, 10) << "posted messages were handled during the open"; // 4 s of it
    // None waited long: a wait that served them only now and then would show here.
    EXPECT_LT(form->WorstDelay.load(), 1000u);
    EXPECT_TRUE(bt->GetActive());
    EXPECT_EQ(events.Connects, 1); // raised on this thread, before Active returned
    EXPECT_EQ(bt->GetBTDevice(bt->GetDeviceIndex())->ServiceCount(), 1);
}

TEST_F(Opening, ActiveTrueAgainDuringTheOpenIsIgnored) {
    Select(kSlowLink);
    std::atomic<bool> asked{false};
    form->OnPoke = [&] {
        EXPECT_TRUE(bt->Opening());
        bt->SetActive(true); // ignored: an open waits already
        asked = true;
    };
    StartPoking();
    EXPECT_EQ(OpenError(), L"");
    StopPoking();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(bt->GetActive());
    EXPECT_EQ(events.Connects, 1);
    EXPECT_TRUE(PumpUntil([&] { return Peer(kSlowLink)->Connections() == 1; }));
    PumpFor(100);
    EXPECT_EQ(Peer(kSlowLink)->Connections(), 1);
}

TEST_F(Opening, ActiveFalseUpdateAndTheDialogsCancelTheOpenQuietly) {
    struct TCase {
        const char* Name;
        BTH_ADDR Device; // a slow lookup, or a slow connect
        std::function<void(TkvBT&)> Cancel;
    };
    const TCase cases[] = {
        {"Active false in the lookup", kSlow, [](TkvBT& b) { b.SetActive(false); }},
        {"Active false in the connect", kSlowLink, [](TkvBT& b) { b.SetActive(false); }},
        {"Update", kSlowLink, [](TkvBT& b) { b.Update(); }},
        {"ConfigDialog", kSlowLink, [](TkvBT& b) { b.ConfigDialog(); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        events.Connects = events.Disconnects = events.Fatals = 0;
        Select(c.Device);
        const int threads = kvtrials::ProcessThreadCount();
        form->OnPoke = [&] { c.Cancel(*bt); };
        StartPoking();
        EXPECT_EQ(OpenError(), L""); // no exception
        StopPoking();
        stopPoking = false;
        EXPECT_FALSE(bt->GetActive());
        EXPECT_FALSE(bt->Opening());
        EXPECT_EQ(events.Connects, 0);
        EXPECT_EQ(events.Fatals, 0);
        EXPECT_EQ(events.Disconnects, 0);
        // Nothing left behind: the let-go worker has ended, and a link that it made late
        // it has closed itself.
        EXPECT_TRUE(PumpUntil([&] {
            return kvtrials::ProcessThreadCount() <= threads &&
                   (Peer(c.Device)->Connections() == 0 || Peer(c.Device)->ClientClosed());
        }));
        // And the next open works.
        Select(kSlowLink);
        EXPECT_EQ(OpenError(), L"");
        EXPECT_TRUE(bt->GetActive());
    }
}

TEST_F(Opening, DestroyingTheFormDuringTheOpenEndsIt) {
    Select(kSlowLink);
    form->OnPoke = [&] {
        delete owner; // the component goes with its form, inside the open's wait
        owner = nullptr;
    };
    StartPoking();
    EXPECT_NO_THROW(bt->SetActive(true)); // returns, touching nothing of what went
    StopPoking();
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(events.Connects, 0);
    EXPECT_EQ(events.Fatals, 0);
}

TEST_F(Opening, ConnectTimeoutBoundsTheWholeOpenAndLetsOneInTimeThrough) {
    struct TCase {
        const char* Name;
        BTH_ADDR Device;
        DWORD Timeout;
        std::wstring Message; // empty: it connects
    };
    const TCase cases[] = {
        {"connect", kSlowLink, 500,
         L"Connect to selected bluetooth device failed # =1=" + IntToStr(WSAETIMEDOUT)},
        {"lookup", kSlow, 500, L"Socket error  # =0= " + IntToStr(WSAETIMEDOUT)},
        // About 2 s of lookup and 2 s of connect: each alone fits, together they do not.
        {"lookup and connect together", kSlow, 3000,
         L"Connect to selected bluetooth device failed # =1=" + IntToStr(WSAETIMEDOUT)},
        {"in time", kSlowLink, 6000, L""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TearDown();
        SetUp();
        events.Connects = events.Fatals = 0;
        Select(c.Device);
        const int threads = kvtrials::ProcessThreadCount();
        bt->SetConnectTimeout(c.Timeout);
        EXPECT_EQ(OpenError(), c.Message);
        if (c.Message.empty()) {
            EXPECT_TRUE(bt->GetActive());
            EXPECT_EQ(events.Connects, 1);
            EXPECT_EQ(events.Fatals, 0);
            continue;
        }
        EXPECT_EQ(events.Detail, static_cast<std::uint32_t>(WSAETIMEDOUT));
        EXPECT_FALSE(bt->GetActive());
        EXPECT_EQ(events.Connects, 0);
        // The let-go worker ends by itself, and closes a link that it made late.
        EXPECT_TRUE(PumpUntil([&] {
            return kvtrials::ProcessThreadCount() <= threads &&
                   (Peer(c.Device)->Connections() == 0 || Peer(c.Device)->ClientClosed());
        }));
    }
}

} // namespace
