// The component core across threads: readers that serve one connection each, a reopen
// from the reader's own handler, components destroyed while another thread calls into
// them, the processor's timer restarted from another thread, and two components on one
// terminal.
#include "components/kvclasses.h"
#include "toolkit/exceptions.h"
#include "toolkit/forms.h"

#include "kv_test_transport.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace {

// A transport whose reader keeps only the loop's contract: it looks at nothing but its
// stop flag, so only a stop that sets that flag ends it.
class TContractOnlyTransport : public TTestTransport {
public:
    using TTestTransport::TTestTransport;
    ~TContractOnlyTransport() override {
        EndCalls();
        EndConnections();
    }
    std::atomic<bool> Running{false};
    void ThreadIOExecute(TkvThreadIO*) override {
        Running = true;
        while (!IsThreadIOTerminated())
            Sleep(1);
        Running = false;
    }
};

TEST(Readers, DestroyingStopsAReaderThatWatchesOnlyItsStopFlag) {
    TComponent owner(nullptr);
    auto* io = new TContractOnlyTransport(&owner);
    io->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return io->Running.load(); }));
    delete io; // returns once the reader has seen its stop flag
    SUCCEED();
}

// Writes Active false and then true from OnReceived, on whichever thread runs it.
struct TReopener {
    TTestTransport* Io = nullptr;
    std::atomic<int> Reopens{0}, Received{0}, Closes{0};
    void OnReceived(TObject*, void*, std::uint32_t) {
        ++Received;
        if (Reopens == 0) {
            ++Reopens;
            Io->SetActive(false);
            Io->SetActive(true);
        }
    }
    void OnClose(TObject*) { ++Closes; }
};

TEST(Readers, AReopenFromTheReadersOwnHandlerKeepsTheNewConnection) {
    for (bool mainThread : {false, true}) {
        SCOPED_TRACE(mainThread);
        TComponent owner(nullptr);
        auto* io = new TTestTransport(&owner);
        TReopener reopener{io};
        io->SetUseMainThread(mainThread);
        io->SetOnReceived(TOnReceived::Bind<&TReopener::OnReceived>(&reopener));
        io->SetOnClose(TNotifyEvent::Bind<&TReopener::OnClose>(&reopener));
        io->SetActive(true);
        io->Receive("first");
        ASSERT_TRUE(PumpUntil([&] { return reopener.Reopens == 1 && io->IsOpened(); }));
        PumpFor(300); // the old reader ends meanwhile, and must leave the new connection be
        EXPECT_TRUE(io->GetActive());
        EXPECT_EQ(io->Opens, 2);
        EXPECT_EQ(reopener.Closes, 1);
        io->Receive("second"); // the new connection's reader dispatches
        EXPECT_TRUE(PumpUntil([&] { return reopener.Received == 2; }));
        io->SetActive(false);
        EXPECT_EQ(reopener.Closes, 2);
    }
}

// ---- Destruction while another thread calls in

// Counts calls into it that began after its destruction began.
struct TDestructionWatch {
    std::atomic<bool> Inside{false};
    std::atomic<bool> Gone{false};
    std::atomic<int> Calls{0}, LateCalls{0};
    void Received(TObject*, void*, std::uint32_t) {} // a receiver, so that blocks are read
    void Enter(DWORD HoldMs) {
        if (Gone)
            ++LateCalls;
        ++Calls;
        Inside = true;
        Sleep(HoldMs);
        Inside = false;
    }
};

class TSlowProcessor : public TkvCustomDataProcessor {
public:
    TSlowProcessor(TComponent* Owner, TDestructionWatch& Watch)
        : TkvCustomDataProcessor(Owner), fWatch(Watch) {}
    ~TSlowProcessor() override {
        EndCalls(); // its overrides use fWatch: no call may run past this point
        fWatch.Gone = true;
    }
    void DoProcessing(std::uint8_t*, std::uint32_t, TIgnoreTypes&) override { fWatch.Enter(200); }
    void DoMediumClosed() override { fWatch.Enter(200); }

private:
    TDestructionWatch& fWatch;
};

class TSlowLog : public TRecordingLog {
public:
    TSlowLog(TComponent* Owner, TDestructionWatch& Watch) : TRecordingLog(Owner), fWatch(Watch) {}
    ~TSlowLog() override {
        EndCalls();
        fWatch.Gone = true;
    }
    void AddLog(TDetailLevel, const String&) override { fWatch.Enter(200); }

private:
    TDestructionWatch& fWatch;
};

