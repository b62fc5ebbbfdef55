#pragma once
// One open of TkvBT in progress (see kvbt_opening.cpp); private to the component.

#include "components/kvbt.h"

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

class TkvBT::TOpening {
public:
    // TimeoutMs: the time the whole open may wait on the platform; 0 for no limit but
    // the platform's own.
    explicit TOpening(DWORD TimeoutMs);
    ~TOpening();
    TOpening(const TOpening&) = delete;
    TOpening& operator=(const TOpening&) = delete;

    enum class TEnd { Done, Cancelled, TimedOut };

    // Runs Work on a worker thread and waits for it; the main thread meanwhile serves all
    // its messages (with an application object) or its sent messages and synchronized
    // calls. When the wait ends otherwise (Cancel, or the time limit), it sets Stop and
    // calls Abort on this thread, which makes the work return soon, and waits for the
    // work to end. The work touches nothing of the component; an exception from it is
    // thrown again here.
    TEnd Run(std::function<void()> Work, const std::function<void()>& Abort);
    // Ends the wait, from any thread: a handler that the wait serves, another thread,
    // the component's destructor.
    void Cancel();
    bool Cancelled() const { return fCancelled; }

    std::atomic<bool> Stop{false}; // for the work: end before its next platform call

private:
    TEnd Wait();

    HANDLE fWake; // set when the work is done or the open is cancelled
    const ULONGLONG fDeadline;
    std::atomic<bool> fCancelled{false};
    std::atomic<bool> fDone{false};
    std::exception_ptr fError; // the work's, written before fDone
    std::thread fWorker;
};
