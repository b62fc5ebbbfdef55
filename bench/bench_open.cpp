// The window while TkvBT opens a slow device (its lookup and its connect take 2 s each):
// messages posted to a window every 10 ms, each timed from its post to its handling.
// Reference: the same lookup and connect made on the main thread itself, as a blocking
// open would.
#include "bench/bench_support.h"

#include "toolkit/application.h"

#include <atomic>
#include <mutex>
#include <thread>

using namespace kvbench;

namespace {

const BTH_ADDR kSlowDevice = 0x00BE0C000003;
const UINT WM_BENCH_PROBE = WM_APP + 79;

// A window that times the probes posted to it.
class TProbes {
public:
    TProbes() {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &TProbes::Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TBenchProbes";
        RegisterClassExW(&wc);
        fWindow = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
        SetWindowLongPtrW(fWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~TProbes() { DestroyWindow(fWindow); }

    // Posts a probe every 10 ms from another thread while Work runs on this one.
    template <class W> void During(W Work) {
        std::atomic<bool> stop{false};
        std::thread poster([&] {
            while (!stop) {
                WPARAM probe;
                {
                    std::lock_guard<std::mutex> lock(fLock);
                    probe = fPosted.size();
                    fPosted.push_back(ClockMs());
                }
                PostMessageW(fWindow, WM_BENCH_PROBE, probe, 0);
                Sleep(10);
            }
        });
        Work();
        stop = true;
        poster.join();
        MSG msg; // the probes posted last, handled now, count too
        while (PeekMessageW(&msg, fWindow, WM_BENCH_PROBE, WM_BENCH_PROBE, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    std::vector<double> TakeDelays() {
        std::lock_guard<std::mutex> lock(fLock);
        fPosted.clear();
        return std::exchange(fDelays, {});
    }

private:
    static LRESULT CALLBACK Proc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
        auto* self = reinterpret_cast<TProbes*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
        if (self && Msg == WM_BENCH_PROBE) {
            std::lock_guard<std::mutex> lock(self->fLock);
            self->fDelays.push_back(ClockMs() - self->fPosted.at(WParam));
            return 0;
        }
        return DefWindowProcW(Window, Msg, WParam, LParam);
    }
    HWND fWindow;
    std::mutex fLock;
    std::vector<double> fPosted, fDelays;
};

} // namespace

int main() {
    TApplication app;
    TBenchRun run;
    kvsim::TWorld world = BenchWorld(run.Peer().Port());
    kvsim::TPeer slowPeer;
    slowPeer.ConnectDelayMs = 2000;
    world.Devices.push_back(SerialDevice(L"Bench Slow", kSlowDevice, slowPeer));
    world.Devices.back().LookupDelayMs = 111; // 18 lookup begins: 2 s
    kvsim::Install(world);
    TProbes probes;

    bool opened = false;
    probes.During([&] {
        TkvBT bt(nullptr);
        if (!SelectDevice(bt, kSlowDevice))
            return;
        bt.SetActive(true);
        opened = bt.GetActive();
    });
    const std::vector<double> ours = probes.TakeDelays();

    // The reference: the open's platform calls made on the main thread.
    probes.During([&] {
        WSADATA data; // as a component starts Winsock, for the lookup and the socket
        kvSocketApi.WSAStartup(MAKEWORD(2, 2), &data);
        BLUETOOTH_ADDRESS address;
        address.ullLong = kSlowDevice;
        LookupServices(address);
        SOCKET s = kvSocketApi.socket(AF_BTH, SOCK_STREAM, BTHPROTO_RFCOMM);
        SOCKADDR_BTH to{};
        to.addressFamily = AF_BTH;
        to.btAddr = kSlowDevice;
        to.serviceClassId = kvsim::ServiceClass16(kSerialPort);
        kvSocketApi.connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        kvSocketApi.closesocket(s);
        kvSocketApi.WSACleanup();
    });
    const std::vector<double> blocking = probes.TakeDelays();

    const double worst = Percentile(ours, 100);
    const std::string note = std::to_string(ours.size()) + " probes during an open of " +
                             (opened ? "about 4 s" : "a device that did NOT connect");
    PrintTable("The window during an open of a slow device (2 s lookup, 2 s connect)", "ms",
               {{"worst delay of a posted message", worst, Percentile(blocking, 100), "<= 100 ms",
                 opened && worst <= 100, note},
                {"median delay", Percentile(ours, 50), Percentile(blocking, 50), "-", opened, ""}});
    return 0;
}
