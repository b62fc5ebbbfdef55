#pragma once
// TProgram: a program that the driver starts, watches and ends.
//
// The constructor starts the program (CreateProcessW) or throws EDriverError. The
// object owns the process handle. Windows are looked for among the visible top-level
// windows of this process only, so another program with the same caption never
// answers. A wait gives up at once with EDriverError when the program has exited.
//
// End asks the program to close as a user would (WM_CLOSE to its main windows) and
// terminates it only when it has not exited by the deadline; the result says which
// happened. The destructor ends a program that still runs in the same way and writes a
// line to standard error when it had to terminate it.

#include "demo/driver/message_box.h"
#include "demo/driver/wait.h"
#include "demo/driver/window.h"

#include <functional>
#include <vector>

#include <windows.h>

namespace kvdriver {

class TProgram {
public:
    // Starts Path with Arguments (each quoted as the C run-time splits them) in
    // WorkingDirectory (empty: the driver's own current folder).
    explicit TProgram(const String& Path, const std::vector<String>& Arguments = {},
                      const String& WorkingDirectory = {});
    ~TProgram();
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    HANDLE ProcessHandle() const { return fProcess; }
    DWORD ProcessId() const { return fProcessId; }
    const String& Path() const { return fPath; }
    bool Running() const;

    // Waits until the program exits and gives its exit code.
    DWORD WaitForExit(DWORD TimeoutMs = kDefaultTimeoutMs) const;

    struct TEnding {
        DWORD ExitCode = 0;
        bool Terminated = false; // it did not exit after WM_CLOSE and was terminated
    };
    TEnding End(DWORD TimeoutMs = kDefaultTimeoutMs);

    // The program's visible top-level windows, frontmost first.
    std::vector<TWindow> TopLevelWindows() const;
    // Waits for a visible top-level window whose caption begins with CaptionPrefix.
    TWindow WaitForWindow(const String& CaptionPrefix, DWORD TimeoutMs = kDefaultTimeoutMs) const;
    // Waits for a message box of the program.
    TMessageBox WaitForMessageBox(DWORD TimeoutMs = kDefaultTimeoutMs) const;

private:
    // Throws when the program is no longer running, naming what was awaited.
    void RequireRunning(const String& Awaiting) const;
    // "; its windows: ..." for the message of a failed wait.
    String DescribeWindows() const;
    // Waits for a top-level window of the program that Matches.
    TWindow WaitForTopLevel(const std::function<bool(const TWindow&)>& Matches, const String& What,
                            DWORD TimeoutMs) const;

    String fPath;
    HANDLE fProcess = nullptr;
    DWORD fProcessId = 0;
};

// One argument quoted for a command line, so that the C run-time gives it back unchanged.
String QuoteArgument(const String& Argument);

} // namespace kvdriver
