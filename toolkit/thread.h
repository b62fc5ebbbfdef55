#pragma once
// TThread: a thread object with a body, a termination request, a priority,
// self-release, a wait for its end, and Synchronize.
//
// Synchronize runs a method on the main thread while the calling thread waits, and
// re-throws the method's exception in the caller; called on the main thread it runs
// the method directly. The calls are run by a hidden window of the toolkit on the main
// thread, so they also run inside modal loops (message boxes, system dialogs).
// Waits on the main thread (WaitFor, MainThreadWait) keep running synchronized calls
// and delivering sent window messages, so a worker blocked in Synchronize or in a
// SendMessageW to a main-thread window cannot deadlock them.

#include "toolkit/components.h"
#include "toolkit/events.h"

#include <atomic>
#include <exception>
#include <type_traits>

#include <windows.h>

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

using TThreadMethod = TEvent<void()>;

class TThread : public TObject {
public:
    explicit TThread(bool CreateSuspended);
    // Destroying a running thread from another thread asks it to terminate and waits.
    ~TThread() override;

    // Starts a thread that was created suspended.
    void Start();
    void Terminate() { fTerminated = true; }
    bool Terminated() const { return fTerminated; }
    // Waits until the body has returned. Never wait on a thread that may have
    // released itself: keep FreeOnTerminate false for threads that are waited for.
    void WaitFor();
    bool Finished() const { return fFinished; }

    DWORD ThreadID() const { return fThreadID; }
    HANDLE Handle() const { return fHandle; }
    TThreadPriority GetPriority() const { return fPriority; }
    void SetPriority(TThreadPriority Value);
    // With FreeOnTerminate the object deletes itself, on its own thread, when its body returns.
    bool GetFreeOnTerminate() const { return fRelease == kReleaseOnEnd; }
    void SetFreeOnTerminate(bool Value) { fRelease = Value ? kReleaseOnEnd : kKeep; }
    // An exception that escaped Execute, kept for whoever asks.
    std::exception_ptr FatalException() const { return fFatalException; }

    void Synchronize(TThreadMethod Method);

protected:
    virtual void Execute() = 0;

private:
    static DWORD WINAPI ThreadProc(void* param);

    HANDLE fHandle = nullptr;
    DWORD fThreadID = 0;
    bool fStarted = false;
    std::atomic<bool> fTerminated{false};
    std::atomic<bool> fFinished{false};
    // Who deletes the object: its owner (kKeep), the thread when its body returns
    // (kReleaseOnEnd); kEnded once the body has returned to an owner that keeps it.
    enum { kKeep, kReleaseOnEnd, kEnded };
    std::atomic<int> fRelease{kKeep};
    TThreadPriority fPriority = tpNormal;
    std::exception_ptr fFatalException;
};

DWORD MainThreadID();
bool IsMainThread();

// Runs Method on the main thread and waits for it, from any thread (see above).
void Synchronize(TThreadMethod Method);

// Runs Function on the main thread and waits for it, from any thread (see above).
template <class F> void RunOnMainThread(F&& Function) {
    struct TCall {
        std::remove_reference_t<F>* Function;
        void Run() { (*Function)(); }
    } call{&Function};
    Synchronize(TThreadMethod::Bind<&TCall::Run>(&call));
}

// True when Thread waits in a Synchronize whose call this thread is running now (further
// up its stack): a wait of this thread for Thread would never end.
bool WaitsForThisThread(DWORD Thread);

// Runs the synchronized calls that are waiting. Main thread only; true when any ran.
bool CheckSynchronize();

// Waits until the handle is signalled or the timeout (milliseconds) passes; on the main
// thread it keeps running synchronized calls and sent messages meanwhile, and serves those
// waiting at least once, also with a timeout of 0. True when signalled.
bool MainThreadWait(HANDLE Handle, DWORD Timeout = INFINITE);

// Creates the toolkit's hidden window for synchronized calls; call on the main thread.
// The application object and threads created on the main thread do this themselves.
void InitSynchronize();
