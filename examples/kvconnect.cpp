// kvconnect: connects to a remote device and prints every byte it receives as it
// arrives, until Ctrl+C or the end of the link. The device is named by its address or
// its name, as kvlist shows them; the connection writes its log to kvconnect.log in the
// current folder. (kvterm, the project's terminal, also sends and does much more.)
//   kvconnect DEVICE [WORLD]    with a world file, on the simulated stack; else the system's
//
// Threads: the main thread owns the component; it connects and closes, and serves
// messages while it waits. OnReceived runs on the connection's reader thread
// (UseMainThread stays false) and only writes to standard output. OnDisconnect may run
// there too when the link drops, and the console runs the Ctrl+C handler on a thread of
// its own: both only set the stop event.
#include "components/kvbt.h"
#include "components/kvlogfile.h"
#include "toolkit/application.h"

#include "example_support.h"

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

HANDLE gStop; // Ctrl+C or the end of the link

BOOL WINAPI OnConsoleControl(DWORD Type) {
    if (Type != CTRL_C_EVENT && Type != CTRL_BREAK_EVENT)
        return FALSE;
    SetEvent(gStop);
    return TRUE;
}

struct TPrinter {
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
    if (arguments.size() < 2 || arguments.size() > 3) {
        std::fprintf(stderr, "usage: kvconnect DEVICE [WORLD]   (DEVICE: an address or a name)\n");
        return 2;
    }
    gStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    TApplication application;
    try {
        TBluetoothStack stack(arguments.size() == 3 ? arguments[2] : String());
        TPrinter printer;
        TkvLogFile log(nullptr); // made before the component, so that it goes after it
        log.SetFileName(L"kvconnect.log");
        TkvBT bt(nullptr);
        bt.SetLog(&log);
        bt.Update(); // the devices that the radios remember or are connected to
        std::vector<int> found = bt.FindDevices(arguments[1]);
        if (found.size() != 1)
            throw std::runtime_error(
                (found.empty() ? "no device is named " : "several devices are named ") +
                StringToUtf8(arguments[1]) + " (kvlist shows them)");
        TkvBTDevice* device = bt.GetBTDevice(found[0]);
        bt.SetDeviceIndex(found[0]);
        bt.SetOnReceived(TOnReceived::Bind<&TPrinter::Received>(&printer));
        bt.SetOnDisconnect(TNotifyEvent::Bind<&TPrinter::Disconnected>(&printer));
        bt.SetActive(true); // throws, with the reason, when no connection can be made
        std::fprintf(stderr, "Connected to %s (%s). Ctrl+C ends.\n",
                     StringToUtf8(device->NameFriendly).c_str(),
                     StringToUtf8(BtAddressToText(device->Address)).c_str());
        while (MsgWaitForMultipleObjects(1, &gStop, FALSE, INFINITE, QS_ALLINPUT) ==
               WAIT_OBJECT_0 + 1)
            application.ProcessMessages();
        bool linkEnded = !bt.GetActive();
        bt.SetActive(false);
        std::fprintf(stderr, linkEnded ? "The link has ended.\n" : "Closed.\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvconnect: %s\n", e.what());
        return 1;
    }
    return 0;
}
