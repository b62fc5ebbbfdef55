// kvterm: a terminal on a remote device's serial link. It connects to the device with
// the given address (one that the radios remember or are connected to), prints every
// received byte as it arrives, sends whatever standard input delivers, and ends on
// Ctrl+C or when the link ends. At the end of its input it goes on receiving.
//   kvterm ADDRESS [WORLD]    with a world file, on the simulated stack; else the system's
//
// Threads: the main thread owns the component; it connects, sends and closes, and keeps
// serving messages while it waits. OnReceived runs on the connection's reader thread
// (UseMainThread stays false) and only writes to standard output. OnDisconnect may run
// there too when the link drops, and the console runs the Ctrl+C handler on a thread of
// its own: both only set the stop event.
#include "components/kvbt.h"
#include "toolkit/application.h"

#include "example_support.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace {

HANDLE gStop; // Ctrl+C or the end of the link

BOOL WINAPI OnConsoleControl(DWORD Type) {
    if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(gStop);
    return TRUE;
}

// What standard input delivers, handed from the thread that reads it to the main thread.
class TInput {
public:
    TInput() : fReady(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    ~TInput() { CloseHandle(fReady); }
    TInput(const TInput&) = delete;
    TInput& operator=(const TInput&) = delete;

    HANDLE Ready() const { return fReady; }
    void Add(const char* Bytes, DWORD Count) {
        std::lock_guard<std::mutex> lock(fLock);
        fPending.append(Bytes, Count);
        SetEvent(fReady);
    }
    std::string Take() {
        std::lock_guard<std::mutex> lock(fLock);
        return std::exchange(fPending, {});
    }

private:
    HANDLE fReady;
    std::mutex fLock;
    std::string fPending;
};

// Reads standard input until it ends. The thread is never joined: it may sit in a read
// when the program ends, so it shares the input with the main thread.
void ReadInput(std::shared_ptr<TInput> Input) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[1024];
    DWORD count = 0;
    while (ReadFile(in, buffer, sizeof buffer, &count, nullptr) && count > 0)
        Input->Add(buffer, count);
}

struct TTerminal {
    void Received(TObject*, void* Buffer, std::uint32_t Count) {
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), Buffer, Count, &written, nullptr);
    }
    void Disconnected(TObject*) { SetEvent(gStop); }
};

} // namespace

int main() {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<String> arguments = Arguments();
    BLUETOOTH_ADDRESS address{};
    if (arguments.size() < 2 || arguments.size() > 3 || !TextToBtAddress(arguments[1], address)) {
        std::fprintf(stderr, "usage: kvterm ADDRESS [WORLD]   (ADDRESS like 00:1A:7D:DA:71:13)\n");
        return 2;
    }
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    TApplication application;
    try {
        TBluetoothStack stack(arguments.size() == 3 ? arguments[2] : String());
        TTerminal terminal;
        TkvBT bt(nullptr);
        bt.Update();
        int index = bt.IndexOfAddress(address);
        if (index < 0)
            throw std::runtime_error("no radio knows the device " +
                                     StringToUtf8(BtAddressToText(address)) +
                                     " (kvlist shows those it knows)");
        bt.SetDeviceIndex(index);
        bt.SetOnReceived(TOnReceived::Bind<&TTerminal::Received>(&terminal));
        bt.SetOnDisconnect(TNotifyEvent::Bind<&TTerminal::Disconnected>(&terminal));
        bt.SetActive(true); // throws, with the reason, when no connection can be made
        std::fprintf(stderr, "Connected to %s. Ctrl+C ends.\n",
                     StringToUtf8(bt.GetBTDevice(index)->NameFriendly).c_str());

        auto input = std::make_shared<TInput>();
        std::thread(ReadInput, input).detach();
        HANDLE waits[] = {gStop, input->Ready()};
        for (;;) {
            DWORD woken = MsgWaitForMultipleObjects(2, waits, FALSE, INFINITE, QS_ALLINPUT);
            if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED)
                break;
            application.ProcessMessages();
            if (std::string typed = input->Take(); !typed.empty())
                bt.SendString(typed);
        }
        bool linkEnded = !bt.GetActive();
        bt.SetActive(false);
        std::fprintf(stderr, linkEnded ? "The link has ended.\n" : "Closed.\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvterm: %s\n", e.what());
        return 1;
    }
    return 0;
}
