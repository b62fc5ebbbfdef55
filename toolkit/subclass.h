#pragma once
// TWindowSubclass: the one subclassing of a Win32 window by the toolkit, undone when
// the wrapper goes (or when the window is destroyed, whichever comes first).

#include <windows.h>
#include <commctrl.h>

class TWindowSubclass {
public:
    TWindowSubclass() = default;
    TWindowSubclass(HWND Window, SUBCLASSPROC Proc, UINT_PTR Id, DWORD_PTR Data);
    TWindowSubclass(const TWindowSubclass&) = delete;
    TWindowSubclass& operator=(const TWindowSubclass&) = delete;
    TWindowSubclass(TWindowSubclass&& Other) noexcept;
    TWindowSubclass& operator=(TWindowSubclass&& Other) noexcept;
    ~TWindowSubclass() { Reset(); }

    void Reset();

private:
    HWND fWindow = nullptr;
    SUBCLASSPROC fProc = nullptr;
    UINT_PTR fId = 0;
};
