#pragma once
// TPeerServer: the far end of one service's RFCOMM links, for the built-in peers (echo,
// modem, silent) with their link faults (drop after N bytes, stall after N bytes).
//
// It listens on 127.0.0.1 and serves every link accepted there on a thread of its own;
// connect() of the simulated stack reaches it on Port(). A test observes and scripts the
// latest link from any thread: what arrived, sending, closing, and whether the client
// closed. All of it is safe after Stop (the calls then report nothing, or false).
//
// The Wait calls block the calling thread without pumping messages; a thread that must
// keep pumping (a component test's main thread) polls the plain accessors instead.

#include "sim/sim_world.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kvsim {

class TPeerServer {
public:
    // Listens and starts the thread; throws std::runtime_error when it cannot listen.
    explicit TPeerServer(const TPeer& Peer);
    // Stops.
    ~TPeerServer();
    TPeerServer(const TPeerServer&) = delete;
    TPeerServer& operator=(const TPeerServer&) = delete;

    // Ends the thread and closes the listener and every link (each is reset).
    void Stop();
    unsigned short Port() const { return fPort; }

    // Links accepted so far.
    int Connections() const;
    bool WaitConnections(int Count, DWORD TimeoutMs) const;
    // Every byte the latest link has received, in order.
    std::string Received() const;
    bool WaitReceived(size_t Count, DWORD TimeoutMs) const;
    // Queues bytes (any amount) to the client on the latest link; false without an open link.
    bool Send(std::string_view Bytes);
    // Closes the latest link from the peer side once the queued bytes are out: the
    // client reads the end of the stream. False without an open link.
    bool Close();
    // Drops the latest link now: its socket is closed with a reset, whatever is pending
    // either way is lost. (Wine's socket layer ends the stream gracefully instead, so
    // there the client reads the end of the stream.) False without an open link.
    bool Drop();
    // A stalled latest link reads again. False without an open link.
    bool Resume();
    // The client has closed (or reset) the latest link. A stalled link notices only when
    // it reads again.
    bool ClientClosed() const;
    bool WaitClientClosed(DWORD TimeoutMs) const;

private:
    struct TLink;

    bool TakeRequests();
    void Run();
    void Accept();
    void Serve(TLink& link, short events);
    void Receive(TLink& link);
    void End(TLink& link, bool clientClosed, bool reset);
    void Wake();
    template <class P> bool WaitFor(DWORD timeoutMs, P condition) const;

    const TPeer fPeer;
    SOCKET fListener = INVALID_SOCKET;
    SOCKET fWake = INVALID_SOCKET; // a datagram to it wakes the thread
    sockaddr_in fWakeAddress{};
    unsigned short fPort = 0;
    std::thread fThread;
    std::vector<std::shared_ptr<TLink>> fLinks; // the thread's own: the links it serves

    // Shared with the observers, under fLock (which is never held in a blocking call).
    mutable std::mutex fLock;
    mutable std::condition_variable fChanged;
    bool fStopping = false;
    int fConnections = 0;
    std::shared_ptr<TLink> fLatest;
};

} // namespace kvsim
