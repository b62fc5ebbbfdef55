// TThread, Synchronize and the main-thread waits.
#include "toolkit/application.h"
#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace {

// A thread whose body is a test's lambda.
class TLambdaThread : public TThread {
public:
    explicit TLambdaThread(std::function<void(TLambdaThread&)> body, bool suspended = true)
        : TThread(true), fBody(std::move(body)) {
        if (!suspended)
            Start();
    }

protected:
    void Execute() override { fBody(*this); }

private:
    std::function<void(TLambdaThread&)> fBody;
};

struct TMainWork {
    DWORD RanOn = 0;
    int Runs = 0;
    bool Throw = false;
    void Run() {
        RanOn = GetCurrentThreadId();
        ++Runs;
        if (Throw)
            throw Exception(L"from the main thread");
    }
};

TEST(Thread, SynchronizeRunsOnMainThreadWaitsAndRethrows) {
    TMainWork work;
    std::atomic<int> afterCall{-1};
    std::wstring caught;
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize(TThreadMethod::Bind<&TMainWork::Run>(&work));
        afterCall = work.Runs; // the call has run when Synchronize returns
        work.Throw = true;
        try {
            self.Synchronize(TThreadMethod::Bind<&TMainWork::Run>(&work));
        } catch (const Exception& e) {
            caught = e.Message();
        }
    });
    t.Start();
    t.WaitFor();
    EXPECT_EQ(work.RanOn, MainThreadID());
    EXPECT_EQ(afterCall, 1);
    EXPECT_EQ(work.Runs, 2);
    EXPECT_EQ(caught, L"from the main thread");
}

TEST(Thread, SynchronizeOnMainThreadRunsDirectly) {
    TMainWork work;
    Synchronize(TThreadMethod::Bind<&TMainWork::Run>(&work));
    EXPECT_EQ(work.Runs, 1);
    work.Throw = true;
    EXPECT_THROW(Synchronize(TThreadMethod::Bind<&TMainWork::Run>(&work)), Exception);
}

// Closes the message box that the main thread shows, from inside its own modal loop.
struct TBoxCloser {
    int Runs = 0;
    bool FoundBox = false;
    void Close() {
        ++Runs;
        HWND box = FindWindowW(L"#32770", L"Synchronize test");
        FoundBox = box != nullptr;
        if (box)
            PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
};

TEST(Thread, SynchronizeRunsInsideModalMessageBox) {
    TBoxCloser closer;
    // The main thread pumps no messages before the box's own loop runs, so the call can
    // only run inside that loop.
    TLambdaThread t([&](TLambdaThread& self) {
        self.Synchronize(TThreadMethod::Bind<&TBoxCloser::Close>(&closer));
    });
    t.Start();
    int answer = MessageBoxW(nullptr, L"closed by a synchronized call", L"Synchronize test", MB_OK);
    EXPECT_EQ(answer, IDOK);
    t.WaitFor();
    EXPECT_EQ(closer.Runs, 1);
    EXPECT_TRUE(closer.FoundBox);
}

LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP + 7)
        return static_cast<LRESULT>(GetCurrentThreadId());
    return DefWindowProcW(hwnd, msg, wp, lp);
}

TEST(Thread, WaitForOnMainThreadDeliversSentMessagesAndSynchronizedCalls) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = CountingProc;
    wc.lpszClassName = L"TkThreadTestWindow";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, nullptr);
    ASSERT_TRUE(w);
    TMainWork work;
    std::atomic<DWORD> handledOn{0};
    TLambdaThread t([&](TLambdaThread& self) {
        handledOn = static_cast<DWORD>(SendMessageW(w, WM_APP + 7, 0, 0));
        for (int i = 0; i < 50; ++i)
            self.Synchronize(TThreadMethod::Bind<&TMainWork::Run>(&work));
    });
    t.Start();
    t.WaitFor(); // would deadlock if the wait delivered neither
    EXPECT_EQ(handledOn, MainThreadID());
    EXPECT_EQ(work.Runs, 50);
    DestroyWindow(w);
}

TEST(Thread, TerminateFreeOnTerminateAndPriority) {
    std::atomic<bool> running{false}, sawTerminate{false};
    auto* t = new TLambdaThread([&](TLambdaThread& self) {
        running = true;
        while (!self.Terminated())
            Sleep(1);
        sawTerminate = true;
    });
    t->SetPriority(tpLower);
    EXPECT_EQ(GetThreadPriority(t->Handle()), THREAD_PRIORITY_BELOW_NORMAL);
    t->Start();
    EXPECT_NE(t->ThreadID(), 0u);
    ASSERT_TRUE(PumpUntil([&] { return running.load(); }));
    t->Terminate();
    t->WaitFor();
    EXPECT_TRUE(sawTerminate);
    EXPECT_TRUE(t->Finished());
    delete t;

    // A thread that releases itself: its destructor runs on its own thread.
    static std::atomic<DWORD> destroyedOn{0};
    struct TSelfFreeing : TThread {
        TSelfFreeing() : TThread(true) { SetFreeOnTerminate(true); }
        ~TSelfFreeing() override { destroyedOn = GetCurrentThreadId(); }
        void Execute() override {}
    };
    auto* s = new TSelfFreeing;
    DWORD id = s->ThreadID();
    s->Start();
    EXPECT_TRUE(PumpUntil([&] { return destroyedOn.load() != 0; }));
    EXPECT_EQ(destroyedOn, id);
}

TEST(Thread, DestroyingARunningThreadTerminatesAndWaits) {
    std::atomic<bool> running{false}, ended{false};
    {
        TLambdaThread t(
            [&](TLambdaThread& self) {
                running = true;
                while (!self.Terminated())
                    Sleep(1);
                ended = true;
            },
            false);
        ASSERT_TRUE(PumpUntil([&] { return running.load(); }));
    }
    EXPECT_TRUE(ended);
    // Never started: the body does not run at all.
    std::atomic<bool> ran{false};
    {
        TLambdaThread t([&](TLambdaThread&) { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(Application, HandleExceptionShowsTheMessageInAnErrorBox) {
    static String seenText, seenCaption;
    static UINT seenFlags = 0;
    auto previous = Application->SetMessageBoxFunc(
        [](HWND, const String& text, const String& caption, UINT flags) {
            seenText = text;
            seenCaption = caption;
            seenFlags = flags;
            return IDOK;
        });
    Application->HandleException(Exception(L"There are no bluetooth adapters"));
    Application->SetMessageBoxFunc(previous);
    EXPECT_EQ(seenText, L"There are no bluetooth adapters");
    EXPECT_EQ(seenCaption, Application->Title());
    EXPECT_EQ(seenFlags & MB_ICONERROR, static_cast<UINT>(MB_ICONERROR));
}

TEST(Application, RunEndsOnTerminate) {
    struct TStopper {
        void Stop() { Application->Terminate(); }
    } stopper;
    TLambdaThread t(
        [&](TLambdaThread& self) {
            self.Synchronize(TThreadMethod::Bind<&TStopper::Stop>(&stopper));
        },
        false);
    Application->Run(); // returns once the synchronized call has terminated it
    EXPECT_TRUE(Application->Terminated());
    t.WaitFor();
}

} // namespace
