#include "demo/driver/program.h"

#include "demo/driver/driver_error.h"

#include <cstdio>

namespace kvdriver {

String QuoteArgument(const String& Argument) {
    if (!Argument.empty() && Argument.find_first_of(L" \t\n\v\"") == String::npos)
        return Argument;
    String quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : Argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes double only before a quote; the quote itself is escaped.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

TProgram::TProgram(const String& Path, const std::vector<String>& Arguments,
                   const String& WorkingDirectory)
    : fPath(Path) {
    String commandLine = QuoteArgument(Path);
    for (const String& a : Arguments)
        commandLine += L" " + QuoteArgument(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(Path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        WorkingDirectory.empty() ? nullptr : WorkingDirectory.c_str(), &startup,
                        &info))
        ThrowSystemError(L"cannot start " + Path, GetLastError());
    CloseHandle(info.hThread);
    fProcess = info.hProcess;
    fProcessId = info.dwProcessId;
}

TProgram::~TProgram() {
    try {
        if (Running() && End().Terminated)
            std::fprintf(stderr, "kvdriver: %s did not exit after WM_CLOSE and was terminated\n",
                         StringToUtf8(fPath).c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvdriver: ending the program failed: %s\n", e.what());
    }
    CloseHandle(fProcess);
}

bool TProgram::Running() const {
    return WaitForSingleObject(fProcess, 0) == WAIT_TIMEOUT;
}

void TProgram::RequireRunning(const String& Awaiting) const {
    DWORD code = 0;
    if (!Running() && GetExitCodeProcess(fProcess, &code))
        throw EDriverError(fPath + L" exited with code " + IntToStr(code) +
                           L" while the driver waited for " + Awaiting);
}

DWORD TProgram::WaitForExit(DWORD TimeoutMs) const {
    WaitUntil([&] { return !Running(); }, fPath + L" to exit", TimeoutMs);
    DWORD code = 0;
    if (!GetExitCodeProcess(fProcess, &code))
        ThrowSystemError(L"cannot read the exit code of " + fPath, GetLastError());
    return code;
}

TProgram::TEnding TProgram::End(DWORD TimeoutMs) {
    if (!Running())
        return {WaitForExit(0), false};
    for (const TWindow& w : TopLevelWindows())
        if (!GetWindow(w.Handle(), GW_OWNER))
            PostMessageW(w.Handle(), WM_CLOSE, 0, 0);
    try {
        return {WaitForExit(TimeoutMs), false};
    } catch (const EDriverError&) {
        // The last resort: it ignored the close or hangs.
        if (!TerminateProcess(fProcess, 1) && Running())
            ThrowSystemError(L"cannot terminate " + fPath, GetLastError());
        return {WaitForExit(TimeoutMs), true};
    }
}

std::vector<TWindow> TProgram::TopLevelWindows() const {
    struct TSearch {
        DWORD ProcessId;
        std::vector<TWindow> Found;
    } search{fProcessId, {}};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<TSearch*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == s->ProcessId && IsWindowVisible(w))
                s->Found.emplace_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

String TProgram::DescribeWindows() const {
    String list;
    for (const TWindow& w : TopLevelWindows())
        list += L"\n  " + w.Describe();
    return L"; its windows:" + (list.empty() ? String(L" none") : list);
}

TWindow TProgram::WaitForTopLevel(const std::function<bool(const TWindow&)>& Matches,
                                  const String& What, DWORD TimeoutMs) const {
    TWindow found;
    try {
        WaitUntil(
            [&] {
                RequireRunning(What);
                for (const TWindow& w : TopLevelWindows())
                    if (Matches(w)) {
                        found = w;
                        return true;
                    }
                return false;
            },
            What, TimeoutMs);
    } catch (const EDriverError& e) {
        throw EDriverError(e.Message() + DescribeWindows());
    }
    return found;
}

TWindow TProgram::WaitForWindow(const String& CaptionPrefix, DWORD TimeoutMs) const {
    auto captioned = [&](const TWindow& w) {
        String caption;
        try {
            caption = w.Text();
        } catch (const EDriverError&) {
            if (w.Exists())
                throw;
            return false; // closed while we looked
        }
        return caption.starts_with(CaptionPrefix);
    };
    return WaitForTopLevel(captioned, L"a window '" + CaptionPrefix + L"...' of " + fPath,
                           TimeoutMs);
}

TMessageBox TProgram::WaitForMessageBox(DWORD TimeoutMs) const {
    auto messageBox = [](const TWindow& w) { return w.IsClass(L"#32770"); };
    return TMessageBox(WaitForTopLevel(messageBox, L"a message box of " + fPath, TimeoutMs));
}

} // namespace kvdriver
