// kvlist: lists the local Bluetooth radios and the remote devices that they remember or
// are connected to, as TkvBT finds them. No window, no message loop.
//   kvlist [WORLD]    with a world file, on the simulated stack; else on the system's
#include "components/kvbt.h"
#include "toolkit/application.h"

#include "example_support.h"

#include <cstdio>
#include <exception>

int main() {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<String> arguments = Arguments();
    if (arguments.size() > 2) {
        std::fprintf(stderr, "usage: kvlist [WORLD]\n");
        return 2;
    }
    TApplication application;
    try {
        TBluetoothStack stack(arguments.size() == 2 ? arguments[1] : String());
        TkvBT bt(nullptr); // its default search: remembered and connected devices, every radio
        bt.Update();
        std::printf("%d radios\n", bt.RadioCount());
        for (int i = 0; i < bt.RadioCount(); ++i) {
            TkvBTRadio* radio = bt.GetRadio(i);
            std::printf("  %d  %s  %s\n", i, StringToUtf8(BtAddressToText(radio->Address)).c_str(),
                        StringToUtf8(radio->NameFriendly).c_str());
        }
        std::printf("%d devices\n", bt.DeviceCount());
        for (int i = 0; i < bt.DeviceCount(); ++i) {
            TkvBTDevice* device = bt.GetBTDevice(i);
            std::printf("  %d  %s  %s  (radio %d, class 0x%06lX%s%s%s)\n", i,
                        StringToUtf8(BtAddressToText(device->Address)).c_str(),
                        StringToUtf8(device->NameFriendly).c_str(), device->IndexRadio,
                        device->btInfo.ulClassofDevice,
                        device->btInfo.fAuthenticated ? ", authenticated" : "",
                        device->btInfo.fRemembered ? ", remembered" : "",
                        device->btInfo.fConnected ? ", connected" : "");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvlist: %s\n", e.what());
        return 1;
    }
    return 0;
}
