// TkvBT in an application's hands: what a handler may do from every event, on every
// thread it runs on, and the faults that such handlers once met (reopening from a
// handler, large sends into a full socket, reads that took the reader's bytes,
// exceptions in the destructor, buffers resized during a dispatch).
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/exceptions.h"
#include "toolkit/forms.h"

#include "kv_test_transport.h"
#include "sim_open_handles.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace {

const BTH_ADDR kEcho = 0x00AA00000001;
const BTH_ADDR kMute = 0x00AA00000002; // sends what it is told to, reads nothing
const BTH_ADDR kRefusing = 0x00AA00000003;
const GUID kSerialPort = kvsim::ServiceClass16(0x1101);

kvsim::TWorld EchoWorld() {
    kvsim::TPeer echo, mute, refusing;
    mute.StallAfter = 0;
    refusing.ConnectError = WSAECONNREFUSED;
    return kvtrials::SerialWorld(0x00AA0000A001,
                                 {kvtrials::SerialDevice(L"Echo", kEcho, echo),
                                  kvtrials::SerialDevice(L"Mute", kMute, mute),
                                  kvtrials::SerialDevice(L"Refusing", kRefusing, refusing)});
}

// Every socket closed, counted, so that a test sees when a connection's last holder has
// let go of it.
std::atomic<int> gSocketCloses{0};
TkvSocketApi gSystemSockets;
int WSAAPI CountedClose(SOCKET s) {
    ++gSocketCloses;
    return gSystemSockets.closesocket(s);
}

// A processor that records what reaches it, and runs a test's action once from one of
// its own events.
class TActingProcessor : public TkvCustomDataProcessor {
public:
    using TkvCustomDataProcessor::TkvCustomDataProcessor;
    ~TActingProcessor() override { EndCalls(); }
    std::function<void()> OnProcessing, OnOpened, OnClosed;
    void DoProcessing(std::uint8_t* Data, std::uint32_t Len, TIgnoreTypes& R) override {
        Run(OnProcessing);
        TkvCustomDataProcessor::DoProcessing(Data, Len, R);
    }
    void DoMediumOpened() override { Run(OnOpened); }
    void DoMediumClosed() override { Run(OnClosed); }

private:
    static void Run(std::function<void()>& Action) {
        if (auto action = std::exchange(Action, nullptr))
            action();
    }
};

// The component's events, counted, each able to run a test's action once.
struct TEvents {
    std::mutex Lock;
    std::string Received;
    std::atomic<int> Connects{0}, Disconnects{0}, Opens{0}, Closes{0};
    std::atomic<bool> Gone{false};
    std::atomic<int> LateCalls{0};
    std::function<void()> OnOpen, OnConnect, OnReceived, OnClose, OnDisconnect, OnFatalError;
    bool ThrowOnDisconnect = false;

    void Call(std::function<void()>& Action) {
        if (Gone)
            ++LateCalls;
        if (auto action = std::exchange(Action, nullptr))
            action();
    }
    void Opened(TObject*) {
        ++Opens;
        Call(OnOpen);
    }
    void Connected(TObject*) {
        ++Connects;
        Call(OnConnect);
    }
    void Arrived(TObject*, void* Buffer, std::uint32_t Len) {
        {
            std::lock_guard<std::mutex> lock(Lock);
            Received.append(static_cast<const char*>(Buffer), Len);
        }
        Call(OnReceived);
    }
    void Closed(TObject*) {
        ++Closes;
        Call(OnClose);
    }
    void Fatal(TObject*, std::uint32_t, std::uint32_t, const String&, bool&) { Call(OnFatalError); }
    void Disconnected(TObject*) {
        ++Disconnects;
        Call(OnDisconnect);
        if (ThrowOnDisconnect)
            throw Exception(L"from OnDisconnect");
    }
    std::string Data() {
        std::lock_guard<std::mutex> lock(Lock);
        return Received;
    }
    void Watch(TkvBT& Bt) {
        Bt.SetOnOpen(TNotifyEvent::Bind<&TEvents::Opened>(this));
        Bt.SetOnConnect(TNotifyEvent::Bind<&TEvents::Connected>(this));
        Bt.SetOnReceived(TOnReceived::Bind<&TEvents::Arrived>(this));
        Bt.SetOnClose(TNotifyEvent::Bind<&TEvents::Closed>(this));
        Bt.SetOnDisconnect(TNotifyEvent::Bind<&TEvents::Disconnected>(this));
        Bt.SetOnFatalError(TOnFatalErrorEvent::Bind<&TEvents::Fatal>(this));
    }
};

