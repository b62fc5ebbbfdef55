#pragma once
// One open of TkvBT in progress (private to the component): its blocking platform calls
// (the service lookup, the socket and its connect) each run on a worker thread of their
// own while the opening thread waits for them, serving its messages.
//
// The wait ends when the work is done, when Cancel is called (from any thread: a handler
// that the wait serves, another thread, the component's destructor) or when the open's
// time limit passes; the last two end it at once and let the worker go. A worker holds
// its own state (shared with the wait while it lasts), its own Winsock start-up and its
// own hold on the Bluetooth library, so nothing it uses is freed under it: a let-go worker
// sees Stop, ends by itself when its platform call returns, discards its late result and
// touches nothing of the component.

#include "components/kvbt.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class TkvBT::TOpening {
public:
    // TimeoutMs: the time the whole open may take; 0 for no limit but the platform's.
    explicit TOpening(DWORD TimeoutMs);
    TOpening(const TOpening&) = delete;
    TOpening& operator=(const TOpening&) = delete;

    enum class TEnd { Done, Cancelled, TimedOut };

    // Runs Work on a worker and waits for it. Done: Result holds what Work returned (an
    // exception from Work is thrown again here). Otherwise the worker is let go, and
    // Discard undoes its result whenever it comes.
    template <class T>
    TEnd Run(std::function<T(const std::atomic<bool>& Stop)> Work, std::function<void(T&)> Discard,
             T& Result) {
        auto result = std::make_shared<std::optional<T>>();
        TEnd end = RunJob([result, Work](const std::atomic<bool>& Stop) { *result = Work(Stop); },
                          [result, Discard] {
                              if (*result)
                                  Discard(**result);
                          });
        if (end == TEnd::Done)
            Result = std::move(**result);
        return end;
    }

    // Ends the wait at once, from any thread; the open ends quietly.
    void Cancel();

private:
    struct TJob;

    TEnd RunJob(std::function<void(const std::atomic<bool>&)> Work, std::function<void()> Discard);
    TEnd Wait(TJob& Job);

    const ULONGLONG fDeadline; // 0: none
    std::mutex fLock;
    bool fCancelled = false;    // under fLock
    std::shared_ptr<TJob> fJob; // the job waited for; under fLock
};
