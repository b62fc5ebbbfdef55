// The demo program: the form, its message loop, and an orderly end. Built twice: with
// the system's Bluetooth stack (kvbtdemo.exe), and with the simulated stack
// (kvbtdemo-sim.exe, KV_SIMULATED_STACK), which reads its world from the file named by
// its one optional argument, or takes the built-in default world.
#include "components/kvbtw32.h"
#include "components/kvwin32.h"
#include "demo/Unit1.h"
#include "toolkit/application.h"

#ifdef KV_SIMULATED_STACK
#include "sim/sim.h"
#include "sim/sim_worldfile.h"

#include <shellapi.h>
#endif

namespace {

#ifdef KV_SIMULATED_STACK
// Installs the world of the argument's file, or the default world; false after an error box.
bool InstallSimulatedStack(TApplication& app) {
    try {
        int argc = 0;
        wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
        String path = argv && argc > 1 ? argv[1] : L"";
        LocalFree(argv);
        kvsim::Install(path.empty() ? kvsim::DefaultWorld() : kvsim::LoadWorldFile(path));
        return true;
    } catch (const std::exception& e) {
        app.ShowMessageBox(L"The simulated world cannot be used: " + Utf8ToString(e.what()),
                           app.Title(), MB_OK | MB_ICONERROR);
        return false;
    }
}
#endif

} // namespace

int main() {
    KvWin32Startup();
    int exitCode = 0;
    {
        TApplication app;
#ifdef KV_SIMULATED_STACK
        if (!InstallSimulatedStack(app))
            return 1;
#endif
        try {
            RegisterKvBtClasses();
            RegisterKvCommBoxClasses();
            TForm1* form = new TForm1(nullptr);
            form->Show();
            app.Run();
            delete form;
        } catch (const std::exception& e) {
            app.HandleException(e);
            exitCode = 1;
        }
#ifdef KV_SIMULATED_STACK
        kvsim::Uninstall();
#endif
    }
    UnloadBtApis();
    return exitCode;
}
