// Idle cost of an open connection: the process's CPU time over 10 s with no traffic, and
// with 64 KiB waiting unread while no receiver is attached. References measured in the
// same run: a bare socket waited on by a thread blocked in select, and a reader that
// leaves bytes unread by waiting on the socket again at once (it never sleeps).
#include "bench/bench_support.h"

#include "toolkit/application.h"

#include <atomic>
#include <thread>

using namespace kvbench;

namespace {

const DWORD kSpanMs = 10000;
const size_t kPending = 64 * 1024;

// Lets the main thread idle as in a message loop for Ms, and gives the process's CPU
// time meanwhile.
double CpuWhileIdle(DWORD Ms) {
    double cpu = ProcessCpuMs();
    ULONGLONG end = GetTickCount64() + Ms;
    for (ULONGLONG now; (now = GetTickCount64()) < end;)
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now),
                                      QS_ALLINPUT) == WAIT_OBJECT_0)
            PumpOnce();
    return ProcessCpuMs() - cpu;
}

// A bare socket whose reader thread waits in select with no timeout, as long as Ms.
double BareIdle(TBenchPeer& peer, bool pending, DWORD Ms) {
    SOCKET s = ConnectBare(kBenchPeerDevice);
    SOCKET link = peer.Accept();
    if (pending)
        SendAll(link, std::string(kPending, 'x').data(), kPending);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tick{0, 100000};
            if (select(0, &set, nullptr, nullptr, pending ? &tick : nullptr) == SOCKET_ERROR)
                return;
            u_long n = 0;
            if (ioctlsocket(s, FIONREAD, &n) != 0 || n == 0)
                return; // closed
        }
    });
    Sleep(500);
    double cpu = CpuWhileIdle(Ms);
    stop = true;
    shutdown(link, SD_BOTH); // ends the reader's wait
    reader.join();
    closesocket(s);
    closesocket(link);
    return cpu;
}

struct TSink {
    void Received(TObject*, void*, std::uint32_t) {}
};

} // namespace

int main() {
    TApplication app;
    TBenchRun run;
    std::vector<TRow> rows;

    double bareIdle = BareIdle(run.Peer(), false, kSpanMs);
    double bareSpin = BareIdle(run.Peer(), true, kSpanMs);

    TkvBT bt(nullptr);
    if (!SelectDevice(bt, kBenchPeerDevice))
        return 1;
    TSink sink;
    bt.SetOnReceived(TOnReceived::Bind<&TSink::Received>(&sink));
    bt.SetActive(true);
    SOCKET link = run.Peer().Accept();
    Sleep(500);
    double idle = CpuWhileIdle(kSpanMs);
    rows.push_back({"open, no traffic (CPU ms in 10 s)", idle, bareIdle, "< 50 ms", idle < 50,
                    "reference: a bare socket's reader blocked in select without a timeout"});

    bt.SetOnReceived(nullptr);
    SendAll(link, std::string(kPending, 'x').data(), kPending);
    PumpUntil([&] { return bt.ReadyForRead() >= kPending; }, 10000);
    double pending = CpuWhileIdle(kSpanMs) / kSpanMs * 100;
    bool stillPending = bt.ReadyForRead() >= kPending;
    rows.push_back(
        {"64 KiB unread, no receiver (% core)", pending, bareSpin / kSpanMs * 100, "< 5 %",
         pending < 5 && stillPending,
         std::string(
             "reference: a reader that waits again at once while bytes stay unread; the bytes ") +
             (stillPending ? "stayed pending" : "did NOT stay pending")});
    bt.SetActive(false);
    closesocket(link);
    PrintTable("Target 2: idle cost of an open connection", "as named per row", rows);
    return 0;
}
