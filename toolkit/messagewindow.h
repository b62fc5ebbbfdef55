#pragma once
// Message-only windows of a private class: what a hidden window needs to receive posted
// messages and timers on the thread that made it.

#include <windows.h>

// Registers ClassName with Proc (registering it again is harmless) and makes a
// message-only window of it on this thread; MessageWindowSelf gives Self back in Proc.
HWND CreateMessageWindow(const wchar_t* ClassName, WNDPROC Proc, void* Self = nullptr);

// In Proc, for each message: the Self of the window, noted at WM_NCCREATE and forgotten
// after WM_NCDESTROY (nullptr before and after).
void* MessageWindowSelf(HWND Window, UINT Msg, LPARAM LParam);
