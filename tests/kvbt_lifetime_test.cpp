// One connection, one state: the faults that lived between the guards of the connection
// core. Events of a link that drops during its open, handlers still running after a
// close, opens that outlived their cancel or time limit, sends that froze the window or
// starved a handler's request, objects used after a handler destroyed them, and the
// races of the reader, the open and the lists.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/exceptions.h"
#include "toolkit/forms.h"

#include "sim_link_fixture.h"
#include "test_support.h"
#include "trials/trial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

const BTH_ADDR kEcho = 0x00CC00000001;
const BTH_ADDR kMute = 0x00CC00000002; // answers nothing, reads nothing until resumed
const BTH_ADDR kModem = 0x00CC00000003;
const BTH_ADDR kSlow = 0x00CC00000004; // each lookup begin takes 3 s
const UINT WM_TEST_POKE = WM_APP + 91;

kvsim::TWorld LifetimeWorld() {
    kvsim::TPeer echo, mute, modem;
    mute.Kind = kvsim::TPeerKind::Silent;
    mute.StallAfter = 0;
    modem.Kind = kvsim::TPeerKind::Modem;
    kvsim::TWorld world =
        kvtrials::SerialWorld(0x00CC0000A001, {kvtrials::SerialDevice(L"Echo", kEcho, echo),
                                               kvtrials::SerialDevice(L"Mute", kMute, mute),
                                               kvtrials::SerialDevice(L"Modem", kModem, modem),
                                               kvtrials::SerialDevice(L"Slow", kSlow, echo)});
    world.Devices[3].LookupDelayMs = 3000;
    return world;
}

// A window that another thread pokes every 20 ms, as a user's input reaches a program:
// it notes the longest time a poke waited to be handled, and can run an action on one.
class TPokedWindow : public TForm {
public:
    TPokedWindow() : TForm(nullptr) {
        fOwn = GetWindowProc();
        SetWindowProc(TWndMethod::Bind<&TPokedWindow::Proc>(this));
        fWindow = GetHandle();
    }
    ~TPokedWindow() override { Stop(); }
    void Start() {
        fStop = false;
        fPoker = std::thread([this] {
            while (!fStop) {
                PostMessageW(fWindow, WM_TEST_POKE, static_cast<WPARAM>(GetTickCount64()), 0);
                Sleep(20);
            }
        });
    }
    void Stop() {
        fStop = true;
        if (fPoker.joinable())
            fPoker.join();
    }
    std::atomic<int> Pokes{0};
    std::atomic<ULONGLONG> WorstDelay{0};
    std::function<void()> OnPoke;

private:
    void Proc(TMessage& Message) {
        if (Message.Msg != WM_TEST_POKE)
            return fOwn(Message);
        ++Pokes;
        ULONGLONG delay = GetTickCount64() - static_cast<ULONGLONG>(Message.WParam);
        if (delay > WorstDelay)
            WorstDelay = delay;
        if (auto action = std::exchange(OnPoke, nullptr))
            action();
    }
    TWndMethod fOwn;
    HWND fWindow;
    std::thread fPoker;
    std::atomic<bool> fStop{false};
};

// The main thread's processor time so far, in milliseconds.
ULONGLONG MainThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

// Objects whose memory is filled when they go and never given back, so that a use after
// their destruction reads garbage at once instead of going unnoticed.
template <class T> class TPoisoned : public T {
public:
    using T::T;
    static void* operator new(size_t Size) { return ::operator new(Size); }
    static void operator delete(void* Memory, size_t Size) { std::memset(Memory, 0xFF, Size); }
};

// What the component raised, in order: C OnConnect, 2 and 1 the notifications, D
// OnDisconnect.
struct TSequence : kvtrials::TEventLetters {
    std::function<void()> OnConnect;
    void Connected(TObject*) {
        Add('C');
        if (auto action = std::exchange(OnConnect, nullptr))
            action();
    }
    void Disconnected(TObject*) { Add('D'); }
    void Notified(TObject*, std::int32_t Code) { Add(static_cast<char>('0' + Code)); }
};

