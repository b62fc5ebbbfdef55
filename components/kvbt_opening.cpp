// TkvBT's open in progress: the platform calls that block (the service lookup and the
// socket's connect) run on a worker thread of their own while the opening thread waits,
// serving its messages, until they end, the open is cancelled or its time runs out.
#include "components/kvbt_opening.h"

#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <utility>

TkvBT::TOpening::TOpening(DWORD TimeoutMs)
    : fWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      fDeadline(TimeoutMs ? GetTickCount64() + TimeoutMs : 0) {}

TkvBT::TOpening::~TOpening() {
    if (fWorker.joinable())
        fWorker.join();
    CloseHandle(fWake);
}

void TkvBT::TOpening::Cancel() {
    fCancelled = true;
    SetEvent(fWake);
}

TkvBT::TOpening::TEnd TkvBT::TOpening::Run(std::function<void()> Work,
                                           const std::function<void()>& Abort) {
    if (fCancelled)
        return TEnd::Cancelled;
    ResetEvent(fWake);
    fDone = false;
    fWorker = std::thread([this, work = std::move(Work)] {
        try {
            work();
        } catch (...) {
            fError = std::current_exception(); // passed on to the opening thread below
        }
        fDone = true;
        SetEvent(fWake);
    });
    TEnd end = Wait();
    if (end != TEnd::Done) {
        Stop = true;
        Abort();
    }
    // What the worker does after an abort ends soon: one platform call at most.
    while (!fDone)
        MainThreadWait(fWake, 50);
    fWorker.join();
    if (fError)
        std::rethrow_exception(std::exchange(fError, nullptr));
    return end;
}

TkvBT::TOpening::TEnd TkvBT::TOpening::Wait() {
    for (;;) {
        if (fCancelled)
            return TEnd::Cancelled;
        if (fDone)
            return TEnd::Done;
        DWORD wait = INFINITE;
        if (fDeadline) {
            ULONGLONG now = GetTickCount64();
            if (now >= fDeadline)
                return TEnd::TimedOut;
            wait = static_cast<DWORD>(fDeadline - now);
        }
        if (IsMainThread() && Application) {
            // The window keeps painting, moving and answering input meanwhile.
            if (MsgWaitForMultipleObjects(1, &fWake, FALSE, wait, QS_ALLINPUT) ==
                WAIT_OBJECT_0 + 1) {
                Application->ProcessMessages();
                if (Application->Terminated())
                    Cancel(); // the program is ending
            }
        } else {
            MainThreadWait(fWake, wait);
        }
    }
}
