// TkvBT::TLink: one connection's socket, receive side, send queue and writer (see
// kvbt_link.h for the ways a connection ends and who shares what).
#include "components/kvbt_link.h"

#include "toolkit/application.h"

#include <algorithm>
#include <climits>

namespace {

// A safety net under the waits that the wake-up socket ends: were it missing, a stop is
// still seen within this.
const long kTickUs = 500000;
// The most one send call is given: the socket takes what fits, the rest follows.
const size_t kSendChunk = 256 * 1024;

// The wake-up socket: a datagram socket on loopback connected to itself, so that one
// datagram makes it readable for good. Plain Winsock: it is no part of the link.
SOCKET MakeWakeSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET)
        return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// A set of the sockets given, leaving out an invalid one.
fd_set SetOf(SOCKET a, SOCKET b = INVALID_SOCKET) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(a, &set);
    if (b != INVALID_SOCKET)
        FD_SET(b, &set);
    return set;
}

} // namespace

TkvBT::TLink::TLink(SOCKET Socket, int BufferSize)
    : TkvConnection(static_cast<std::uintptr_t>(Socket)), Socket(Socket), BufferSize(BufferSize),
      fWakeSocket(MakeWakeSocket()), fWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      fQueuedEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      fWriterEnded(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    // The writer never blocks in a send, so that a stop always ends it.
    u_long nonBlocking = 1;
    kvSocketApi.ioctlsocket(Socket, static_cast<long>(FIONBIO), &nonBlocking);
    fWriter = CreateThread(nullptr, 0, &TLink::Writer, this, 0, nullptr);
}

TkvBT::TLink::~TLink() {
    Stop();
    if (fWriter) {
        WaitForSingleObject(fWriter, INFINITE);
        CloseHandle(fWriter);
    }
    // Received bytes left unread would make the close an abortive one, which drops what
    // the socket still has to send.
    char discard[4096];
    while (Pending() > 0 && kvSocketApi.recv(Socket, discard, sizeof discard, 0) > 0) {
    }
    kvSocketApi.closesocket(Socket);
    if (fWakeSocket != INVALID_SOCKET)
        ::closesocket(fWakeSocket);
    CloseHandle(fWake);
    CloseHandle(fQueuedEvent);
    CloseHandle(fWriterEnded);
}

void TkvBT::TLink::Stopping() {
    if (fWakeSocket != INVALID_SOCKET)
        ::send(fWakeSocket, "", 1, 0);
    // The peer sees the end now, after what the socket has taken, whoever still holds
    // the connection.
    kvSocketApi.shutdown(Socket, SD_SEND);
    Progress();
}

// ---- Receiving

u_long TkvBT::TLink::Pending() {
    u_long pending = 0;
    kvSocketApi.ioctlsocket(Socket, FIONREAD, &pending);
    return pending;
}

long TkvBT::TLink::WaitPending() {
    {
        std::lock_guard<std::mutex> lock(fReceiveLock);
        if (u_long pending = Pending())
            return static_cast<long>(pending);
    }
    fd_set readable = SetOf(Socket, fWakeSocket), failed = SetOf(Socket);
    timeval tick{0, kTickUs};
    if (kvSocketApi.select(0, &readable, nullptr, &failed, &tick) == SOCKET_ERROR)
        return -1;
    if (Stopped() || (!FD_ISSET(Socket, &readable) && !FD_ISSET(Socket, &failed)))
        return 0;
    std::lock_guard<std::mutex> lock(fReceiveLock);
    if (u_long pending = Pending())
        return static_cast<long>(pending);
    // Readable with nothing to read is the end, unless a Read took the bytes: then the
    // socket no longer looks readable.
    fd_set again = SetOf(Socket);
    timeval now{0, 0};
    return kvSocketApi.select(0, &again, nullptr, nullptr, &now) == 0 ? 0 : -1;
}

int TkvBT::TLink::ReceiveCounted(std::uint8_t* Buffer, int Size, u_long& Known) {
    std::lock_guard<std::mutex> lock(fReceiveLock);
    if (fReads != fReadsCounted) {
        fReadsCounted = fReads;
        Known = Pending();
    }
    if (Known == 0)
        return 0;
    // With bytes known to wait it returns at once, with all that has arrived by then.
    int got = kvSocketApi.recv(Socket, reinterpret_cast<char*>(Buffer), Size, 0);
    if (got <= 0)
        return -1;
    Known -= std::min<u_long>(Known, static_cast<u_long>(got));
    return got;
}

std::uint32_t TkvBT::TLink::ReceiveNow(void* Buffer, std::uint32_t Size) {
    std::lock_guard<std::mutex> lock(fReceiveLock);
    u_long pending = Pending();
    if (pending == 0 || Size == 0)
        return 0;
    ++fReads;
    const u_long most = std::min<u_long>({pending, static_cast<u_long>(Size), INT_MAX});
    int got = kvSocketApi.recv(Socket, static_cast<char*>(Buffer), static_cast<int>(most), 0);
    return got > 0 ? static_cast<std::uint32_t>(got) : 0;
}

std::string TkvBT::TLink::Peek() {
    std::lock_guard<std::mutex> lock(fReceiveLock);
    std::string bytes(std::min<u_long>(Pending(), INT_MAX), '\0');
    if (bytes.empty())
        return bytes;
    int got = kvSocketApi.recv(Socket, bytes.data(), static_cast<int>(bytes.size()), MSG_PEEK);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
}

void TkvBT::TLink::WaitReadable() {
    if (IsMainThread()) {
        WaitServingMessages(StopEvent(), 5);
        return;
    }
    fd_set readable = SetOf(Socket, fWakeSocket), failed = SetOf(Socket);
    timeval tick{0, kTickUs};
    kvSocketApi.select(0, &readable, nullptr, &failed, &tick);
}

