#include "demo/driver/input.h"

#include "demo/driver/driver_error.h"

#include <algorithm>

namespace kvdriver {

namespace {

void Inject(std::vector<INPUT> Inputs, const String& What) {
    UINT sent = SendInput(static_cast<UINT>(Inputs.size()), Inputs.data(), sizeof(INPUT));
    if (sent != Inputs.size())
        ThrowSystemError(L"cannot send the input for " + What, GetLastError());
}

// Moves the mouse to Point and does Buttons there, in one input: the button message
// carries Point even when a late move from the window system came in between.
void MouseAt(POINT Point, DWORD Buttons, const String& What) {
    // Absolute input counts in 1/65536 of the primary screen; rounding up here gives back
    // the pixel when the system rounds down.
    const long long width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT in{};
    in.type = INPUT_MOUSE;
    in.mi.dx = static_cast<LONG>((Point.x * 65536LL + width - 1) / width);
    in.mi.dy = static_cast<LONG>((Point.y * 65536LL + height - 1) / height);
    in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | Buttons;
    Inject({in}, What);
}

TWindow CaptureOf(const TWindow& Control) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(Control.ThreadId(), &info))
        ThrowSystemError(L"cannot read the input state of the thread of " + Control.Describe(),
                         GetLastError());
    return TWindow(info.hwndCapture);
}

