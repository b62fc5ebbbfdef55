#pragma once
// TApplication: the program's main-thread object and its message loop.
//
// One instance per program, created on the main thread; the global Application points
// to it while it lives. Run pumps messages until Terminate (a closing main form calls
// it); top-level windows with WS_EX_CONTROLPARENT get dialog keyboard handling (Tab,
// Space) in the loop. Every message box of the toolkit and the components goes through
// ShowMessageBox, whose one function tests can replace.

#include "toolkit/components.h"

#include <atomic>
#include <exception>

#include <windows.h>

class TApplication : public TComponent {
public:
    // The function that shows a message box: (owner window, text, caption, MB_ flags).
    using TMessageBoxFunc = int (*)(HWND Owner, const String& Text, const String& Caption,
                                    UINT Flags);

    TApplication();
    ~TApplication() override;

    void Run();
    void Terminate();
    bool Terminated() const { return fTerminated; }
    // Handles every message waiting now, then returns.
    void ProcessMessages();

    // Shows the exception's message in an error box owned by the foreground window.
    void HandleException(const std::exception& E);
    // The same for the exception being handled (call it in a catch block): what escapes a
    // handler inside the system's window procedures is shown, never let through.
    void HandleCurrentException();
    // Shows a message box owned by the foreground window; returns the button pressed.
    int ShowMessageBox(const String& Text, const String& Caption, UINT Flags);
    // Replaces the message-box function; returns the previous one.
    TMessageBoxFunc SetMessageBoxFunc(TMessageBoxFunc Func);

    // The caption of the error box: the program's file name without its extension.
    const String& Title() const { return fTitle; }
    void SetTitle(const String& Value) { fTitle = Value; }

    TComponent* GetMainForm() const { return fMainForm; }
    void SetMainForm(TComponent* Value) { fMainForm = Value; }

private:
    // True when the message was a dialog key that has been handled.
    static bool IsDialogKey(MSG& Msg);
    static void Dispatch(MSG& Msg);

    std::atomic<bool> fTerminated{false};
    String fTitle;
    TComponent* fMainForm = nullptr;
    TMessageBoxFunc fMessageBox;
};

extern TApplication* Application;

// One step of a wait that keeps the program alive: returns true once Handle is signalled,
// false when messages were handled or Timeout (milliseconds) passed first. On the main
// thread with an application object it handles every waiting message (windows paint,
// move and answer input, synchronized calls run); elsewhere it is MainThreadWait. The
// caller loops until its condition holds, and after each step looks whether a handler
// destroyed what it works on.
bool WaitServingMessages(HANDLE Handle, DWORD Timeout);
