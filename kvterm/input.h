#pragma once
// Standard input, read on a thread of its own and handed to the main thread.

#include "kvterm/keys.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <windows.h>

// The bytes that standard input delivered and the main thread has not taken yet. The
// reading thread waits while a megabyte waits already, so that input read ahead of a
// slow link stays bounded.
class TInputQueue {
public:
    TInputQueue();
    ~TInputQueue();
    TInputQueue(const TInputQueue&) = delete;
    TInputQueue& operator=(const TInputQueue&) = delete;

    // Set while bytes wait, and once when the input ends.
    HANDLE Ready() const { return fReady; }
    // The reading thread.
    void Put(std::string_view Bytes);
    void End();
    // The main thread: up to Most of the waiting bytes, oldest first.
    std::string Take(size_t Most);
    // The input has ended and every byte of it was taken.
    bool Ended() const;

private:
    HANDLE fReady;
    mutable std::mutex fLock;
    std::condition_variable fTaken;
    std::string fBytes;
    bool fEnded = false;
};

// Reads standard input on a thread of its own into Queue until it ends. From a console
// it reads key presses (Keys translates them, OnEscape runs on that thread when the
// escape key comes); anything else is read as it comes. The thread holds the queue, so
// it may outlive the caller.
void StartInput(std::shared_ptr<TInputQueue> Queue, bool Console, TKeyTranslator Keys,
                std::function<void()> OnEscape);