class Lifetime : public TSimLinkTest {
protected:
    kvsim::TWorld World() override { return LifetimeWorld(); }
};

// ---- Events pair up

TEST_F(Lifetime, ALinkThatDropsDuringTheOpensEventsIsClosedAfterThem) {
    TSequence sequence;
    bt->SetOnConnect(TNotifyEvent::Bind<&TSequence::Connected>(&sequence));
    bt->SetOnDisconnect(TNotifyEvent::Bind<&TSequence::Disconnected>(&sequence));
    bt->NotifyAdd(TkvNotifyEvent::Bind<&TSequence::Notified>(&sequence));
    const int links = Peer(kEcho)->Connections();
    sequence.OnConnect = [&] {
        // The peer takes the link on a thread of its own, maybe after the connect returned.
        EXPECT_TRUE(Peer(kEcho)->WaitConnections(links + 1, 5000));
        EXPECT_TRUE(Peer(kEcho)->Drop());
        PumpFor(300); // time enough for a reader to notice
    };
    ASSERT_TRUE(kvtrials::SelectDevice(*bt, kEcho));
    sequence.Clear(); // the selection's notification 3
    bt->SetActive(true);
    EXPECT_TRUE(PumpUntil([&] { return sequence.Get().find('D') != std::string::npos; }));
    PumpFor(50);
    EXPECT_EQ(sequence.Get(), "C21D");
    EXPECT_FALSE(bt->GetActive());
}

// ---- A close waits for the handlers of its connection

TEST_F(Lifetime, ActiveFalseReturnsOnlyOnceTheReadersHandlerHasEnded) {
    std::atomic<int> phase{0};
    std::atomic<bool> waited{true};
    struct THandler {
        TkvBT* Bt;
        std::atomic<int>* Phase;
        std::atomic<bool>* Waited;
        bool Wait;
        void Received(TObject*, void*, std::uint32_t) {
            if (*Phase != 0)
                return;
            *Phase = 1;
            if (Wait)
                *Waited = Bt->WaitForBytes(1 << 20, 8000); // the close ends it at once
            else
                Sleep(300);
            *Phase = 2;
        }
    };
    for (bool wait : {false, true}) {
        SCOPED_TRACE(wait ? "handler in WaitForBytes" : "handler busy");
        phase = 0;
        THandler handler{bt, &phase, &waited, wait};
        bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
        Open(kEcho);
        bt->SendString("x");
        ASSERT_TRUE(PumpUntil([&] { return phase == 1; }));
        const ULONGLONG start = GetTickCount64();
        bt->SetActive(false);
        EXPECT_EQ(phase, 2); // no handler of the connection runs once the close has returned
        EXPECT_LT(GetTickCount64() - start, 4000u);
        if (wait) {
            EXPECT_FALSE(waited);
        }
    }
}

// ---- An open that is cancelled or times out ends at once

TEST_F(Lifetime, AnOpenEndsAtItsTimeLimitOrCancelWhileTheLookupGoesOnAndTheWindowAnswers) {
    enum TEnd { TimeLimit, Cancel };
    for (TEnd end : {TimeLimit, Cancel}) {
        SCOPED_TRACE(end == TimeLimit ? "ConnectTimeout" : "Active false");
        bt->Update(); // the slow device has no services yet: it is looked up
        ASSERT_TRUE(kvtrials::SelectDevice(*bt, kSlow));
        TPokedWindow window;
        if (end == TimeLimit)
            bt->SetConnectTimeout(300);
        else
            window.OnPoke = [&] {
                Sleep(300 - 20); // the first poke comes after 20 ms
                bt->SetActive(false);
            };
        window.Start();
        const ULONGLONG start = GetTickCount64(), cpu = MainThreadCpuMs();
        std::wstring error;
        try {
            bt->SetActive(true);
        } catch (const Exception& e) {
            error = e.Message();
        }
        const ULONGLONG took = GetTickCount64() - start, cpuTook = MainThreadCpuMs() - cpu;
        window.Stop();
        EXPECT_EQ(error, end == TimeLimit ? L"Socket error  # =0= 10060" : L"");
        EXPECT_FALSE(bt->GetActive());
        // The lookup begin in progress takes 3 s; the open does not wait for it.
        EXPECT_LT(took, 1500u);
        EXPECT_LT(window.WorstDelay.load(), 1000u);
        EXPECT_LT(cpuTook, 300u) << "the wait spins";
        bt->SetConnectTimeout(0);
    }
}

