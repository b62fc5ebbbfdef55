// TkvBT's open in progress: its platform calls on workers that the open can let go.
#include "components/kvbt_opening.h"

#include "toolkit/application.h"
#include "toolkit/exceptions.h"
#include "toolkit/thread.h"

#include <exception>
#include <utility>

// What a worker and the wait for it share. Whoever comes second of the worker's end and
// the wait's giving up discards the result.
struct TkvBT::TOpening::TJob {
    TJob() : Wake(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TJob() { CloseHandle(Wake); }
    TJob(const TJob&) = delete;
    TJob& operator=(const TJob&) = delete;

    std::atomic<bool> Stop{false}; // the wait gave up: end before the next platform call
    HANDLE Wake;                   // manual reset: the work ended, or the open was cancelled
    std::mutex Lock;
    bool Finished = false;    // under Lock
    bool Abandoned = false;   // under Lock
    std::exception_ptr Error; // written before Finished
    std::function<void()> Discard;
};

TkvBT::TOpening::TOpening(DWORD TimeoutMs)
    : fDeadline(TimeoutMs ? GetTickCount64() + TimeoutMs : 0) {}

void TkvBT::TOpening::Cancel() {
    std::lock_guard<std::mutex> lock(fLock);
    fCancelled = true;
    if (fJob)
        SetEvent(fJob->Wake);
}

TkvBT::TOpening::TEnd TkvBT::TOpening::RunJob(std::function<void(const std::atomic<bool>&)> Work,
                                              std::function<void()> Discard) {
    auto job = std::make_shared<TJob>();
    job->Discard = std::move(Discard);
    {
        std::lock_guard<std::mutex> lock(fLock);
        if (fCancelled)
            return TEnd::Cancelled;
        fJob = job;
    }
    // The worker and what it holds of its own, made here so that all of it exists before
    // the work begins. (A raw thread: it is let go, and nothing ever joins it.)
    struct TWorker {
        std::shared_ptr<TJob> Job;
        std::function<void(const std::atomic<bool>&)> Work;
        TkvWinsockUse Winsock;
        TkvBtApiHold Library;

        static DWORD WINAPI Run(void* Self) {
            std::unique_ptr<TWorker> worker(static_cast<TWorker*>(Self));
            TJob& job = *worker->Job;
            try {
                worker->Work(job.Stop);
            } catch (...) {
                job.Error = std::current_exception();
            }
            std::lock_guard<std::mutex> lock(job.Lock);
            job.Finished = true;
            if (job.Abandoned)
                job.Discard(); // nobody waits for it any more
            SetEvent(job.Wake);
            return 0;
        }
    };
    auto worker = std::make_unique<TWorker>();
    worker->Job = job;
    worker->Work = std::move(Work);
    HANDLE thread = CreateThread(nullptr, 0, &TWorker::Run, worker.get(), 0, nullptr);
    if (!thread)
        throw Exception(L"The open's worker thread could not be started.");
    worker.release(); // the thread's now
    CloseHandle(thread);

    TEnd end = Wait(*job);
    {
        std::lock_guard<std::mutex> lock(fLock);
        fJob = nullptr;
    }
    if (end == TEnd::Done) {
        if (job->Error)
            std::rethrow_exception(job->Error);
        return end;
    }
    job->Stop = true;
    std::lock_guard<std::mutex> lock(job->Lock);
    job->Abandoned = true;
    if (job->Finished)
        job->Discard(); // it ended just now: its result is the wait's to drop
    return end;
}

TkvBT::TOpening::TEnd TkvBT::TOpening::Wait(TJob& Job) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(fLock);
            if (fCancelled)
                return TEnd::Cancelled;
        }
        {
            std::lock_guard<std::mutex> lock(Job.Lock);
            if (Job.Finished)
                return TEnd::Done;
        }
        DWORD wait = INFINITE;
        if (fDeadline) {
            const ULONGLONG now = GetTickCount64();
            if (now >= fDeadline)
                return TEnd::TimedOut;
            wait = static_cast<DWORD>(fDeadline - now);
        }
        // The window keeps painting, moving and answering input meanwhile.
        WaitServingMessages(Job.Wake, wait);
        if (Application && Application->Terminated())
            Cancel(); // the program is ending
    }
}
