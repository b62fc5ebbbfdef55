// Latency: 1,000 one-byte pings from the peer, each timed from the peer's send to the
// OnReceived handler, with the dispatch on the reader thread and with UseMainThread;
// and 1,000 SendChar calls, each timed to the peer's receipt of its byte. References: a
// bare recv loop on a thread of its own, and a bare send, on the same simulated link.
#include "bench/bench_support.h"

#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <thread>

using namespace kvbench;

namespace {

const int kPings = 1000;

// Where a ping arrived and when.
struct TArrival {
    HANDLE Event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    double At = 0;
    ~TArrival() { CloseHandle(Event); }
    void Received(TObject*, void*, std::uint32_t) {
        At = ClockMs();
        SetEvent(Event);
    }
};

// The peer side: kPings pings on Link, each awaited at Arrival; the delays in ms.
std::vector<double> Ping(SOCKET Link, TArrival& Arrival) {
    std::vector<double> delays;
    for (int i = 0; i < kPings; ++i) {
        double sent = ClockMs();
        if (send(Link, "p", 1, 0) != 1 || WaitForSingleObject(Arrival.Event, 5000) != WAIT_OBJECT_0)
            break;
        delays.push_back(Arrival.At - sent);
    }
    return delays;
}

std::vector<double> Component(TBenchPeer& peer, bool useMainThread) {
    TkvBT bt(nullptr);
    if (!SelectDevice(bt, kBenchPeerDevice))
        return {};
    TArrival arrival;
    bt.SetUseMainThread(useMainThread);
    bt.SetOnReceived(TOnReceived::Bind<&TArrival::Received>(&arrival));
    bt.SetActive(true);
    SOCKET link = peer.Accept();
    std::vector<double> delays;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread pinger([&] {
        delays = Ping(link, arrival);
        SetEvent(done);
    });
    MainThreadWait(done); // runs the dispatch that UseMainThread hands to this thread
    pinger.join();
    CloseHandle(done);
    bt.SetActive(false);
    closesocket(link);
    return delays;
}

std::vector<double> Bare(TBenchPeer& peer) {
    SOCKET s = ConnectBare(kBenchPeerDevice);
    SOCKET link = peer.Accept();
    TArrival arrival;
    std::thread reader([&] {
        char byte;
        while (recv(s, &byte, 1, 0) == 1)
            arrival.Received(nullptr, nullptr, 1);
    });
    std::vector<double> delays = Ping(link, arrival);
    closesocket(link);
    reader.join();
    closesocket(s);
    return delays;
}

// 1,000 single bytes, each timed from its send to the peer's receipt (the peer answers
// nothing); SendChar, or a bare send on the same kind of link.
std::vector<double> SendChars(TBenchPeer& peer, bool component) {
    TSendingEnd end(peer, component);
    if (end.Link == INVALID_SOCKET)
        return {};
    std::vector<double> delays;
    for (int i = 0; i < kPings; ++i) {
        const double sent = ClockMs();
        if (component)
            end.Bt.SendChar(L'c');
        else
            end.Send("c", 1);
        char byte;
        if (recv(end.Link, &byte, 1, 0) != 1)
            break;
        delays.push_back(ClockMs() - sent);
    }
    return delays;
}

} // namespace

int main() {
    TApplication app;
    TBenchRun run;
    std::vector<double> bare = Bare(run.Peer());
    std::vector<TRow> rows;
    for (bool useMainThread : {false, true}) {
        std::vector<double> ours = Component(run.Peer(), useMainThread);
        std::string where = useMainThread ? "UseMainThread" : "reader thread";
        std::string count =
            std::to_string(ours.size()) + " of " + std::to_string(kPings) + " pings arrived";
        bool all = ours.size() == static_cast<size_t>(kPings);
        double median = Percentile(ours, 50), p99 = Percentile(ours, 99);
        rows.push_back({where + ": median", median, Percentile(bare, 50), "<= 2 ms",
                        all && median <= 2, count});
        rows.push_back({where + ": 99th percentile", p99, Percentile(bare, 99), "<= 20 ms",
                        all && p99 <= 20, ""});
    }
    PrintTable("Target 3: latency of a one-byte ping to OnReceived", "ms", rows);
    std::vector<double> ours = SendChars(run.Peer(), true),
                        reference = SendChars(run.Peer(), false);
    PrintTable(
        "SendChar to the peer's receipt", "ms",
        {{"median", Percentile(ours, 50), Percentile(reference, 50), "<= 1 ms",
          ours.size() == static_cast<size_t>(kPings) && Percentile(ours, 50) <= 1,
          std::to_string(ours.size()) + " of " + std::to_string(kPings) +
              " bytes arrived; queued, then sent by the connection's writer"},
         {"99th percentile", Percentile(ours, 99), Percentile(reference, 99), "", true, ""}});
    return 0;
}