TEST_F(Lifetime, ClearingTheListsDuringTheOpensWaitCancelsIt) {
    int connects = 0;
    struct TCount {
        int* Connects;
        void Connected(TObject*) { ++*Connects; }
    } count{&connects};
    bt->SetOnConnect(TNotifyEvent::Bind<&TCount::Connected>(&count));
    for (int which : {0, 1}) {
        SCOPED_TRACE(which == 0 ? "ClearDeviceList" : "ClearRadios");
        bt->Update();
        ASSERT_TRUE(kvtrials::SelectDevice(*bt, kSlow));
        TPokedWindow window;
        window.OnPoke = [&] { which == 0 ? bt->ClearDeviceList() : bt->ClearRadios(); };
        window.Start();
        EXPECT_NO_THROW(bt->SetActive(true)); // ends quietly, touching no freed device
        window.Stop();
        EXPECT_FALSE(bt->GetActive());
        EXPECT_EQ(connects, 0);
    }
    bt->Update();
    Open(kEcho); // and the component goes on working
}

// ---- Sends never block the window, and flow while a handler waits

TEST_F(Lifetime, ALargeSendToADeviceThatReadsLateLeavesTheWindowAnswering) {
    Open(kMute);
    const std::string block(16 << 20, 'z');
    std::thread resume([&] {
        Sleep(2000);
        Peer(kMute)->Resume();
    });
    TPokedWindow window;
    window.Start();
    Sleep(50);
    const int pokes = window.Pokes;

    bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                 static_cast<std::uint32_t>(block.size()));
    const int pokesDuringTheSend = window.Pokes - pokes;
    window.Stop();
    resume.join();
    EXPECT_GT(pokesDuringTheSend, 10);
    EXPECT_LT(window.WorstDelay.load(), 1000u);
    EXPECT_TRUE(PumpUntil([&] { return Peer(kMute)->Received().size() == block.size(); }, 30000));
    EXPECT_TRUE(Peer(kMute)->Received() == block);
}

TEST_F(Lifetime, ARequestSentFromAHandlerReachesTheDeviceWhileTheHandlerWaitsForTheAnswer) {
    // A request longer than the socket takes at once; the modem answers at its end.
    const std::string request = "AT" + std::string(8 << 20, 'X') + "\r";
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread ? "main thread" : "reader thread");
        std::atomic<int> answered{-1};
        struct THandler {
            TkvBT* Bt;
            const std::string* Request;
            std::atomic<int>* Answered;
            void Received(TObject*, void*, std::uint32_t) {
                if (*Answered != -1)
                    return;
                *Answered = 0;
                Bt->SendString(*Request);
                *Answered = Bt->WaitForBytes(1, 8000) ? 1 : 0;
            }
        } handler{bt, &request, &answered};
        bt->SetUseMainThread(mainThread);
        bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
        Open(kModem);
        bt->SendString("AT\r"); // its OK calls the handler
        EXPECT_TRUE(PumpUntil([&] { return answered != -1 && answered != 0; }, 15000));
        EXPECT_EQ(answered, 1);
        bt->SetActive(false);
    }
}

TEST_F(Lifetime, ASendStringJustBeforeActiveFalseReachesTheDeviceWhole) {
    Open(kModem); // reads all, answers only what it understands
    const std::string block(1 << 20, 's');
    bt->SendString(block);
    bt->SetActive(false); // lets the queue go out first
    EXPECT_TRUE(PumpUntil([&] { return Peer(kModem)->Received().size() == block.size(); }));
    EXPECT_TRUE(Peer(kModem)->Received() == block);
    EXPECT_EQ(bt->SendLost(), 0u);
}

