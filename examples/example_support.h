#pragma once
// What both examples need around the library: their arguments and the choice of the
// Bluetooth stack.

#include "components/kvbtw32.h"
#include "sim/sim.h"
#include "sim/sim_worldfile.h"
#include "toolkit/text.h"

#include <string>
#include <vector>

#include <shellapi.h>

// The program's arguments as UTF-16, the program's name first.
inline std::vector<String> Arguments() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<String> arguments(argv, argv + (argv ? argc : 0));
    LocalFree(argv);
    return arguments;
}

// The Bluetooth stack of the program's lifetime: the simulated one with the world of a
// world file, else the system's. Make it before any component and let it go after them.
class TBluetoothStack {
public:
    explicit TBluetoothStack(const String& WorldFile) {
        if (!WorldFile.empty())
            kvsim::Install(kvsim::LoadWorldFile(WorldFile)); // throws with the line at fault
    }
    ~TBluetoothStack() {
        kvsim::Uninstall(); // nothing when no world was installed
        UnloadBtApis();
    }
    TBluetoothStack(const TBluetoothStack&) = delete;
    TBluetoothStack& operator=(const TBluetoothStack&) = delete;
};