class Handlers : public testing::Test {
public:
    void SetUp() override {
        kvsim::Install(EchoWorld());
        gSystemSockets = kvSocketApi;
        kvSocketApi.closesocket = CountedClose;
        form = new TForm(nullptr);
        form->SetBounds(0, 0, 700, 300);
        memo = new TMemo(form);
        memo->SetParent(form);
        memo->SetBounds(0, 0, 600, 250);
        otherMemo = new TMemo(form);
        otherMemo->SetParent(form);
        otherMemo->SetBounds(600, 0, 90, 250);
        form->Show();
        bt = NewComponent();
    }
    void TearDown() override {
        delete bt;
        events.Gone = true;
        delete form;
        kvSocketApi.closesocket = gSystemSockets.closesocket;
        kvsim::Uninstall();
    }
    TkvBT* NewComponent() {
        auto* b = new TkvBT(nullptr);
        events.Watch(*b);
        b->Update();
        b->SetDeviceIndex(0);
        return b;
    }
    std::shared_ptr<kvsim::TPeerServer> Peer(BTH_ADDR Device = kEcho) {
        return kvsim::Peer(Device, kSerialPort);
    }
    // Opens, and waits until the peer has taken the link, so that what the test has the
    // peer do reaches this connection.
    void Open(BTH_ADDR Device = kEcho) {
        int links = Peer(Device)->Connections();
        ASSERT_TRUE(kvtrials::SelectDevice(*bt, Device));
        bt->SetActive(true);
        ASSERT_TRUE(bt->GetActive());
        ASSERT_TRUE(PumpUntil([&] { return Peer(Device)->Connections() > links; }));
    }
    // Sends Text and waits until the echo has come back through OnReceived.
    bool Exchange(const std::string& Text) {
        size_t before = events.Data().size();
        bt->SendString(Text.c_str());
        return PumpUntil([&] { return events.Data().size() >= before + Text.size(); }) &&
               events.Data().substr(before) == Text;
    }

    TOpenHandleCheck openHandles;
    TForm* form = nullptr;
    TMemo* memo = nullptr;
    TMemo* otherMemo = nullptr;
    TkvBT* bt = nullptr;
    TEvents events;
};

// ---- What a handler may call, from every event, in both dispatch modes