TEST_F(Lifetime, QueuedBytesAreCountedWaitedForAndLostWithADroppedLink) {
    size_t lostInOnDisconnect = 0;
    struct TLost {
        TkvBT* Bt;
        size_t* Lost;
        void Disconnected(TObject*) { *Lost = Bt->SendLost(); }
    } lost{bt, &lostInOnDisconnect};
    bt->SetOnDisconnect(TNotifyEvent::Bind<&TLost::Disconnected>(&lost));
    bt->SetSendQueueLimit(64 << 20); // no send waits here
    Open(kMute);
    const std::string block(16 << 20, 'q');
    bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                 static_cast<std::uint32_t>(block.size()));
    EXPECT_GT(bt->QueuedToSend(), 0u);
    EXPECT_FALSE(bt->WaitSent(100)); // the device reads nothing
    Peer(kMute)->Resume();
    EXPECT_TRUE(bt->WaitSent(20000));
    EXPECT_EQ(bt->QueuedToSend(), 0u);
    EXPECT_TRUE(PumpUntil([&] { return Peer(kMute)->Received().size() == block.size(); }));
    // Queued when the link drops: lost, and counted.
    bt->SetActive(false);
    Open(kMute);
    bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                 static_cast<std::uint32_t>(block.size()));
    Peer(kMute)->Drop();
    EXPECT_TRUE(PumpUntil([&] { return !bt->GetActive(); }));
    EXPECT_GT(lostInOnDisconnect, 0u);
    EXPECT_EQ(bt->SendLost(), lostInOnDisconnect);
}

TEST_F(Lifetime, ASendPastTheLimitWaitsServingTheWindowAndACloseEndsItWithin2s) {
    Open(kMute); // reads nothing, ever
    bt->SetSendQueueLimit(64 * 1024);
    TPokedWindow window;
    ULONGLONG closeTook = 0;
    window.OnPoke = [&] {
        Sleep(200);
        const ULONGLONG start = GetTickCount64();
        bt->SetActive(false); // lets the queue go out for 2 s, then closes
        closeTook = GetTickCount64() - start;
    };
    window.Start();
    const std::string block(16 << 20, 'w');
    bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                 static_cast<std::uint32_t>(block.size())); // waits until the close
    window.Stop();
    EXPECT_FALSE(bt->GetActive());
    EXPECT_GT(window.Pokes.load(), 1);
    EXPECT_GE(closeTook, 1900u);
    EXPECT_LT(closeTook, 4000u);
    EXPECT_GT(bt->SendLost(), 0u);
}

TEST_F(Lifetime, ActiveTrueFromAHandlerThatACloseServesLeavesTheCloseWhole) {
    // The close lets the queue go out first; a block dispatched on the main thread
    // meanwhile has a handler that writes Active true: the close goes on with its own
    // connection, and ends closed.
    int disconnects = 0;
    struct THandler {
        TkvBT* Bt;
        int* Disconnects;
        void Received(TObject*, void*, std::uint32_t) { Bt->SetActive(true); }
        void Disconnected(TObject*) { ++*Disconnects; }
    } handler{bt, &disconnects};
    bt->SetUseMainThread(true);
    bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
    bt->SetOnDisconnect(TNotifyEvent::Bind<&THandler::Disconnected>(&handler));
    Open(kMute);
    const std::string block(16 << 20, 'c');
    bt->SetSendQueueLimit(64 << 20);
    bt->SendData(reinterpret_cast<const std::uint8_t*>(block.data()),
                 static_cast<std::uint32_t>(block.size()));
    std::thread nudge([&] {
        Sleep(300);
        Peer(kMute)->Send("during the close");
    });
    bt->SetActive(false); // lets the queue go out for 2 s, serving the hand-off meanwhile
    nudge.join();
    EXPECT_FALSE(bt->GetActive());
    EXPECT_EQ(disconnects, 1);
}