void TkvBT::TLink::Pause(DWORD Ms) {
    HANDLE waits[] = {fWake, StopEvent()};
    WaitForMultipleObjects(2, waits, FALSE, Ms);
}

void TkvBT::TLink::Wake() {
    SetEvent(fWake);
}

// ---- Sending

void TkvBT::TLink::Send(const char* Data, size_t Length, size_t Limit,
                        const TkvCallTarget::TLife& Life) {
    std::uint64_t serial;
    bool lend;
    {
        std::lock_guard<std::mutex> lock(fSendLock);
        serial = ++fSerial;
        lend = fQueued + Length > Limit && !Stopped();
        if (lend)
            fQueue.push_back({serial, {}, Data, Length});
        else
            fQueue.push_back({serial, std::string(Data, Length), nullptr, Length});
        fQueued += Length;
    }
    SetEvent(fQueuedEvent);
    if (!lend)
        return;
    WaitQueued(Limit, INFINITE, Life, true);
    // The caller's bytes are its own again: what the writer has not sent yet is copied.
    for (;;) {
        std::unique_lock<std::mutex> lock(fSendLock);
        auto send = std::find_if(fQueue.begin(), fQueue.end(),
                                 [&](const TSend& s) { return s.Serial == serial; });
        if (send == fQueue.end())
            return; // all of it has gone
        const bool front = send == fQueue.begin();
        if (front && fSending) {
            lock.unlock();
            SwitchToThread(); // a send call from the lent bytes, about to return
            continue;
        }
        const size_t from = front ? fFrontSent : 0;
        send->Owned.assign(send->Lent + from, send->Size - from);
        send->Size -= from;
        send->Lent = nullptr;
        if (front)
            fFrontSent = 0;
        return;
    }
}

size_t TkvBT::TLink::Queued() {
    std::lock_guard<std::mutex> lock(fSendLock);
    return fQueued;
}

void TkvBT::TLink::Progress() {
    std::lock_guard<std::mutex> lock(fSendLock);
    const bool ended = Stopped() || fFailed;
    for (const TWaiter& waiter : fWaiters)
        if (ended || fQueued <= waiter.Most)
            SetEvent(waiter.Event);
}

bool TkvBT::TLink::WaitQueued(size_t Most, DWORD Timeout, const TkvCallTarget::TLife& Life,
                              bool ServeAll) {
    HANDLE progress = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> lock(fSendLock);
        fWaiters.push_back({progress, Most});
    }
    const ULONGLONG start = GetTickCount64();
    bool done = false;
    for (;;) {
        if (Queued() <= Most) {
            done = true;
            break;
        }
        const ULONGLONG passed = GetTickCount64() - start;
        if (Stopped() || fFailed || (Timeout != INFINITE && passed >= Timeout))
            break;
        const DWORD left = Timeout == INFINITE ? INFINITE : static_cast<DWORD>(Timeout - passed);
        if (ServeAll)
            WaitServingMessages(progress, left);
        else
            MainThreadWait(progress, left);
        if (Life.Ended())
            break;
    }
    {
        std::lock_guard<std::mutex> lock(fSendLock);
        fWaiters.erase(std::find_if(fWaiters.begin(), fWaiters.end(),
                                    [&](const TWaiter& w) { return w.Event == progress; }));
    }
    CloseHandle(progress);
    return done;
}

void TkvBT::TLink::WaitWriter() {
    MainThreadWait(fWriterEnded);
}

DWORD WINAPI TkvBT::TLink::Writer(void* Link) {
    auto* self = static_cast<TLink*>(Link);
    self->WriteLoop();
    SetEvent(self->fWriterEnded);
    return 0;
}

void TkvBT::TLink::WriteLoop() {
    HANDLE waits[] = {StopEvent(), fQueuedEvent};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        if (!SendQueue())
            return;
}

bool TkvBT::TLink::SendQueue() {
    for (;;) {
        const char* data;
        size_t length;
        {
            std::lock_guard<std::mutex> lock(fSendLock);
            if (fQueue.empty())
                return true;
            const TSend& front = fQueue.front();
            data = front.Data() + fFrontSent;
            length = std::min(front.Size - fFrontSent, kSendChunk);
            fSending = true;
        }
        if (Stopped()) {
            std::lock_guard<std::mutex> lock(fSendLock);
            fSending = false;
            return false;
        }
        const int sent = kvSocketApi.send(Socket, data, static_cast<int>(length), 0);
        const int error = sent == SOCKET_ERROR ? kvSocketApi.WSAGetLastError() : 0;
        {
            std::lock_guard<std::mutex> lock(fSendLock);
            fSending = false;
            if (sent > 0) {
                fQueued -= static_cast<size_t>(sent);
                fFrontSent += static_cast<size_t>(sent);
                if (fFrontSent == fQueue.front().Size) {
                    fQueue.pop_front();
                    fFrontSent = 0;
                }
            }
        }
        if (sent > 0) {
            Progress();
        } else if (error == WSAEWOULDBLOCK) {
            WaitWritable();
        } else {
            fFailed = true; // the reader sees the link's end; what is queued is lost
            Progress();
            return false;
        }
    }
}

void TkvBT::TLink::WaitWritable() {
    fd_set writable = SetOf(Socket), wake = SetOf(fWakeSocket);
    timeval tick{0, kTickUs};
    kvSocketApi.select(0, fWakeSocket != INVALID_SOCKET ? &wake : nullptr, &writable, nullptr,
                       &tick);
}