TEST_F(Handlers, EveryEventMayCallBackIntoTheComponent) {
    enum TTrigger { Open, FailedOpen, Receive, Drop, AppClose };
    struct TEvent {
        const char* Name;
        TTrigger Trigger;
        std::function<void()> TEvents::*ComponentEvent;
        std::function<void()> TActingProcessor::*ProcessorEvent;
    };
    const TEvent eventsUnderTest[] = {
        {"OnOpen", Open, &TEvents::OnOpen, nullptr},
        {"OnConnect", Open, &TEvents::OnConnect, nullptr},
        {"notification 2", Open, nullptr, &TActingProcessor::OnOpened},
        {"OnFatalError", FailedOpen, &TEvents::OnFatalError, nullptr},
        {"OnReceived", Receive, &TEvents::OnReceived, nullptr},
        {"DoProcessing", Receive, nullptr, &TActingProcessor::OnProcessing},
        {"OnClose, link dropped", Drop, &TEvents::OnClose, nullptr},
        {"OnDisconnect, link dropped", Drop, &TEvents::OnDisconnect, nullptr},
        {"notification 1, link dropped", Drop, nullptr, &TActingProcessor::OnClosed},
        {"OnDisconnect, closed by the application", AppClose, &TEvents::OnDisconnect, nullptr},
    };
    // What a call did, looked at once the event is over: Open tells whether the link was
    // open when the call was made, Failing that it was made in the fatal error of an open
    // (whose Active true is ignored, as any made while an open is in progress).
    struct TCall {
        const char* Name;
        std::function<void(Handlers&, TActingProcessor*&, TRecordingLog*&)> Do;
        std::function<void(Handlers&, bool Open, bool Failing)> Check;
    };
    // The device sends, once it has taken the link (from any thread: no pumping).
    auto deviceSends = [](Handlers& t, const char* Bytes) {
        for (int i = 0; i < 5000 && !t.Peer()->Send(Bytes); ++i)
            Sleep(1);
    };
    // Bytes sent from a handler reach the device whole, when the link was open.
    auto reached = [](const char* Bytes) {
        return [Bytes](Handlers& t, bool open, bool) {
            if (open) {
                EXPECT_TRUE(PumpUntil([&] {
                    return t.Peer()->Received().find(Bytes) != std::string::npos;
                })) << t.Peer()->Received();
                // and its echo has come back, before the next exchange
                EXPECT_TRUE(PumpUntil([&] {
                    return t.events.Data().find(Bytes) != std::string::npos;
                })) << t.events.Data();
            }
        };
    };
    const TCall calls[] = {
        {"Active false", [](Handlers& t, auto&, auto&) { t.bt->SetActive(false); },
         [](Handlers& t, bool, bool) { EXPECT_FALSE(t.bt->GetActive()); }},
        {"Active false, true",
         [](Handlers& t, auto&, auto&) {
             t.bt->SetActive(false);
             t.bt->SetActive(true);
         },
         [](Handlers& t, bool, bool failing) { EXPECT_EQ(t.bt->GetActive(), !failing); }},
        {"Active true", [](Handlers& t, auto&, auto&) { t.bt->SetActive(true); },
         [](Handlers& t, bool, bool failing) { EXPECT_EQ(t.bt->GetActive(), !failing); }},
        {"SendString", [](Handlers& t, auto&, auto&) { t.bt->SendString("<string>"); },
         reached("<string>")},
        {"SendData",
         [](Handlers& t, auto&, auto&) {
             const std::uint8_t d[] = {'<', 'd', 'a', 't', 'a', '>'};
             t.bt->SendData(d, sizeof d);
         },
         reached("<data>")},
        {"SendChar", [](Handlers& t, auto&, auto&) { t.bt->SendChar(L'#'); }, reached("#")},
        {"ReadString, ReadAll",
         [deviceSends](Handlers& t, auto&, auto&) {
             if (!t.bt->GetActive()) {
                 EXPECT_EQ(t.bt->ReadString(), L"");
                 return;
             }
             deviceSends(t, "read me");
             ASSERT_TRUE(t.bt->WaitForBytes(7, 5000)); // held from the reader meanwhile
             EXPECT_EQ(t.bt->ReadString(), L"read me");
             deviceSends(t, "all");
             ASSERT_TRUE(t.bt->WaitForBytes(3, 5000));
             char buffer[8] = {};
             const std::uint32_t ready = t.bt->ReadyForRead();
             t.bt->ReadAll(buffer);
             EXPECT_EQ(std::string(buffer, ready), "all");
         },
         nullptr},
        {"WaitForBytes",
         [deviceSends](Handlers& t, auto&, auto&) {
             if (!t.bt->GetActive()) {
                 EXPECT_FALSE(t.bt->WaitForBytes(1, 20));
                 return;
             }
             deviceSends(t, "w");
             EXPECT_TRUE(t.bt->WaitForBytes(1, 5000));
         },
         nullptr},
        {"BufferInSize", [](Handlers& t, auto&, auto&) { t.bt->SetBufferInSize(1000); },
         [](Handlers& t, bool, bool) { EXPECT_EQ(t.bt->GetBufferInSize(), 1000); }},
        {"relink terminal",
         [](Handlers& t, auto&, auto&) {
             t.bt->SetTerminal(t.otherMemo);
             t.bt->SetTerminal(t.memo);
         },
         [](Handlers& t, bool, bool) { EXPECT_EQ(t.bt->GetTerminal(), t.memo); }},
        {"unlink processor and log",
         [](Handlers& t, auto&, auto&) {
             t.bt->SetDataProcessor(nullptr);
             t.bt->SetLog(nullptr);
         },
         [](Handlers& t, bool, bool) {
             EXPECT_EQ(t.bt->GetDataProcessor(), nullptr);
             EXPECT_EQ(t.bt->GetLog(), nullptr);
         }},
        {"destroy chained processor",
         [](Handlers&, TActingProcessor*& Chained, auto&) {
             delete std::exchange(Chained, nullptr);
         },
         nullptr},
        {"destroy log",
         [](Handlers&, auto&, TRecordingLog*& Log) { delete std::exchange(Log, nullptr); },
         [](Handlers& t, bool, bool) { EXPECT_EQ(t.bt->GetLog(), nullptr); }},
    };

    int rows = 0;
    for (bool mainThread : {false, true})
        for (const TEvent& event : eventsUnderTest)
            for (const TCall& call : calls) {
                SCOPED_TRACE(std::string(event.Name) + " x " + call.Name +
                             (mainThread ? " x main thread" : " x reader thread"));
                ++rows;
                delete bt;
                events.Opens = events.Disconnects = 0;
                bt = NewComponent();
                bt->SetUseMainThread(mainThread);
                bt->SetTerminal(memo);
                bt->SetTerminalUsage(tuReceive);
                auto* processor = new TActingProcessor(form);
                auto* chained = new TActingProcessor(form);
                auto* log = new TRecordingLog(form);
                processor->SetDataProcessor(chained);
                processor->SetLog(log);
                bt->SetDataProcessor(processor);
                bt->SetLog(log);

                std::atomic<bool> ran{false}, openAtCall{false};
                auto action = [&, call] {
                    openAtCall = bt->GetActive();
                    call.Do(*this, chained, log);
                    ran = true;
                };
                if (event.Trigger == FailedOpen)
                    ASSERT_TRUE(kvtrials::SelectDevice(*bt, kRefusing));
                else if (event.Trigger != Open)
                    this->Open();
                if (event.ComponentEvent)
                    events.*(event.ComponentEvent) = action;
                else
                    processor->*(event.ProcessorEvent) = action;
                switch (event.Trigger) {
                case Open:
                    bt->SetActive(true);
                    break;
                case FailedOpen:
                    EXPECT_THROW(bt->SetActive(true), Exception);
                    break;
                case Receive:
                    Peer()->Send("trigger");
                    break;
                case Drop:
                    Peer()->Drop();
                    break;
                case AppClose:
                    bt->SetActive(false);
                    break;
                }
                ASSERT_TRUE(PumpUntil([&] { return ran.load(); }, 5000));
                PumpFor(20);
                if (call.Check)
                    call.Check(*this, openAtCall, event.Trigger == FailedOpen);

                // The component goes on working: a further exchange, then one
                // OnDisconnect for each connection (each raised OnOpen).
                if (event.Trigger == FailedOpen) {
                    ASSERT_TRUE(kvtrials::SelectDevice(*bt, kEcho));
                }
                if (!bt->GetActive())
                    bt->SetActive(true);
                ASSERT_TRUE(bt->GetActive());
                ASSERT_TRUE(Exchange("ping")) << events.Data();
                bt->SetActive(false);
                EXPECT_EQ(events.Disconnects, events.Opens);
                events.OnOpen = events.OnConnect = events.OnReceived = events.OnClose =
                    events.OnDisconnect = events.OnFatalError = nullptr;
                delete processor;
                delete chained;
                delete log;
            }
    std::printf("%d rows of event x call x dispatch mode\n", rows);
}

