// Receive throughput: TkvBT with an OnReceived handler that counts and hashes, against a
// bare recv loop on the same simulated link, for four peer write sizes. Every byte is
// checked by its hash.
#include "bench/bench_support.h"

#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

using namespace kvbench;

namespace {

const size_t kPatternSize = 1 << 20;
const double kTargetMBps = 2.72; // ten times the fastest link's 272 KB/s
const int kRepeats = 5;

struct TStream {
    size_t WriteSize;
    size_t Total;
};
// Totals sized so that each run takes seconds: small writes cost the peer one system call each.
const TStream kStreams[] = {{1, 32 * 1024}, {127, 2 << 20}, {1021, 16 << 20}, {65536, 128 << 20}};

const std::vector<char>& Pattern() {
    static const std::vector<char> pattern = [] {
        std::vector<char> p(kPatternSize);
        std::mt19937 random(2024);
        for (char& c : p)
            c = static_cast<char>(random());
        return p;
    }();
    return pattern;
}

std::uint64_t ExpectedHash(size_t total) {
    THash h;
    for (size_t offset = 0; offset < total; offset += kPatternSize)
        h.Add(Pattern().data(), std::min(kPatternSize, total - offset));
    return h.Value();
}

// The peer: the stream in sends of WriteSize bytes.
void Write(SOCKET link, TStream stream) {
    for (size_t offset = 0; offset < stream.Total;) {
        size_t at = offset % kPatternSize;
        size_t n = std::min({stream.WriteSize, stream.Total - offset, kPatternSize - at});
        if (!SendAll(link, Pattern().data() + at, n))
            return;
        offset += n;
    }
}

struct TResult {
    double MBps = 0;
    bool Intact = false;
};

struct TCounter {
    size_t Total = 0;
    size_t Count = 0; // the reader thread's own
    THash Hash;
    HANDLE Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~TCounter() { CloseHandle(Done); }
    void Received(TObject*, void* buffer, std::uint32_t n) {
        Hash.Add(buffer, n);
        Count += n;
        if (Count >= Total)
            SetEvent(Done);
    }
};

TResult Component(TBenchPeer& peer, TStream stream) {
    TkvBT bt(nullptr);
    if (!SelectDevice(bt, kBenchPeerDevice))
        return {};
    TCounter counter;
    counter.Total = stream.Total;
    bt.SetOnReceived(TOnReceived::Bind<&TCounter::Received>(&counter));
    bt.SetActive(true);
    SOCKET link = peer.Accept();
    double start = ClockMs();
    std::thread writer(Write, link, stream);
    bool done = MainThreadWait(counter.Done, 300000);
    double ms = ClockMs() - start;
    writer.join();
    bt.SetActive(false);
    closesocket(link);
    return {static_cast<double>(stream.Total) / ms / 1000.0,
            done && counter.Count == stream.Total &&
                counter.Hash.Value() == ExpectedHash(stream.Total)};
}

TResult Bare(TBenchPeer& peer, TStream stream) {
    SOCKET s = ConnectBare(kBenchPeerDevice);
    SOCKET link = peer.Accept();
    if (s == INVALID_SOCKET || link == INVALID_SOCKET)
        return {};
    // The same buffer as TkvBT's after its open: the socket's receive buffer size.
    int size = 8192, length = sizeof size;
    getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), &length);
    std::vector<char> buffer(static_cast<size_t>(std::max(size, 1)));
    THash hash;
    size_t count = 0;
    double start = ClockMs();
    std::thread writer(Write, link, stream);
    while (count < stream.Total) {
        int got = recv(s, buffer.data(), static_cast<int>(buffer.size()), 0);
        if (got <= 0)
            break;
        hash.Add(buffer.data(), static_cast<size_t>(got));
        count += static_cast<size_t>(got);
    }
    double ms = ClockMs() - start;
    writer.join();
    closesocket(s);
    closesocket(link);
    return {static_cast<double>(stream.Total) / ms / 1000.0,
            count == stream.Total && hash.Value() == ExpectedHash(stream.Total)};
}

double Median(std::vector<double> v) {
    return Percentile(std::move(v), 50);
}

} // namespace

// bench_receive [WRITE-SIZE...]: every write size of the table, or only those given.
int main(int argc, char** argv) {
    TApplication app;
    TBenchRun run;
    std::vector<TRow> rows;
    for (const TStream& stream : kStreams) {
        bool wanted = argc == 1;
        for (int i = 1; i < argc; ++i)
            wanted = wanted || std::strtoul(argv[i], nullptr, 10) == stream.WriteSize;
        if (!wanted)
            continue;
        std::vector<double> ours, bare;
        bool intact = true;
        for (int i = 0; i < kRepeats; ++i) {
            TResult b = Bare(run.Peer(), stream);
            TResult o = Component(run.Peer(), stream);
            bare.push_back(b.MBps);
            ours.push_back(o.MBps);
            intact = intact && b.Intact && o.Intact;
        }
        TRow row;
        row.Case = "peer writes of " + std::to_string(stream.WriteSize) + " B";
        row.Ours = Median(ours);
        row.Reference = Median(bare);
        row.Target = ">= 0.9 x ref, >= 2.72";
        row.Met = intact && row.Ours >= 0.9 * row.Reference && row.Ours >= kTargetMBps;
        row.Note = std::to_string(stream.Total) + " bytes x " + std::to_string(kRepeats) +
                   " runs each, median; every byte " +
                   (intact ? "arrived in order (hash equal)" : "NOT intact");
        rows.push_back(row);
    }
    PrintTable("Target 1: receive throughput, TkvBT vs a bare recv loop", "MB/s, 1 MB = 10^6 bytes",
               rows);
    return 0;
}
