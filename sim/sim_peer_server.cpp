#include "sim/sim_peer_server.h"

#include "sim/sim_modem.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace kvsim {

namespace {

constexpr size_t kChunk = 64 * 1024;
// An echo peer stops reading while this much waits for a client that does not read.
constexpr size_t kMaxOutbox = 1024 * 1024;
// A peer that stalls takes little into its socket, so that the client's sends back up soon.
constexpr int kStalledReceiveBuffer = 8 * 1024;

void SetNonBlocking(SOCKET s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

sockaddr_in Loopback() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket bound to 127.0.0.1 on a free port, non-blocking; its address in Bound.
SOCKET BoundSocket(int type, int protocol, int receiveBuffer, sockaddr_in& bound) {
    SOCKET s = socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET)
        return s;
    if (receiveBuffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
                   sizeof receiveBuffer);
    bound = Loopback();
    int length = sizeof bound;
    if (bind(s, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    SetNonBlocking(s);
    return s;
}

} // namespace

struct TPeerServer::TLink {
    SOCKET Socket = INVALID_SOCKET;
    // The thread's own.
    std::string Outbox;
    long long Count = 0; // bytes received
    bool Stalled = false;
    bool Closing = false;  // shut the sending side once the outbox is out
    bool ShutDown = false; // the sending side is shut
    bool Dropping = false; // to be reset in this pass
    TModem Modem;
    // Under fLock.
    std::string Received;
    std::string Queued;
    bool CloseRequested = false;
    bool DropRequested = false;
    bool ResumeRequested = false;
    bool ClientClosed = false;
    bool Ended = false;
};

TPeerServer::TPeerServer(const TPeer& Peer) : fPeer(Peer) {
    sockaddr_in listening{};
    fListener = BoundSocket(SOCK_STREAM, IPPROTO_TCP,
                            Peer.StallAfter >= 0 ? kStalledReceiveBuffer : 0, listening);
    if (fListener != INVALID_SOCKET && listen(fListener, SOMAXCONN) != 0) {
        closesocket(fListener);
        fListener = INVALID_SOCKET;
    }
    fWake = BoundSocket(SOCK_DGRAM, IPPROTO_UDP, 0, fWakeAddress);
    if (fListener == INVALID_SOCKET || fWake == INVALID_SOCKET) {
        int error = WSAGetLastError();
        if (fListener != INVALID_SOCKET)
            closesocket(fListener);
        if (fWake != INVALID_SOCKET)
            closesocket(fWake);
        throw std::runtime_error("a simulated peer cannot listen on 127.0.0.1: Winsock error " +
                                 std::to_string(error));
    }
    fPort = ntohs(listening.sin_port);
    fThread = std::thread(&TPeerServer::Run, this);
}

TPeerServer::~TPeerServer() {
    Stop();
}

void TPeerServer::Stop() {
    {
        std::lock_guard lock(fLock);
        fStopping = true;
        Wake();
    }
    fChanged.notify_all();
    if (fThread.joinable())
        fThread.join();
    std::lock_guard lock(fLock);
    if (fListener != INVALID_SOCKET)
        closesocket(fListener);
    if (fWake != INVALID_SOCKET)
        closesocket(fWake);
    fListener = fWake = INVALID_SOCKET;
}

// Called under fLock, so that Stop cannot close the socket meanwhile; a datagram to a
// non-blocking socket does not block.
void TPeerServer::Wake() {
    if (fWake != INVALID_SOCKET)
        sendto(fWake, "w", 1, 0, reinterpret_cast<const sockaddr*>(&fWakeAddress),
               sizeof fWakeAddress);
}

// Takes what the observers asked for since the last pass; false once the peer stops.
bool TPeerServer::TakeRequests() {
    std::lock_guard lock(fLock);
    if (fStopping)
        return false;
    for (auto& link : fLinks) {
        link->Outbox += link->Queued;
        link->Queued.clear();
        link->Stalled = link->Stalled && !link->ResumeRequested;
        link->ResumeRequested = false;
        link->Closing = link->Closing || link->CloseRequested;
        link->Dropping = link->DropRequested;
    }
    return true;
}

void TPeerServer::Run() {
    std::vector<WSAPOLLFD> polls;
    while (TakeRequests()) {
        for (auto& link : fLinks)
            if (link->Dropping)
                End(*link, false, true);
        std::erase_if(fLinks, [](const std::shared_ptr<TLink>& link) {
            return link->Socket == INVALID_SOCKET;
        });
        polls.assign({{fWake, POLLRDNORM, 0}, {fListener, POLLRDNORM, 0}});
        for (auto& link : fLinks) {
            if (link->Closing && !link->ShutDown && link->Outbox.empty()) {
                shutdown(link->Socket, SD_SEND);
                link->ShutDown = true;
            }
            short events = 0;
            if (!link->Stalled && link->Outbox.size() < kMaxOutbox)
                events |= POLLRDNORM;
            if (!link->Outbox.empty() && !link->ShutDown)
                events |= POLLWRNORM;
            polls.push_back({link->Socket, events, 0});
        }
        if (WSAPoll(polls.data(), ULONG(polls.size()), -1) == SOCKET_ERROR)
            break;
        if (polls[0].revents) {
            char drain[16];
            while (recv(fWake, drain, sizeof drain, 0) > 0) {
            }
        }
        for (size_t i = 0; i + 2 < polls.size(); ++i)
            if (polls[i + 2].revents)
                Serve(*fLinks[i], polls[i + 2].revents);
        if (polls[1].revents)
            Accept();
    }
    for (auto& link : fLinks)
        End(*link, false, true);
    fLinks.clear();
}

void TPeerServer::Accept() {
    while (true) {
        SOCKET s = accept(fListener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return;
        SetNonBlocking(s);
        BOOL noDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        auto link = std::make_shared<TLink>();
        link->Socket = s;
        link->Stalled = fPeer.StallAfter == 0;
        fLinks.push_back(link);
        {
            std::lock_guard lock(fLock);
            ++fConnections;
            fLatest = link;
        }
        fChanged.notify_all();
        if (fPeer.DropAfter == 0)
            End(*link, false, true);
    }
}

void TPeerServer::Serve(TLink& link, short events) {
    if (events & POLLNVAL) {
        End(link, false, false);
        return;
    }
    if (events & (POLLRDNORM | POLLHUP | POLLERR)) {
        if (!link.Stalled && link.Outbox.size() < kMaxOutbox)
            Receive(link);
        else if (events & (POLLHUP | POLLERR))
            End(link, true, false);
    }
    if (link.Socket == INVALID_SOCKET || !(events & POLLWRNORM) || link.Outbox.empty())
        return;
    int sent = send(link.Socket, link.Outbox.data(), int(std::min(link.Outbox.size(), kChunk)), 0);
    if (sent > 0)
        link.Outbox.erase(0, size_t(sent));
    else if (WSAGetLastError() != WSAEWOULDBLOCK)
        End(link, true, false);
}

void TPeerServer::Receive(TLink& link) {
    long long want = kChunk;
    if (fPeer.DropAfter >= 0)
        want = std::min(want, fPeer.DropAfter - link.Count);
    if (fPeer.StallAfter > link.Count) // once resumed, a link stalls no more
        want = std::min(want, fPeer.StallAfter - link.Count);
    char buffer[kChunk];
    int got = recv(link.Socket, buffer, int(want), 0);
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
        return;
    if (got <= 0) {
        End(link, true, false);
        return;
    }
    std::string_view bytes(buffer, size_t(got));
    link.Count += got;
    {
        std::lock_guard lock(fLock);
        link.Received += bytes;
    }
    fChanged.notify_all();
    if (fPeer.Kind == TPeerKind::Echo)
        link.Outbox += bytes;
    else if (fPeer.Kind == TPeerKind::Modem)
        link.Outbox += link.Modem.Feed(bytes);
    if (link.Count == fPeer.DropAfter)
        End(link, false, true);
    else if (link.Count == fPeer.StallAfter)
        link.Stalled = true;
}

// Reset: the link is dropped (the client's next receive fails) instead of closed.
void TPeerServer::End(TLink& link, bool clientClosed, bool reset) {
    if (link.Socket == INVALID_SOCKET)
        return;
    if (reset) {
        linger abort{1, 0};
        setsockopt(link.Socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof abort);
    }
    closesocket(link.Socket);
    link.Socket = INVALID_SOCKET;
    {
        std::lock_guard lock(fLock);
        link.Ended = true;
        link.ClientClosed = link.ClientClosed || clientClosed;
    }
    fChanged.notify_all();
}

// A stopped peer changes no more: the wait ends at once.
template <class P> bool TPeerServer::WaitFor(DWORD timeoutMs, P condition) const {
    std::unique_lock lock(fLock);
    fChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return fStopping || condition(); });
    return condition();
}

int TPeerServer::Connections() const {
    std::lock_guard lock(fLock);
    return fConnections;
}

bool TPeerServer::WaitConnections(int Count, DWORD TimeoutMs) const {
    return WaitFor(TimeoutMs, [&] { return fConnections >= Count; });
}

std::string TPeerServer::Received() const {
    std::lock_guard lock(fLock);
    return fLatest ? fLatest->Received : std::string();
}

bool TPeerServer::WaitReceived(size_t Count, DWORD TimeoutMs) const {
    return WaitFor(TimeoutMs, [&] { return fLatest && fLatest->Received.size() >= Count; });
}

bool TPeerServer::Send(std::string_view Bytes) {
    std::lock_guard lock(fLock);
    if (fStopping || !fLatest || fLatest->Ended || fLatest->CloseRequested)
        return false;
    fLatest->Queued += Bytes;
    Wake();
    return true;
}

bool TPeerServer::Close() {
    std::lock_guard lock(fLock);
    if (fStopping || !fLatest || fLatest->Ended || fLatest->CloseRequested)
        return false;
    fLatest->CloseRequested = true;
    Wake();
    return true;
}

bool TPeerServer::Drop() {
    std::lock_guard lock(fLock);
    if (fStopping || !fLatest || fLatest->Ended)
        return false;
    fLatest->DropRequested = true;
    Wake();
    return true;
}

bool TPeerServer::Resume() {
    std::lock_guard lock(fLock);
    if (fStopping || !fLatest || fLatest->Ended)
        return false;
    fLatest->ResumeRequested = true;
    Wake();
    return true;
}

bool TPeerServer::ClientClosed() const {
    std::lock_guard lock(fLock);
    return fLatest && fLatest->ClientClosed;
}

bool TPeerServer::WaitClientClosed(DWORD TimeoutMs) const {
    return WaitFor(TimeoutMs, [&] { return fLatest && fLatest->ClientClosed; });
}

} // namespace kvsim
