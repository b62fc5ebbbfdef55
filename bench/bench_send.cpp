// Send: SendData of 1 MiB to a peer that reads slowly (16 KiB every 10 ms) arrives
// whole. Reference: a bare blocking send of the same bytes on the same simulated link.
#include "bench/bench_support.h"

#include "toolkit/application.h"

#include <random>
#include <thread>

using namespace kvbench;

namespace {

const size_t kSize = 1 << 20;

// The slow reader: every byte until the link ends or kSize arrived; hash and count.
struct TSlowReader {
    THash Hash;
    size_t Count = 0;
    double DoneAt = 0;
    void Run(SOCKET link) {
        std::vector<char> chunk(16 * 1024);
        while (Count < kSize) {
            int got = recv(link, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (got <= 0)
                break;
            Hash.Add(chunk.data(), static_cast<size_t>(got));
            Count += static_cast<size_t>(got);
            Sleep(10);
        }
        DoneAt = NowMs();
    }
};

struct TResult {
    double Ms = 0;
    bool Whole = false;
};

TResult Measure(TBenchPeer& peer, const std::vector<std::uint8_t>& data, bool component) {
    THash expected;
    expected.Add(data.data(), data.size());
    TkvBT bt(nullptr);
    SOCKET bare = INVALID_SOCKET;
    if (component) {
        if (!SelectDevice(bt, kBenchPeerDevice))
            return {};
        bt.SetActive(true);
    } else {
        bare = ConnectBare(kBenchPeerDevice);
    }
    SOCKET link = peer.Accept();
    TSlowReader reader;
    std::thread slow([&] { reader.Run(link); });
    double start = NowMs();
    if (component)
        bt.SendData(data.data(), static_cast<std::uint32_t>(data.size()));
    else
        SendAll(bare, reinterpret_cast<const char*>(data.data()), data.size());
    slow.join();
    TResult result{reader.DoneAt - start,
                   reader.Count == data.size() && reader.Hash.Value() == expected.Value()};
    bt.SetActive(false);
    if (bare != INVALID_SOCKET)
        closesocket(bare);
    closesocket(link);
    return result;
}

} // namespace

int main() {
    TApplication app;
    TBenchRun run;
    std::vector<std::uint8_t> data(kSize);
    std::mt19937 random(7);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(random());
    TResult bare = Measure(run.Peer(), data, false);
    TResult ours = Measure(run.Peer(), data, true);
    PrintTable("Target 5: SendData of 1 MiB to a slow reader", "ms until the last byte arrived",
               {{"SendData, non-blocking socket", ours.Ms, bare.Ms, "arrives whole",
                 ours.Whole && bare.Whole,
                 std::string("every byte ") +
                     (ours.Whole ? "arrived in order (hash equal)" : "did NOT arrive") +
                     "; the reader takes 16 KiB every 10 ms"}});
    return 0;
}
