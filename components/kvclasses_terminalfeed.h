#pragma once
// TkvTerminalFeed: received text on its way from a reader thread to a terminal, which only
// the main thread writes. Private to kvclasses (TkvBaseIO owns one).
//
// A reader queues each block (Push) and goes on: it never waits for the window, except
// where nothing may be dropped and the queue is full. The first block into an empty queue
// posts one wake-up to the main thread, which takes what waits step by step (Take) and
// writes it, and comes back for the rest when it stops early (Wrote).
//
// The queue keeps what the terminal needs of the block boundaries: a block of one byte
// is a key (it acts as typed: a backspace deletes); a longer block is text, whose zero
// bytes are not shown and which joins the text queued just before it.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include <windows.h>

class TkvTerminalFeed {
public:
    // Bytes the queue may hold before a reader that must not drop anything waits.
    static constexpr size_t kBacklog = 1024 * 1024;

    struct TStep {
        bool Key = false;
        std::string Bytes; // the key, or text without zero bytes
    };

    // Main thread. Wake runs on the main thread: after a Push into an empty queue, when
    // a write that stopped early may go on, and at once while a reader waits for room.
    explicit TkvTerminalFeed(std::function<void()> Wake);
    ~TkvTerminalFeed();
    TkvTerminalFeed(const TkvTerminalFeed&) = delete;
    TkvTerminalFeed& operator=(const TkvTerminalFeed&) = delete;

    // Main thread. While not receiving, blocks are dropped; switching off drops what waits.
    void SetReceiving(bool Receiving);

    // Any thread. Queues one received block. With Keep, the text queued before the last
    // Keep characters goes (the terminal would cut it at once). With Keep 0 nothing goes:
    // while more than kBacklog bytes wait, Push waits for the main thread to take them,
    // until Stop() is true or receiving ends, and then queues the block anyway. A null
    // Stop never waits.
    void Push(const void* Buffer, std::uint32_t Len, std::uint32_t Keep,
              const std::function<bool()>& Stop);
    // More than kBacklog bytes wait.
    bool Full() const;

    // Main thread. True when a write may begin now: the pause after the last one has
    // passed, or a reader waits for room. Otherwise Wake runs again when it has passed.
    bool Due();
    // Main thread. Takes the next step: a key, or at most MaxText characters of text.
    // False when nothing waits; the next Push wakes the main thread again.
    bool Take(TStep& Step, size_t MaxText);
    // Main thread. A write took Ms: the next one begins no sooner than half that later,
    // so that the terminal takes at most two thirds of the main thread, and no sooner
    // than 40 ms after this one began, so that what arrives meanwhile goes in together.
    // With More, Wake runs again then for what still waits.
    void Wrote(double Ms, bool More);

private:
    struct TPiece {
        bool Key = false;
        std::string Bytes;
        size_t From = 0; // taken already
        size_t Size() const { return Bytes.size() - From; }
    };

    static LRESULT CALLBACK WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam);
    // A block as the queue keeps it: a key, or its text without zero bytes, at most the
    // last Keep characters of it.
    static TPiece Shape(const std::uint8_t* Buffer, std::uint32_t Len, std::uint32_t Keep);
    // Under fLock: queues Piece; true when the main thread is to be woken.
    bool Queue(TPiece Piece, std::uint32_t Keep);
    static void Compact(TPiece& Piece); // under fLock
    void Wake(HWND Window);
    void WakeAfter(double Ms);

    const std::function<void()> fWake;
    HWND fWindow = nullptr; // created on the main thread; the wake-ups go to it
    double fNext = 0;       // the main thread's: when the next write may begin

    mutable std::mutex fLock;
    std::deque<TPiece> fQueue;
    size_t fBytes = 0;   // waiting in fQueue
    bool fWoken = false; // a wake-up is on its way, or the main thread takes
    bool fReceiving = false;
    HANDLE fRoom; // set when the main thread has taken what waited
    std::atomic<bool> fReaderWaits{false};
};