// ---- Nothing is used after a handler destroyed it

TEST_F(Lifetime, ASendThatWaitsReturnsUntouchedIntoWhatAHandlerDestroyed) {
    // The send of 16 MiB waits for room serving messages; the block that the mute device
    // sends meanwhile is dispatched on the main thread, whose handler destroys the
    // processor that sent (or the component itself) and lets the device read again.
    const std::string block(16 << 20, 'p');
    struct THandler {
        std::function<void()> Action;
        void Received(TObject*, void*, std::uint32_t) {
            if (auto action = std::exchange(Action, nullptr))
                action();
        }
    };
    for (bool destroyComponent : {false, true}) {
        SCOPED_TRACE(destroyComponent ? "the component" : "the processor");
        auto* processor = new TPoisoned<TkvCustomDataProcessor>(nullptr);
        bt->SetUseMainThread(true);
        bt->SetDataProcessor(processor);
        Open(kMute);
        THandler handler;
        handler.Action = [&] {
            if (destroyComponent)
                delete std::exchange(bt, nullptr);
            else
                delete std::exchange(processor, nullptr);
            Peer(kMute)->Resume();
        };
        bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
        std::thread nudge([&] {
            Sleep(200);
            Peer(kMute)->Send("go");
        });
        processor->DoDataSend(reinterpret_cast<std::uint8_t*>(const_cast<char*>(block.data())),
                              static_cast<std::uint32_t>(block.size()));
        nudge.join();
        EXPECT_TRUE(destroyComponent ? bt == nullptr : processor == nullptr);
        handler.Action = nullptr;
        if (!bt) {
            bt = new TkvBT(nullptr);
            bt->Update();
        }
        delete processor;
        bt->SetDataProcessor(nullptr);
        bt->SetActive(false);
    }
}

TEST_F(Lifetime, ATypedKeyWhoseSendWaitsReturnsUntouchedIntoADestroyedComponent) {
    // Every send waits until its bytes have gone out, and the device reads nothing: the
    // typed key's send waits serving messages, and a poke destroys the component.
    delete bt;
    bt = new TPoisoned<TkvBT>(nullptr);
    bt->Update();
    TForm form(nullptr);
    auto* memo = new TMemo(&form);
    memo->SetParent(&form);
    bt->SetTerminal(memo);
    bt->SetTerminalUsage(tuSend);
    bt->SetTerminalEcho(true);
    Open(kMute);
    bt->SetSendQueueLimit(0);
    TPokedWindow window;
    window.OnPoke = [&] { delete std::exchange(bt, nullptr); };
    PostMessageW(memo->GetHandle(), WM_CHAR, L'k', 1);
    window.Start();
    EXPECT_TRUE(PumpUntil([&] { return bt == nullptr; }));
    window.Stop();
    PumpFor(50);
    EXPECT_EQ(memo->GetText(), L"k"); // the echo reached the control, nothing else was touched
    bt = new TkvBT(nullptr);
}

// ---- Destruction, Winsock and the component tree

TEST_F(Lifetime, ASocketIsClosedBeforeWinsockEndsForIt) {
    // The reader waits for the main thread in its hand-off when a handler there destroys
    // the component: the reader ends afterwards, and closes the socket then.
    static std::atomic<int> startsAtClose{-1};
    static TkvSocketApi system;
    system = kvSocketApi;
    startsAtClose = -1;
    kvSocketApi.closesocket = [](SOCKET s) -> int {
        if (startsAtClose == -1)
            startsAtClose = kvsim::OpenHandles().WinsockStarts;
        return system.closesocket(s);
    };
    const int before = kvsim::OpenHandles().WinsockStarts;
    bt->SetUseMainThread(true);
    struct THandler {
        TkvBT** Bt;
        void Received(TObject*, void*, std::uint32_t) { delete std::exchange(*Bt, nullptr); }
    } handler{&bt};
    bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
    Open(kEcho);
    startsAtClose = -1;
    bt->SendString("x");
    EXPECT_TRUE(PumpUntil([&] { return bt == nullptr && startsAtClose != -1; }));
    // The link's own start-up outlives its socket; the component's own has ended by then.
    EXPECT_GE(startsAtClose.load(), before);
    kvSocketApi.closesocket = system.closesocket;
    bt = new TkvBT(nullptr);
}

