#pragma once
// TWindow: a window of another program as a user's tools see it from outside.
//
// A TWindow is a plain handle with readers and finders; it owns nothing and may outlive
// its window, after which every reader throws EDriverError. Readers send the window the
// standard messages of its class (WM_GETTEXT, LB_GETTEXT, CB_GETCURSEL, BM_GETCHECK),
// which Win32 carries across processes; each send has a deadline, so a program that
// hangs gives an error and never hangs the driver. A reader for one kind of control
// throws EDriverError when the window is of another kind.
//
// Finders search all descendants. When nothing matches they throw EDriverError naming
// what they looked for and listing the window's child tree.

#include "toolkit/text.h"

#include <vector>

#include <windows.h>

namespace kvdriver {

class TWindow {
public:
    TWindow() = default;
    explicit TWindow(HWND Handle) : fHandle(Handle) {}

    HWND Handle() const { return fHandle; }
    explicit operator bool() const { return fHandle != nullptr; }
    bool operator==(const TWindow&) const = default;

    bool Exists() const;
    DWORD ProcessId() const;
    DWORD ThreadId() const;
    // The registered class name, as GetClassName gives it ("Button", "ComboBox", ...).
    String ClassName() const;
    // False for another class and for a window that is gone.
    bool IsClass(const wchar_t* Name) const;
    int ControlId() const;
    LONG_PTR Style() const;
    RECT ScreenRect() const;
    bool Visible() const;
    bool Enabled() const;
    // True when this window has the keyboard focus of its own thread (GUITHREADINFO).
    bool Focused() const;
    // The window of its thread that has the keyboard focus, if any.
    TWindow FocusOfThread() const;
    // The top-level window this one belongs to.
    TWindow TopLevel() const;

    // The window text: a caption, a button's text, a memo's whole text (lines end in CR LF).
    String Text() const;
    // A check box or radio button is checked (BM_GETCHECK).
    bool Checked() const;
    // The items of a list box, top to bottom.
    std::vector<String> ListItems() const;
    // The items of a combo box's list, and the index of its selection (-1 for none).
    std::vector<String> ComboItems() const;
    int ComboIndex() const;
    bool ComboDropped() const;

    // One line for messages: class, text and handle, as in Button 'Connect' (0x1a2b).
    String Describe() const;

    std::vector<TWindow> Children() const;
    // The first descendant (depth first, in Z order) of that class whose text is Text.
    TWindow FindChild(const String& ClassName, const String& Text) const;
    // The Index-th descendant of that class counted by position on the screen: top to
    // bottom, and left to right on the same top edge. Index 0 is the first.
    TWindow FindChildAt(const String& ClassName, int Index) const;
    // The whole child tree, one indented line per window, for diagnostics.
    String Tree() const;

    // Sends a message with a deadline; EDriverError when the window is gone or does not
    // answer in time.
    LRESULT Send(UINT Msg, WPARAM WParam = 0, LPARAM LParam = 0) const;

private:
    void RequireClass(const wchar_t* Name, const wchar_t* Reading) const;
    // The items of a list or a combo box, read with that box's messages.
    std::vector<String> Items(UINT CountMsg, UINT LengthMsg, UINT TextMsg) const;
    std::vector<TWindow> Descendants() const;

    HWND fHandle = nullptr;
};

} // namespace kvdriver