// ---- The faults that handlers met

TEST_F(Handlers, CloseAndReopenFromOnReceivedKeepsTheNewConnectionInBothModes) {
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread);
        delete bt;
        events.Connects = events.Disconnects = 0;
        bt = NewComponent();
        bt->SetUseMainThread(mainThread);
        Open();
        events.OnReceived = [this] {
            bt->SetActive(false);
            bt->SetActive(true);
        };
        Peer()->Send("reopen");
        ASSERT_TRUE(PumpUntil([&] { return events.Connects == 2; }));
        PumpFor(300); // the first reader leaves meanwhile
        EXPECT_TRUE(bt->GetActive());
        EXPECT_EQ(events.Disconnects, 1);
        EXPECT_TRUE(Exchange("after"));
    }
}

TEST_F(Handlers, ReconnectFromOnDisconnectOnTheReaderThreadLeavesNoReaderBehind) {
    std::atomic<int> reconnects{0};
    std::function<void()> reconnect = [&] {
        ++reconnects;
        bt->SetActive(true);
        events.OnDisconnect = reconnect;
    };
    events.OnDisconnect = reconnect;
    Open();
    auto cycles = [&](int Count) {
        for (int i = 0; i < Count; ++i) {
            int links = Peer()->Connections(), done = reconnects;
            Peer()->Drop();
            ASSERT_TRUE(PumpUntil([&] {
                return reconnects > done && bt->GetActive() && Peer()->Connections() > links;
            }));
        }
    };
    cycles(10); // what Winsock makes once, made before counting
    const int handles = kvtrials::ProcessHandleCount(), threads = kvtrials::ProcessThreadCount();
    ASSERT_GE(handles, 0) << "the handle count cannot be read";
    ASSERT_GE(threads, 0) << "the thread count cannot be read";
    cycles(40);
    EXPECT_TRUE(Exchange("still here"));
    // Each dropped connection's reader has gone, with its thread and its handles.
    EXPECT_TRUE(PumpUntil([&] {
        return kvtrials::ProcessHandleCount() <= handles + kvtrials::kLazyLockHandles &&
               kvtrials::ProcessThreadCount() <= threads;
    })) << "handles "
        << handles << " -> " << kvtrials::ProcessHandleCount() << ", threads " << threads << " -> "
        << kvtrials::ProcessThreadCount();
    events.OnDisconnect = nullptr;
}