TEST(Destruction, AProcessorOrLogGoingWhileTheReaderCallsItWaitsForTheCall) {
    for (int kind : {0, 1}) {
        SCOPED_TRACE(kind == 0 ? "processor" : "log");
        TComponent owner(nullptr);
        auto* io = new TTestTransport(&owner);
        TDestructionWatch watch;
        TComponent* target;
        if (kind == 0) {
            auto* processor = new TSlowProcessor(&owner, watch);
            io->SetDataProcessor(processor);
            target = processor;
        } else {
            auto* log = new TSlowLog(&owner, watch);
            io->SetLog(log);
            io->SetOnReceived(TOnReceived::Bind<&TDestructionWatch::Received>(&watch));
            target = log;
        }
        io->SetActive(true);
        io->Receive("data");
        ASSERT_TRUE(PumpUntil([&] { return watch.Inside.load(); }));
        delete target; // while the reader is inside it
        EXPECT_FALSE(watch.Inside);
        io->Receive("more"); // nothing reaches it any more
        PumpFor(300);
        EXPECT_EQ(watch.LateCalls, 0);
        EXPECT_EQ(watch.Calls, 1);
    }
}

TEST(Destruction, AProcessorGoingWhileANotificationCallsItOnAnotherThreadWaitsForIt) {
    TComponent owner(nullptr);
    auto* io = new TTestTransport(&owner);
    TDestructionWatch watch;
    auto* processor = new TSlowProcessor(&owner, watch);
    io->SetDataProcessor(processor);
    std::thread notifier([&] { io->DoNotify(1); });
    ASSERT_TRUE(PumpUntil([&] { return watch.Inside.load(); }));
    delete processor;
    EXPECT_FALSE(watch.Inside);
    notifier.join();
    io->DoNotify(1); // unsubscribed
    EXPECT_EQ(watch.Calls, 1);
    EXPECT_EQ(watch.LateCalls, 0);
}

// ---- The async timer from another thread

class TCompletingProcessor : public TkvCustomDataProcessor {
public:
    using TkvCustomDataProcessor::TkvCustomDataProcessor;
    std::atomic<int> Completions{0};
    std::atomic<DWORD> CompletedOn{0};
    void DoAfterSendComplete(bool&) override {
        ++Completions;
        CompletedOn = GetCurrentThreadId();
    }
    void TakeOver(TObject*, std::uint8_t*, std::uint32_t, bool, bool& Handled) { Handled = true; }
};

TEST(AsyncTimer, ATakenOverSendOnAnotherThreadCompletesOnTheCreatingThread) {
    TComponent owner(nullptr);
    auto* processor = new TCompletingProcessor(&owner);
    processor->SetOnDataSend(TDataSendEvent::Bind<&TCompletingProcessor::TakeOver>(processor));
    processor->SetAsyncTimer(100);
    processor->SetAsyncTimer(0);
    std::uint8_t byte = 1;
    std::thread sender([&] { processor->DoDataSend(&byte, 1); });
    sender.join();
    ASSERT_TRUE(PumpUntil([&] { return processor->Completions == 1; }, 3000));
    EXPECT_EQ(processor->CompletedOn, GetCurrentThreadId());
    PumpFor(300);
    EXPECT_EQ(processor->Completions, 1); // once per restart
}

TEST(AsyncTimer, TimerWritersRefuseOtherThreadsAndDestructionElsewhereStopsIt) {
    auto* timer = new TkvTimer;
    std::atomic<int> refused{0};
    std::thread other([&] {
        try {
            timer->SetInterval(5);
        } catch (const Exception&) {
            ++refused;
        }
        try {
            timer->SetEnabled(false);
        } catch (const Exception&) {
            ++refused;
        }
    });
    other.join();
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(timer->GetInterval(), 1000u);
    struct TTick {
        std::atomic<int> Count{0};
        void Tick(TObject*) { ++Count; }
    } tick;
    timer->SetInterval(10);
    timer->SetOnTimer(TNotifyEvent::Bind<&TTick::Tick>(&tick));
    ASSERT_TRUE(PumpUntil([&] { return tick.Count > 0; }));
    std::atomic<bool> deleted{false};
    std::thread destroyer([&] {
        delete timer; // hands the window's end to this thread's message loop
        deleted = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return deleted.load(); }));
    destroyer.join();
    int count = tick.Count;
    PumpFor(100);
    EXPECT_EQ(tick.Count, count);
}

// ---- Terminals

class Terminals : public testing::Test {
protected:
    void SetUp() override {
        form = new TForm(nullptr);
        memo = new TMemo(form);
        memo->SetParent(form);
        memo->SetBounds(0, 0, 300, 200);
        own = memo->GetWindowProc();
    }
    void TearDown() override { delete form; }
    void Type(wchar_t Ch) { SendMessageW(memo->GetHandle(), WM_CHAR, Ch, 1); }
    TForm* form;
    TMemo* memo;
    TWndMethod own;
};

