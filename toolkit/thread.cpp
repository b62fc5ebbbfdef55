#include "toolkit/thread.h"

#include "toolkit/messagewindow.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

const DWORD gMainThreadID = GetCurrentThreadId();

const UINT WM_KV_SYNCHRONIZE = WM_APP + 0x3A1;

struct TSyncCall {
    TThreadMethod Method;
    DWORD Caller = GetCurrentThreadId();
    std::exception_ptr Error;
    bool Done = false;
    std::mutex Lock;
    std::condition_variable Finished;
};

// The queue of calls waiting for the main thread. A wake-up is posted only when the
// queue becomes non-empty; the main thread drains it by swapping it out.
struct TSyncQueue {
    std::mutex Lock;
    std::deque<TSyncCall*> Calls;
    HWND Window = nullptr;
    HANDLE Signal = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

TSyncQueue& Queue() {
    static TSyncQueue queue;
    return queue;
}

LRESULT CALLBACK SyncWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_KV_SYNCHRONIZE) {
        CheckSynchronize();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// The callers of the synchronized calls that the main thread is running, innermost last.
std::vector<DWORD>& RunningCallers() {
    static std::vector<DWORD> callers; // the main thread's only
    return callers;
}

void RunCall(TSyncCall& call) {
    RunningCallers().push_back(call.Caller);
    try {
        call.Method();
    } catch (...) {
        call.Error = std::current_exception();
    }
    RunningCallers().pop_back();
    std::lock_guard<std::mutex> lock(call.Lock);
    call.Done = true;
    call.Finished.notify_one();
}

} // namespace

DWORD MainThreadID() {
    return gMainThreadID;
}
bool IsMainThread() {
    return GetCurrentThreadId() == gMainThreadID;
}

void InitSynchronize() {
    TSyncQueue& q = Queue();
    if (q.Window || !IsMainThread())
        return;
    HWND w = CreateMessageWindow(L"TkSynchronizeWindow", SyncWndProc);
    std::lock_guard<std::mutex> lock(q.Lock);
    q.Window = w;
    if (!q.Calls.empty())
        PostMessageW(w, WM_KV_SYNCHRONIZE, 0, 0);
}

bool WaitsForThisThread(DWORD Thread) {
    if (!IsMainThread())
        return false;
    const std::vector<DWORD>& callers = RunningCallers();
    return std::find(callers.begin(), callers.end(), Thread) != callers.end();
}

bool CheckSynchronize() {
    if (!IsMainThread())
        return false;
    TSyncQueue& q = Queue();
    std::deque<TSyncCall*> calls;
    {
        std::lock_guard<std::mutex> lock(q.Lock);
        calls.swap(q.Calls);
    }
    for (TSyncCall* call : calls)
        RunCall(*call);
    return !calls.empty();
}

void Synchronize(TThreadMethod Method) {
    if (IsMainThread()) {
        Method();
        return;
    }
    TSyncCall call;
    call.Method = Method;
    TSyncQueue& q = Queue();
    {
        std::lock_guard<std::mutex> lock(q.Lock);
        bool wasEmpty = q.Calls.empty();
        q.Calls.push_back(&call);
        if (wasEmpty && q.Window)
            PostMessageW(q.Window, WM_KV_SYNCHRONIZE, 0, 0);
    }
    SetEvent(q.Signal);
    {
        std::unique_lock<std::mutex> lock(call.Lock);
        call.Finished.wait(lock, [&] { return call.Done; });
    }
    if (call.Error)
        std::rethrow_exception(call.Error);
}

bool MainThreadWait(HANDLE Handle, DWORD Timeout) {
    if (!IsMainThread())
        return WaitForSingleObject(Handle, Timeout) == WAIT_OBJECT_0;
    HANDLE handles[2] = {Handle, Queue().Signal};
    ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD wait = INFINITE;
        if (Timeout != INFINITE) {
            ULONGLONG passed = GetTickCount64() - start;
            wait = passed >= Timeout ? 0 : static_cast<DWORD>(Timeout - passed);
        }
        DWORD r = MsgWaitForMultipleObjects(2, handles, FALSE, wait, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r == WAIT_OBJECT_0 + 2) {
            // Delivers the messages that other threads sent to our windows.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else if (r != WAIT_OBJECT_0 + 1) {
            return false; // timed out, or failed
        }
        // Calls queued while we were busy have signalled already; run them too.
        CheckSynchronize();
        if (wait == 0)
            return WaitForSingleObject(Handle, 0) == WAIT_OBJECT_0;
    }
}

TThread::TThread(bool CreateSuspended) {
    InitSynchronize();
    fHandle = CreateThread(nullptr, 0, &TThread::ThreadProc, this, CREATE_SUSPENDED, &fThreadID);
    if (!CreateSuspended)
        Start();
}

TThread::~TThread() {
    if (fHandle && !fFinished && GetCurrentThreadId() != fThreadID) {
        fRelease = kKeep;
        Terminate();
        if (!fStarted)
            Start();
        WaitFor();
    }
    if (fHandle)
        CloseHandle(fHandle);
}

void TThread::Start() {
    if (fStarted || !fHandle)
        return;
    fStarted = true;
    ResumeThread(fHandle);
}

void TThread::WaitFor() {
    if (!fHandle || GetCurrentThreadId() == fThreadID)
        return;
    MainThreadWait(fHandle);
}

void TThread::SetPriority(TThreadPriority Value) {
    static const int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                 THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                 THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                 THREAD_PRIORITY_TIME_CRITICAL};
    fPriority = Value;
    if (fHandle)
        SetThreadPriority(fHandle, levels[Value]);
}

void TThread::Synchronize(TThreadMethod Method) {
    ::Synchronize(Method);
}

DWORD WINAPI TThread::ThreadProc(void* param) {
    auto* self = static_cast<TThread*>(param);
    try {
        if (!self->fTerminated)
            self->Execute();
    } catch (...) {
        self->fFatalException = std::current_exception();
    }
    self->fFinished = true;
    int keep = kKeep;
    if (!self->fRelease.compare_exchange_strong(keep, kEnded))
        delete self; // released on its end, before or while the body ran
    return 0;
}