TEST_F(Handlers, LargeSendsToAnEchoingPeerWithATerminalLinkedComplete) {
    // The reader writes the echo into the terminal with sent messages (or hands it to
    // the main thread) while the main thread waits for socket space: more than all the
    // buffers on the way hold.
    const size_t size = 16 * 1024 * 1024;
    std::string block(size, '\0');
    std::mt19937 random(5);
    for (size_t i = 0; i < size; ++i)
        block[i] = i % 64 == 63 ? '\n' : static_cast<char>('a' + random() % 26);
    for (bool mainThread : {false, true})
        for (int op : {0, 1}) {
            SCOPED_TRACE(std::string(mainThread ? "main thread" : "reader thread") +
                         (op == 0 ? " SendData" : " SendString"));
            delete bt;
            events.Received.clear();
            bt = NewComponent();
            bt->SetUseMainThread(mainThread);
            bt->SetTerminal(memo);
            bt->SetTerminalUsage(tuReceive);
            Open();
            size_t before = Peer()->Received().size();
            if (op == 0)
                bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                             static_cast<std::uint32_t>(size));
            else
                bt->SendString(block);
            ASSERT_TRUE(PumpUntil([&] { return events.Data().size() == size; }, 60000))
                << events.Data().size();
            EXPECT_EQ(Peer()->Received().substr(before), block);
            EXPECT_TRUE(events.Data() == block);
        }
}

TEST_F(Handlers, AReadThatTookTheReadersBytesDoesNotStopItNoticingAClose) {
    // A peer that reads nothing, and a shutdown that wakes nothing (as under some Wine
    // versions): only the component itself can end its reader.
    kvSocketApi.shutdown = [](SOCKET, int) { return 0; };
    Open(kMute);
    bt->SetBufferInSize(16); // the reader receives 16 bytes at a time of what it counted
    events.OnReceived = [this] { bt->ReadString(); }; // takes the rest behind its back
    Peer(kMute)->Send(std::string(1000, 'r'));
    ASSERT_TRUE(PumpUntil([&] { return events.Data().size() >= 16; }));
    int closes = gSocketCloses;
    bt->SetActive(false);
    // The reader leaves and lets go of the socket.
    EXPECT_TRUE(PumpUntil([&] { return gSocketCloses > closes; }, 3000));
    kvSocketApi.shutdown = gSystemSockets.shutdown;
}

TEST_F(Handlers, AnExceptionFromOnDisconnectReachesTheCloserButNotTheDestructor) {
    events.ThrowOnDisconnect = true;
    bt->SetActive(true);
    EXPECT_THROW(bt->SetActive(false), Exception);
    bt->SetActive(true);
    delete bt; // the close inside the destructor raises it too: it is dropped
    bt = nullptr;
    EXPECT_EQ(events.Disconnects, 2);
}

TEST_F(Handlers, BufferInSizeFromAMainThreadHandlerLeavesTheDispatchedBlockWhole) {
    // With UseMainThread the reader waits in the hand-off; the handler resizes the
    // buffer, then looks at the block it was given. Once while the connection is open,
    // once while the destructor waits for the reader.
    bt->SetUseMainThread(true);
    Open();
    std::atomic<int> intact{0}, broken{0};
    struct TCheck {
        TkvBT* Bt;
        std::atomic<int>* Intact;
        std::atomic<int>* Broken;
        void Received(TObject*, void* Buffer, std::uint32_t Len) {
            std::string before(static_cast<const char*>(Buffer), Len);
            Bt->SetBufferInSize(Bt->GetBufferInSize() == 64 ? 32 : 64);
            bool same = before == std::string(static_cast<const char*>(Buffer), Len);
            ++*(same ? Intact : Broken);
        }
    } check{bt, &intact, &broken};
    bt->SetOnReceived(TOnReceived::Bind<&TCheck::Received>(&check));
    Peer()->Send(std::string(100, 'b'));
    ASSERT_TRUE(PumpUntil([&] { return intact + broken > 0; }));
    Peer()->Send(std::string(100, 'c'));
    Sleep(300); // the reader waits in the hand-off now, nobody pumps
    delete bt;
    bt = nullptr;
    EXPECT_EQ(broken, 0);
}

} // namespace
