// kvterm: a command-line Bluetooth terminal (kvterm --help, README "kvterm").
#include "kvterm/console.h"
#include "kvterm/devices.h"
#include "kvterm/options.h"
#include "kvterm/session.h"

#include "components/kvbtw32.h"
#include "sim/sim.h"
#include "sim/sim_worldfile.h"
#include "toolkit/application.h"

#include <cstdio>
#include <exception>
#include <vector>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace {

// The arguments after the program's name, as UTF-16.
std::vector<String> Arguments() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<String> arguments;
    for (int i = 1; argv && i < argc; ++i)
        arguments.push_back(argv[i]);
    LocalFree(argv);
    return arguments;
}

// The Bluetooth stack of a command: the simulated one with the world of the file, else
// the system's.
class TBluetoothStack {
public:
    explicit TBluetoothStack(const String& WorldFile) {
        if (WorldFile.empty())
            return;
        try {
            kvsim::Install(kvsim::LoadWorldFile(WorldFile));
        } catch (const std::exception& e) {
            throw EExit(ecUsage, "world file " + StringToUtf8(WorldFile) + ": " + e.what());
        }
    }
    ~TBluetoothStack() {
        kvsim::Uninstall(); // nothing when no world was installed
        UnloadBtApis();
    }
    TBluetoothStack(const TBluetoothStack&) = delete;
    TBluetoothStack& operator=(const TBluetoothStack&) = delete;
};

// Tells why the program ends, with the usage when the command line was at fault.
int Report(const EExit& e) {
    std::fprintf(stderr, "kvterm: %s\n%s%s", e.what(), e.ShowUsage ? "\n" : "",
                 e.ShowUsage ? kUsage : "");
    return e.Code;
}

int Run(const TOptions& Options) {
    TApplication application;
    try {
        TBluetoothStack stack(Options.World);
        switch (Options.Command) {
        case TCommand::List:
            return ListCommand(Options);
        case TCommand::Services:
            return ServicesCommand(Options);
        case TCommand::Connect:
            return ConnectCommand(Options);
        case TCommand::Help:
            break;
        }
        return ecDone;
    } catch (const EExit& e) {
        return Report(e);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvterm: %s\n", e.what());
        return ecNoConnection;
    }
}

} // namespace

int main() {
    // The data goes through byte for byte; the program's own lines end in CR LF.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    PrepareConsole();
    TOptions options;
    int code;
    try {
        options = ParseCommandLine(Arguments());
        if (options.Command == TCommand::Help)
            std::fputs(kUsage, stdout);
        code = options.Command == TCommand::Help ? ecDone : Run(options);
    } catch (const EExit& e) {
        code = Report(e);
    }
    RestoreConsole();
    return code;
}
