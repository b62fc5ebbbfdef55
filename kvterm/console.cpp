#include "kvterm/console.h"

#include <mutex>

#include <windows.h>

namespace {

struct TSaved {
    std::mutex Lock;
    UINT OutputCodePage = 0; // 0: not changed
    bool InputMode = false, OutputMode = false;
    DWORD Input = 0, Output = 0;
} gSaved;

// Ctrl+C, Ctrl+Break or the console closing where no session handles them (the list and
// services commands, the moments around a session): the system's handler that follows
// ends the program at once.
BOOL WINAPI RestoreBeforeTheEnd(DWORD) {
    RestoreConsole();
    return FALSE;
}

} // namespace

void PrepareConsole() {
    std::lock_guard<std::mutex> lock(gSaved.Lock);
    if (UINT page = GetConsoleOutputCP(); page && page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        gSaved.OutputCodePage = page;
    SetConsoleCtrlHandler(RestoreBeforeTheEnd, TRUE);
}

bool EnterSessionModes() {
    std::lock_guard<std::mutex> lock(gSaved.Lock);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetConsoleMode(out, &gSaved.Output) &&
        SetConsoleMode(out, ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT |
                                ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        gSaved.OutputMode = true;
    if (!GetConsoleMode(in, &gSaved.Input))
        return false;
    gSaved.InputMode = SetConsoleMode(in, 0); // no line editing, echo or Ctrl+C signal
    return true;
}

void RestoreConsole() {
    std::lock_guard<std::mutex> lock(gSaved.Lock);
    if (gSaved.InputMode)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gSaved.Input);
    if (gSaved.OutputMode)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), gSaved.Output);
    if (gSaved.OutputCodePage)
        SetConsoleOutputCP(gSaved.OutputCodePage);
    gSaved.InputMode = gSaved.OutputMode = false;
    gSaved.OutputCodePage = 0;
}
