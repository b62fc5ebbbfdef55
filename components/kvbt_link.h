#pragma once
// One connection of TkvBT (private to the component): its RFCOMM socket, its own Winsock
// start-up, the receive side its reader uses, the send queue and the writer thread that
// empties it.
//
// A connection ends in one of these ways, each through the component's close sequence once:
//  - the application closes it (Active false, the destructor): what is queued goes out
//    first while the socket takes it (2 s at most), then the closer stops the connection
//    and waits for its reader and its writer;
//  - the peer closes it or the link fails: the reader's wait returns with nothing pending,
//    or fails; the reader stops the connection and closes it; what is still queued is lost
//    (counted);
//  - a send fails: the writer stops sending (the queue is kept, and lost); the reader sees
//    the link's end as above;
//  - a receive handler throws: the reader leaves its loop and closes as above.
// Stop wakes the reader's and the writer's waits at once (a wake-up socket in their
// selects) and every wait of a call on the connection. The socket is closed, and the
// Winsock start-up ended, by the connection's destructor: after its last holder (the
// component, the reader, a call in progress on another thread) has let go.
//
// Shared by threads (who writes / who reads):
//  - Socket, the wake-up socket: fixed at construction / everyone;
//  - BufferSize: BufferInSize's writer / the reader, before each receive;
//  - DontRead: WaitForBytes (any thread) / the reader;
//  - the receive count fReads: Read and its kin, under fReceiveLock / the reader, under it;
//  - the queue and its byte count: senders append, the writer takes from the front, both
//    under fSendLock; the writer alone reads the front send's bytes outside the lock, while
//    fSending says so (appending to a deque keeps its elements in place); a sender that
//    lent its bytes takes them back only while the writer is not sending from them;
//  - fFailed: the writer / senders and waits;
//  - the waiters' events: each waiting thread adds and removes its own under fSendLock /
//    the writer and Stop set them.
#include "components/kvbt.h"

#include <deque>
#include <string>

class TkvBT::TLink : public TkvConnection {
public:
    TLink(SOCKET Socket, int BufferSize);
    ~TLink() override;

    const SOCKET Socket;
    std::atomic<int> BufferSize;  // of the reader's buffer, for its next receive
    std::atomic<int> DontRead{0}; // WaitForBytes calls in progress

    // ---- Receiving: one receive at a time, each of bytes known to be there, so none blocks.

    // Bytes that can be read now.
    u_long Pending();
    // The reader's wait: the bytes pending, 0 to look again (stopped, or a wake-up), -1
    // when the connection has ended (end of stream, or a failure).
    long WaitPending();
    // The reader's receive of bytes it counted (Known), into Buffer. When a Read took
    // bytes since the count, it counts again. The bytes received, 0 when none are left to
    // take, -1 on failure.
    int ReceiveCounted(std::uint8_t* Buffer, int Size, u_long& Known);
    // A receive of what is there now, at most Size bytes; 0 when nothing is.
    std::uint32_t ReceiveNow(void* Buffer, std::uint32_t Size);
    // The bytes there now, left in the socket.
    std::string Peek();
    // One step of a wait for bytes to arrive: on the main thread it serves its messages.
    void WaitReadable();
    // The reader's pause while bytes wait unread; Wake or the stop ends it.
    void Pause(DWORD Ms);
    void Wake();

    // ---- Sending: the writer sends the queue out in order, each send's bytes together.

    // Queues the bytes behind what is queued. When that takes the queue past Limit, the
    // send waits until it is back at Limit (see WaitQueued, serving all messages on the
    // main thread) and lends the caller's bytes to the writer meanwhile, keeping a copy of
    // only what is left when it returns.
    void Send(const char* Data, size_t Length, size_t Limit, const TkvCallTarget::TLife& Life);
    // Bytes queued and not yet taken by the socket.
    size_t Queued();
    // Waits until at most Most bytes are queued (true), or the connection stops or fails,
    // Timeout passes, or Life ends (false). On the main thread it serves all its messages
    // when ServeAll, else sent messages and synchronized calls.
    bool WaitQueued(size_t Most, DWORD Timeout, const TkvCallTarget::TLife& Life, bool ServeAll);
    // Waits until the writer has ended; call after Stop.
    void WaitWriter();

protected:
    void Stopping() override;

private:
    static DWORD WINAPI Writer(void* Link);
    void WriteLoop();
    // Sends from the front of the queue until it is empty; false when the connection
    // stopped or failed.
    bool SendQueue();
    // Until the socket takes more, or the stop.
    void WaitWritable();
    // Wakes the threads in WaitQueued whose wait is over.
    void Progress();

    TkvWinsockUse fWinsock; // first in, last out: it outlives the socket's close
    SOCKET fWakeSocket;     // a loopback datagram socket, readable once stopped

    std::mutex fReceiveLock;
    std::uint32_t fReads = 0;        // receives by Read and its kin; under fReceiveLock
    std::uint32_t fReadsCounted = 0; // the reader's last look at fReads; under fReceiveLock
    HANDLE fWake;                    // ends the reader's pause

    std::mutex fSendLock;
    // One send's bytes: its own, or the caller's while the caller waits.
    struct TSend {
        std::uint64_t Serial;
        std::string Owned;
        const char* Lent;
        size_t Size;
        const char* Data() const { return Lent ? Lent : Owned.data(); }
    };
    std::deque<TSend> fQueue;  // the sends, in order; under fSendLock
    std::uint64_t fSerial = 0; // of the last send queued; under fSendLock
    size_t fFrontSent = 0;     // bytes of the front send gone out; under fSendLock
    size_t fQueued = 0;        // bytes not yet gone out; under fSendLock
    bool fSending = false;     // the writer sends from the front now; under fSendLock
    // The threads in WaitQueued, each woken once at most Most bytes are queued (or the
    // connection ended); under fSendLock.
    struct TWaiter {
        HANDLE Event;
        size_t Most;
    };
    std::vector<TWaiter> fWaiters;
    std::atomic<bool> fFailed{false};
    HANDLE fQueuedEvent; // auto reset: the queue grew
    HANDLE fWriterEnded; // manual reset
    HANDLE fWriter;      // the writer thread
};
