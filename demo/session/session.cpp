// kvbtdemo-session: plays a short session with the demo on the simulated stack, through
// its real window as a user would, and keeps a screenshot of every step:
//   start, pick the modem, tick "Connect" (a screenshot while it connects, which takes the
//   slow modem about 2 s) and wait for the modem's "OK", type a command
//   and wait for its answer, untick "Connect"; then print what the log list shows and
//   close the window.
// Usage: kvbtdemo-session [folder]   screenshots go to folder (default demo-session);
// kvbtdemo-sim.exe is looked for beside this program. Exit code 0 when every step
// showed what it should, 1 otherwise (the reason on standard error).
#include "demo/session/demo_window.h"

#include <cstdio>
#include <filesystem>

using namespace kvdriver;
using namespace kvdemo;

namespace {

const wchar_t kModem[] = L"BT Serial Modem";

int Count(const String& Text, const String& Part) {
    int n = 0;
    for (size_t at = Text.find(Part); at != String::npos; at = Text.find(Part, at + 1))
        ++n;
    return n;
}

class TSession {
public:
    explicit TSession(const String& Folder) : fFolder(Folder) {}

    void Run() {
        TProgram program(ProgramFolder() + L"kvbtdemo-sim.exe");
        TDemoWindow demo(program);
        Step(demo, L"start", L"the program shows its devices");

        PickComboItem(demo.Devices, kModem);
        Step(demo, L"modem-picked", L"picked the modem in the device box");

        Click(demo.Connect);
        // The modem takes about 2 s to connect; meanwhile the window answers and paints.
        if (!demo.Connect.Checked())
            throw EDriverError(L"the Connect box did not show its tick while connecting");
        for (const String& line : demo.Log.ListItems())
            if (line == kConnectedLine)
                throw EDriverError(L"the modem connected before the window could be looked at");
        Step(demo, L"connecting", L"ticked \"Connect\": the window answers while it connects");
        WaitForListItem(demo.Log, kConnectedLine);
        WaitForText(demo.Terminal, L"OK");
        Step(demo, L"connected", L"ticked \"Connect\": the demo sent AT, the modem answered OK");

        TypeText(demo.Terminal, L"ATI\r");
        WaitUntil([&] { return Count(demo.Terminal.Text(), L"OK") >= 2; },
                  L"the modem's answer to ATI");
        Step(demo, L"typed", L"typed ATI and Enter: the modem answered OK again");

        Click(demo.Connect);
        WaitForListItem(demo.Log, kDisconnectedLine);
        Step(demo, L"disconnected", L"unticked \"Connect\"");

        std::printf("The log list shows:\n");
        for (const String& line : demo.Log.ListItems())
            std::printf("  %s\n", StringToUtf8(line).c_str());
        if (program.End().Terminated)
            throw EDriverError(L"the demo did not close when its window was closed");
        std::printf("The demo closed. Screenshots are in %s\n", StringToUtf8(fFolder).c_str());
    }

private:
    void Step(const TDemoWindow& Demo, const String& Name, const String& What) {
        ++fStep;
        String path = fFolder + L"\\" + IntToStr(fStep) + L"-" + Name + L".png";
        SaveScreenshot(Demo.Form, path);
        std::printf("%d. %s (%s)\n", fStep, StringToUtf8(What).c_str(), StringToUtf8(path).c_str());
        std::fflush(stdout);
    }

    String fFolder;
    int fStep = 0;
};

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        std::filesystem::path folder = argc > 1 ? argv[1] : L"demo-session";
        std::filesystem::create_directories(folder);
        TSession(std::filesystem::absolute(folder).wstring()).Run();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvbtdemo-session: %s\n", e.what());
        return 1;
    }
}