TEST_F(Terminals, TwoComponentsOnOneTerminalUnlinkInEitherOrder) {
    for (bool firstGoesFirst : {true, false}) {
        SCOPED_TRACE(firstGoesFirst);
        auto* first = new TTestTransport(form);
        auto* second = new TTestTransport(form);
        for (auto* io : {first, second}) {
            io->SetTerminalUsage(tuSend);
            io->SetTerminalEcho(true);
            io->SetTerminal(memo);
        }
        Type(L'a');
        EXPECT_EQ(first->Sent, L"a");
        EXPECT_EQ(second->Sent, L"a");
        TTestTransport* leaving = firstGoesFirst ? first : second;
        TTestTransport* staying = firstGoesFirst ? second : first;
        delete leaving;
        Type(L'b');
        EXPECT_EQ(staying->Sent, L"ab"); // still linked
        staying->SetTerminal(nullptr);
        EXPECT_EQ(memo->GetWindowProc(), own);
        Type(L'c'); // reaches the control alone, through no freed component
        EXPECT_EQ(staying->Sent, L"ab");
        delete staying;
        memo->SetText(L"");
    }
}

TEST_F(Terminals, LinkingFromAnotherThreadIsHandedToTheMainThread) {
    auto* io = new TTestTransport(form);
    io->SetTerminalUsage(tuSend);
    std::atomic<bool> done{false};
    std::thread linker([&] {
        io->SetTerminal(memo);
        done = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    linker.join();
    EXPECT_EQ(io->GetTerminal(), memo);
    Type(L'x');
    EXPECT_EQ(io->Sent, L"x");
}

TEST_F(Terminals, TerminalKeepBoundsTheTextCutsAfterALineBreakAndFollowsTheEnd) {
    auto* io = new TTestTransport(form);
    io->SetTerminal(memo);
    io->SetTerminalUsage(tuReceive);
    EXPECT_EQ(io->GetTerminalKeep(), kvTerminalKeep);
    auto write = [&](const std::string& Bytes) {
        io->TerminalWrite(reinterpret_cast<const std::uint8_t*>(Bytes.data()),
                          static_cast<std::int32_t>(Bytes.size()));
    };
    // Lines far longer than the control is wide: the cut still comes after a line break.
    io->SetTerminalKeep(400);
    std::string line(150, 'w');
    line += "\r\n";
    for (int i = 0; i < 10; ++i)
        write(std::to_string(i) + line);
    String shown = memo->GetText();
    EXPECT_LE(shown.size(), 500u);
    EXPECT_GE(shown.size(), 300u);
    EXPECT_TRUE(shown.front() >= L'0' && shown.front() <= L'9') << "cut at a logical line";
    DWORD start = 0, end = 0;
    SendMessageW(memo->GetHandle(), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, shown.size());
    EXPECT_EQ(end, shown.size());

    // 0 keeps everything.
    io->SetTerminalKeep(0);
    memo->SetText(L"");
    std::string all;
    for (int i = 0; i < 40; ++i)
        all += std::to_string(i) + line;
    write(all);
    EXPECT_EQ(memo->GetText().size(), all.size());
}

TEST_F(Terminals, WithNothingDroppedAFullQueueHoldsTheReaderUntilItIsStopped) {
    // TerminalKeep 0 keeps everything: a reader whose terminal has a mebibyte waiting
    // waits for the window. A close may wait for that reader while it serves sent
    // messages and synchronized calls only; the reader's wait ends all the same.
    auto* io = new TTestTransport(form);
    io->SetTerminal(memo);
    io->SetTerminalUsage(tuReceive);
    io->SetTerminalKeep(0);
    struct TCount {
        std::atomic<size_t> Bytes{0};
        void Received(TObject*, void*, std::uint32_t Len) { Bytes += Len; }
    } count;
    io->SetOnReceived(TOnReceived::Bind<&TCount::Received>(&count));
    io->SetActive(true);
    std::atomic<bool> sending{true};
    std::thread device([&, end = io->Far] {
        u_long nonBlocking = 1;
        ioctlsocket(end, FIONBIO, &nonBlocking);
        std::string lines;
        for (int i = 0; lines.size() < 65536; ++i)
            lines += "line " + std::to_string(i) + " of a device that does not stop\r\n";
        while (sending) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(end, &writable);
            timeval tick{0, 10000};
            if (select(0, nullptr, &writable, nullptr, &tick) == 1 &&
                send(end, lines.data(), static_cast<int>(lines.size()), 0) == SOCKET_ERROR &&
                WSAGetLastError() != WSAEWOULDBLOCK)
                break;
        }
    });
    // The window is busy meanwhile: nothing takes the text.
    const ULONGLONG start = GetTickCount64();
    while (count.Bytes <= 1024 * 1024 && GetTickCount64() - start < 10000)
        Sleep(1);
    if (count.Bytes <= 1024 * 1024) {
        sending = false;
        device.join();
        FAIL() << count.Bytes << " bytes reached OnReceived: the reader waited for the window";
    }
    std::atomic<bool> closed{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 3000 && !closed; ++i)
            Sleep(10);
        if (!closed) {
            std::fputs("the close waits for a reader that waits for the window\n", stderr);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 1);
        }
    });
    io->SetActive(false); // waits for the reader
    closed = true;
    watchdog.join();
    sending = false;
    device.join();
    EXPECT_TRUE(io->IsThreadIOTerminated());
    delete memo; // what still waits goes with it
    memo = nullptr;
}

} // namespace