TEST_F(Lifetime, AProcessorDestroyedOnTheReaderThreadLeavesItsOwnerOnTheMainThread) {
    struct TOwner : TComponent {
        using TComponent::TComponent;
        std::atomic<DWORD> RemovedOn{0};
        void Notification(TComponent* AComponent, TOperation Operation) override {
            if (Operation == TOperation::opRemove)
                RemovedOn = GetCurrentThreadId();
            TComponent::Notification(AComponent, Operation);
        }
    } owner(nullptr);
    auto* processor = new TkvCustomDataProcessor(&owner);
    bt->SetDataProcessor(processor);
    struct THandler {
        TkvCustomDataProcessor* Processor;
        std::atomic<bool> Done{false};
        void Received(TObject*, void*, std::uint32_t) {
            if (!Done.exchange(true))
                delete Processor; // on the reader thread
        }
    } handler{processor};
    bt->SetOnReceived(TOnReceived::Bind<&THandler::Received>(&handler));
    Open(kEcho);
    bt->SendString("x");
    ASSERT_TRUE(PumpUntil([&] { return owner.RemovedOn != 0; }));
    EXPECT_EQ(owner.RemovedOn, GetCurrentThreadId());
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(bt->GetDataProcessor(), nullptr);
}

// ---- Races of the state

TEST_F(Lifetime, OpensFromTwoThreadsNeverOverlapAndEveryConnectionEndsOnce) {
    // The reader reconnects from OnDisconnect while the main thread writes Active true.
    struct TCount {
        TkvBT* Bt;
        std::atomic<int> Connects{0}, Disconnects{0};
        void Connected(TObject*) { ++Connects; }
        void Disconnected(TObject*) {
            ++Disconnects;
            Bt->SetActive(true);
        }
    } count{bt};
    bt->SetOnConnect(TNotifyEvent::Bind<&TCount::Connected>(&count));
    bt->SetOnDisconnect(TNotifyEvent::Bind<&TCount::Disconnected>(&count));
    Open(kEcho);
    for (int i = 0; i < 40; ++i) {
        const int links = Peer(kEcho)->Connections();
        Peer(kEcho)->Drop();
        Sleep(i % 3);
        bt->SetActive(true);
        ASSERT_TRUE(PumpUntil([&] {
            return bt->GetActive() && Peer(kEcho)->Connections() > links &&
                   count.Connects == count.Disconnects + 1;
        })) << i;
        PumpFor(5);
        EXPECT_EQ(Peer(kEcho)->Connections(), links + 1) << "two opens at once, cycle " << i;
    }
    bt->SetOnDisconnect(TNotifyEvent{});
}

TEST_F(Lifetime, AnOldReaderNeverServesTheNextConnection) {
    // Closes and opens at once, again and again: each reader serves its own connection.
    std::atomic<int> received{0};
    struct TCount {
        std::atomic<int>* Received;
        void Arrived(TObject*, void*, std::uint32_t Len) { *Received += static_cast<int>(Len); }
    } count{&received};
    bt->SetOnReceived(TOnReceived::Bind<&TCount::Arrived>(&count));
    bt->SetPriority(tpIdle);
    Open(kEcho);
    for (int i = 0; i < 100; ++i) {
        bt->SetActive(false);
        bt->SetActive(true);
        ASSERT_TRUE(bt->GetActive()) << i;
    }
    PumpFor(100);
    ASSERT_TRUE(bt->GetActive());
    received = 0;
    bt->SendString("still here");
    EXPECT_TRUE(PumpUntil([&] { return received == 10; }));
}

} // namespace