POINT Centre(const RECT& r) {
    return {(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Throws unless a person could click Control at Point (in screen coordinates).
void RequireClickable(const TWindow& Control, POINT Point, const String& Action) {
    if (!Control.Visible())
        throw EDriverError(L"cannot " + Action + L": " + Control.Describe() + L" is not visible");
    if (!Control.Enabled())
        throw EDriverError(L"cannot " + Action + L": " + Control.Describe() + L" is disabled");
    TWindow top = Control.TopLevel();
    if (!top.Enabled())
        throw EDriverError(L"cannot " + Action + L": its window " + top.Describe() +
                           L" is disabled (a modal dialog may be open)");
    TWindow hit(WindowFromPoint(Point));
    if (hit != Control && !IsChild(Control.Handle(), hit.Handle()))
        throw EDriverError(L"cannot " + Action + L": the point " + IntToStr(Point.x) + L"," +
                           IntToStr(Point.y) + L" of " + Control.Describe() + L" is covered by " +
                           hit.Describe());
}

// Moves to Point and presses the left button, waits until Pressed holds, and lets the
// button go again when it does not, saying where the press went.
void Press(const TWindow& Control, POINT Point, const std::function<bool()>& Pressed,
           const String& What, DWORD TimeoutMs) {
    MouseAt(Point, 0, What);
    MouseAt(Point, MOUSEEVENTF_LEFTDOWN, What);
    try {
        WaitUntil(Pressed, What, TimeoutMs);
    } catch (const EDriverError& e) {
        MouseAt(Point, MOUSEEVENTF_LEFTUP, What);
        POINT at{};
        GetCursorPos(&at);
        throw EDriverError(e.Message() + L"; the mouse is at " + IntToStr(at.x) + L"," +
                           IntToStr(at.y) + L" over " + TWindow(WindowFromPoint(at)).Describe() +
                           L", the mouse capture is on " + CaptureOf(Control).Describe());
    }
}

// The list that Combo has dropped: a "ComboLBox" window of its thread.
TWindow DroppedList(const TWindow& Combo) {
    struct TSearch {
        TWindow Found;
    } search;
    EnumThreadWindows(
        Combo.ThreadId(),
        [](HWND w, LPARAM p) -> BOOL {
            TWindow candidate(w);
            if (!candidate.IsClass(L"ComboLBox") || !candidate.Visible())
                return TRUE;
            reinterpret_cast<TSearch*>(p)->Found = candidate;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (!search.Found)
        throw EDriverError(L"the list that " + Combo.Describe() + L" dropped is not on the screen");
    return search.Found;
}

// The screen point at the middle of item Index of a dropped List, scrolled into view.
POINT ItemPoint(const TWindow& List, int Index) {
    RECT client;
    GetClientRect(List.Handle(), &client);
    auto height = static_cast<int>(List.Send(LB_GETITEMHEIGHT, static_cast<WPARAM>(Index)));
    if (height <= 0)
        throw EDriverError(L"cannot read the item height of " + List.Describe());
    int rows = std::max(1, static_cast<int>(client.bottom / height));
    auto top = static_cast<int>(List.Send(LB_GETTOPINDEX));
    if (Index < top || Index >= top + rows) {
        List.Send(LB_SETTOPINDEX, static_cast<WPARAM>(Index));
        top = static_cast<int>(List.Send(LB_GETTOPINDEX));
        if (Index < top || Index >= top + rows)
            throw EDriverError(L"cannot scroll item " + IntToStr(Index) + L" into view in " +
                               List.Describe());
    }
    POINT p{client.right / 2, (Index - top) * height + height / 2};
    ClientToScreen(List.Handle(), &p);
    return p;
}

void AddKey(std::vector<INPUT>& keys, WORD Vk, bool Up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = Vk;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(Vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = Up ? KEYEVENTF_KEYUP : 0;
    keys.push_back(in);
}

void AddCharacter(std::vector<INPUT>& keys, wchar_t C) {
    SHORT scan = VkKeyScanW(C);
    int shifts = HIBYTE(scan);
    if (scan != -1 && (shifts & ~1) == 0) {
        auto vk = static_cast<WORD>(LOBYTE(scan));
        if (shifts)
            AddKey(keys, VK_SHIFT, false);
        AddKey(keys, vk, false);
        AddKey(keys, vk, true);
        if (shifts)
            AddKey(keys, VK_SHIFT, true);
        return;
    }
    for (bool up : {false, true}) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wScan = C;
        in.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
        keys.push_back(in);
    }
}

} // namespace

void Click(const TWindow& Control, DWORD TimeoutMs) {
    String what = L"a click on " + Control.Describe();
    POINT p = Centre(Control.ScreenRect());
    RequireClickable(Control, p, L"click");
    Press(
        Control, p, [&] { return CaptureOf(Control) == Control; },
        Control.Describe() + L" to hold the pressed mouse", TimeoutMs);
    MouseAt(p, MOUSEEVENTF_LEFTUP, what);
    WaitUntil(
        [&] {
            try {
                return CaptureOf(Control) != Control;
            } catch (const EDriverError&) {
                // A click may close its own window (the OK of a message box): gone is done.
                if (Control.Exists())
                    throw;
                return true;
            }
        },
        Control.Describe() + L" to let go of the released mouse", TimeoutMs);
}

void PickComboItem(const TWindow& Combo, const String& Item, DWORD TimeoutMs) {
    std::vector<String> items = Combo.ComboItems();
    auto at = std::find(items.begin(), items.end(), Item);
    if (at == items.end()) {
        String all;
        for (const String& i : items)
            all += (all.empty() ? L"'" : L", '") + i + L"'";
        throw EDriverError(L"cannot pick '" + Item + L"': " + Combo.Describe() + L" has only " +
                           (all.empty() ? String(L"no items") : all));
    }
    if ((Combo.Style() & 3) != CBS_DROPDOWNLIST)
        throw EDriverError(L"cannot pick '" + Item + L"': " + Combo.Describe() +
                           L" is not a drop-down list");
    if (Combo.ComboDropped())
        throw EDriverError(L"cannot pick '" + Item + L"': the list of " + Combo.Describe() +
                           L" is dropped already");
    int index = static_cast<int>(at - items.begin());
    String what = L"picking '" + Item + L"' in " + Combo.Describe();

    RECT box = Combo.ScreenRect();
    POINT p = Centre(box);
    RequireClickable(Combo, p, L"pick '" + Item + L"'");
    Press(
        Combo, p, [&] { return Combo.ComboDropped(); },
        L"the list of " + Combo.Describe() + L" to drop", TimeoutMs);
    MouseAt(p, MOUSEEVENTF_LEFTUP, what);

    TWindow list = DroppedList(Combo);
    POINT q = ItemPoint(list, index);
    RequireClickable(list, q, L"pick '" + Item + L"'");
    MouseAt(q, 0, what);
    MouseAt(q, MOUSEEVENTF_LEFTDOWN, what);
    MouseAt(q, MOUSEEVENTF_LEFTUP, what);
    WaitUntil([&] { return !Combo.ComboDropped() && Combo.ComboIndex() == index; },
              L"the list of " + Combo.Describe() + L" to close with '" + Item + L"' picked",
              TimeoutMs);
}

void TypeText(const TWindow& Control, const String& Text, DWORD TimeoutMs) {
    TWindow top = Control.TopLevel();
    if (GetForegroundWindow() != top.Handle()) {
        SetForegroundWindow(top.Handle());
        WaitUntil([&] { return GetForegroundWindow() == top.Handle(); },
                  top.Describe() + L" to become the foreground window", TimeoutMs);
    }
    if (!Control.Focused())
        throw EDriverError(L"cannot type into " + Control.Describe() +
                           L": the keyboard focus is on " + Control.FocusOfThread().Describe());
    std::vector<INPUT> keys;
    for (wchar_t c : Text)
        AddCharacter(keys, c);
    if (!keys.empty())
        Inject(keys, L"typing into " + Control.Describe());
}

} // namespace kvdriver
