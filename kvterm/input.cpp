#include "kvterm/input.h"

#include <thread>
#include <utility>

namespace {

const size_t kQueueLimit = 1 << 20;

void ReadKeys(TInputQueue& Queue, TKeyTranslator& Keys, const std::function<void()>& OnEscape) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    INPUT_RECORD records[64];
    DWORD count = 0;
    while (ReadConsoleInputW(in, records, 64, &count)) {
        std::string bytes;
        for (DWORD i = 0; i < count; ++i) {
            if (records[i].EventType != KEY_EVENT)
                continue;
            if (Keys.Translate(records[i].Event.KeyEvent, bytes)) {
                Queue.Put(bytes);
                OnEscape();
                return;
            }
        }
        Queue.Put(bytes);
    }
    Queue.End();
}

void ReadStream(TInputQueue& Queue) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[64 * 1024];
    DWORD count = 0;
    // A pipe whose writer has gone fails with ERROR_BROKEN_PIPE; a file ends with 0 bytes;
    // no standard input at all fails at once.
    while (ReadFile(in, buffer, sizeof buffer, &count, nullptr) && count > 0)
        Queue.Put(std::string_view(buffer, count));
    Queue.End();
}

} // namespace

TInputQueue::TInputQueue() : fReady(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TInputQueue::~TInputQueue() {
    CloseHandle(fReady);
}

void TInputQueue::Put(std::string_view Bytes) {
    if (Bytes.empty())
        return;
    std::unique_lock<std::mutex> lock(fLock);
    fTaken.wait(lock, [&] { return fBytes.size() < kQueueLimit; });
    fBytes.append(Bytes);
    SetEvent(fReady);
}

void TInputQueue::End() {
    std::lock_guard<std::mutex> lock(fLock);
    fEnded = true;
    SetEvent(fReady);
}

std::string TInputQueue::Take(size_t Most) {
    std::string taken;
    {
        std::lock_guard<std::mutex> lock(fLock);
        if (fBytes.size() <= Most) {
            taken.swap(fBytes);
        } else {
            taken = fBytes.substr(0, Most);
            fBytes.erase(0, Most);
        }
        if (fBytes.empty())
            ResetEvent(fReady);
    }
    fTaken.notify_all();
    return taken;
}

bool TInputQueue::Ended() const {
    std::lock_guard<std::mutex> lock(fLock);
    return fEnded && fBytes.empty();
}

void StartInput(std::shared_ptr<TInputQueue> Queue, bool Console, TKeyTranslator Keys,
                std::function<void()> OnEscape) {
    std::thread([Queue = std::move(Queue), Console, Keys = std::move(Keys),
                 OnEscape = std::move(OnEscape)]() mutable {
        if (Console)
            ReadKeys(*Queue, Keys, OnEscape);
        else
            ReadStream(*Queue);
    }).detach();
}
