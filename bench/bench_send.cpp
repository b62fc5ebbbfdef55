// Send: SendData of 1 MiB to a peer that reads slowly (16 KiB every 10 ms) arrives
// whole; 16 MiB to a peer that reads at once, against a bare blocking send loop of the
// same bytes on the same simulated link; and the window's worst posted-message delay
// while 16 MiB go to a peer that starts reading after 2 s.
#include "bench/bench_support.h"

#include "toolkit/application.h"

#include <algorithm>
#include <atomic>
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
        DoneAt = ClockMs();
    }
};

struct TResult {
    double Ms = 0;
    bool Whole = false;
    double WorstPokeMs = 0; // the window's worst posted-message delay meanwhile
};

// A window that another thread pokes every 10 ms; it keeps the longest delay of a poke.
class TPokes {
public:
    TPokes() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = &TPokes::Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"BenchPokes";
        RegisterClassW(&wc);
        fWindow = CreateWindowW(L"BenchPokes", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
        fPoker = std::thread([this] {
            while (!fStop) {
                PostMessageW(fWindow, WM_APP, 0, static_cast<LPARAM>(ClockMs() * 1000));
                Sleep(10);
            }
        });
    }
    ~TPokes() {
        fStop = true;
        fPoker.join();
        DestroyWindow(fWindow);
    }
    static double Worst() { return gWorst; }
    static void Reset() { gWorst = 0; }

private:
    static LRESULT CALLBACK Proc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
        if (Msg == WM_APP)
            gWorst = std::max(gWorst, ClockMs() - static_cast<double>(LParam) / 1000);
        return DefWindowProcW(Window, Msg, WParam, LParam);
    }
    static inline double gWorst = 0;
    HWND fWindow;
    std::thread fPoker;
    std::atomic<bool> fStop{false};
};

// A peer that reads everything as fast as it comes, after a pause; hash and count.
struct TFastReader {
    THash Hash;
    size_t Count = 0;
    double DoneAt = 0;
    void Run(SOCKET link, size_t Size, DWORD PauseMs) {
        Sleep(PauseMs);
        std::vector<char> chunk(256 * 1024);
        while (Count < Size) {
            int got = recv(link, chunk.data(), static_cast<int>(chunk.size()), 0);
            if (got <= 0)
                break;
            Hash.Add(chunk.data(), static_cast<size_t>(got));
            Count += static_cast<size_t>(got);
        }
        DoneAt = ClockMs();
    }
};

TResult MeasureLarge(TBenchPeer& peer, const std::vector<std::uint8_t>& data, bool component,
                     DWORD PauseMs) {
    THash expected;
    expected.Add(data.data(), data.size());
    TSendingEnd end(peer, component);
    if (end.Link == INVALID_SOCKET)
        return {};
    TFastReader reader;
    std::thread fast([&] { reader.Run(end.Link, data.size(), PauseMs); });
    TPokes::Reset();
    double start = ClockMs();
    end.Send(data.data(), data.size());
    const double worst = TPokes::Worst();
    while (reader.DoneAt == 0)
        PumpOnce();
    fast.join();
    return {reader.DoneAt - start,
            reader.Count == data.size() && reader.Hash.Value() == expected.Value(), worst};
}

TResult Measure(TBenchPeer& peer, const std::vector<std::uint8_t>& data, bool component) {
    THash expected;
    expected.Add(data.data(), data.size());
    TSendingEnd end(peer, component);
    if (end.Link == INVALID_SOCKET)
        return {};
    TSlowReader reader;
    std::thread slow([&] { reader.Run(end.Link); });
    double start = ClockMs();
    end.Send(data.data(), data.size());
    slow.join();
    return {reader.DoneAt - start,
            reader.Count == data.size() && reader.Hash.Value() == expected.Value()};
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

    std::vector<std::uint8_t> large(16 << 20);
    for (auto& b : large)
        b = static_cast<std::uint8_t>(random());
    TPokes pokes;
    TResult bareLarge = MeasureLarge(run.Peer(), large, false, 0);
    TResult oursLarge = MeasureLarge(run.Peer(), large, true, 0);
    TResult late = MeasureLarge(run.Peer(), large, true, 2000);
    PrintTable("SendData of 16 MiB", "ms until the last byte arrived",
               {{"to a peer that reads at once", oursLarge.Ms, bareLarge.Ms,
                 ">= 0.9 of the bare loop's rate",
                 oursLarge.Whole && bareLarge.Whole && bareLarge.Ms / oursLarge.Ms >= 0.9,
                 std::string(oursLarge.Whole ? "whole" : "NOT whole") + "; reference: a bare "
                                                                        "blocking send loop"},
                {"to a peer that reads after 2 s", late.Ms, 0, "", late.Whole,
                 late.Whole ? "whole" : "NOT whole"}});
    PrintTable(
        "The window while SendData of 16 MiB waits for a peer that reads after 2 s",
        "ms, worst posted-message delay",
        {{"posted every 10 ms", late.WorstPokeMs, bareLarge.WorstPokeMs, "<= 100 ms",
          late.WorstPokeMs <= 100, "reference: the bare blocking send loop on the same thread"}});
    return 0;
}
