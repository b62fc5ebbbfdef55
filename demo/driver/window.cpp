#include "demo/driver/window.h"

#include "demo/driver/driver_error.h"

#include <algorithm>
#include <cstdio>

namespace kvdriver {

namespace {

// Long enough for a busy program under Wine, short enough to report a hung one.
constexpr UINT kSendTimeoutMs = 10000;

String Hex(const void* p) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(p)));
    return text;
}

String MessageName(UINT Msg) {
    wchar_t text[16];
    std::swprintf(text, 16, L"0x%04x", Msg);
    return text;
}

void AddTree(const TWindow& w, int depth, String& out) {
    for (const TWindow& child : w.Children()) {
        RECT r = child.ScreenRect();
        out += String(static_cast<size_t>(depth) * 2, L' ') + child.Describe() + L" id " +
               IntToStr(child.ControlId()) + L" at " + IntToStr(r.left) + L"," + IntToStr(r.top) +
               L" size " + IntToStr(r.right - r.left) + L"x" + IntToStr(r.bottom - r.top);
        if (!child.Visible())
            out += L" hidden";
        if (!child.Enabled())
            out += L" disabled";
        out += L"\n";
        AddTree(child, depth + 1, out);
    }
}

} // namespace

bool TWindow::Exists() const {
    return fHandle && IsWindow(fHandle);
}

DWORD TWindow::ProcessId() const {
    DWORD pid = 0;
    if (!GetWindowThreadProcessId(fHandle, &pid))
        throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist");
    return pid;
}

DWORD TWindow::ThreadId() const {
    DWORD tid = GetWindowThreadProcessId(fHandle, nullptr);
    if (!tid)
        throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist");
    return tid;
}

String TWindow::ClassName() const {
    wchar_t name[256];
    int n = GetClassNameW(fHandle, name, 256);
    if (n <= 0)
        throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist");
    return String(name, static_cast<size_t>(n));
}

bool TWindow::IsClass(const wchar_t* Name) const {
    wchar_t name[256];
    int n = GetClassNameW(fHandle, name, 256);
    return n > 0 && SameText(std::wstring_view(name, static_cast<size_t>(n)), Name);
}

int TWindow::ControlId() const {
    return static_cast<int>(GetWindowLongPtrW(fHandle, GWLP_ID));
}

LONG_PTR TWindow::Style() const {
    return GetWindowLongPtrW(fHandle, GWL_STYLE);
}

RECT TWindow::ScreenRect() const {
    RECT r{};
    if (!GetWindowRect(fHandle, &r))
        throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist");
    return r;
}

bool TWindow::Visible() const {
    return IsWindowVisible(fHandle) != FALSE;
}

bool TWindow::Enabled() const {
    return IsWindowEnabled(fHandle) != FALSE;
}

TWindow TWindow::FocusOfThread() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(ThreadId(), &info))
        ThrowSystemError(L"cannot read the input state of the thread of " + Describe(),
                         GetLastError());
    return TWindow(info.hwndFocus);
}

bool TWindow::Focused() const {
    return fHandle && FocusOfThread() == *this;
}

TWindow TWindow::TopLevel() const {
    HWND top = GetAncestor(fHandle, GA_ROOT);
    if (!top)
        throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist");
    return TWindow(top);
}

LRESULT TWindow::Send(UINT Msg, WPARAM WParam, LPARAM LParam) const {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(fHandle, Msg, WParam, LParam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                             &result)) {
        DWORD error = GetLastError();
        if (!Exists())
            throw EDriverError(L"the window " + Hex(fHandle) + L" does not exist (message " +
                               MessageName(Msg) + L")");
        ThrowSystemError(Describe() + L" did not answer message " + MessageName(Msg), error);
    }
    return static_cast<LRESULT>(result);
}

String TWindow::Text() const {
    auto length = Send(WM_GETTEXTLENGTH);
    String text(static_cast<size_t>(length) + 1, L'\0');
    auto n = Send(WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<size_t>(std::clamp<LRESULT>(n, 0, length)));
    return text;
}

void TWindow::RequireClass(const wchar_t* Name, const wchar_t* Reading) const {
    if (!SameText(ClassName(), Name))
        throw EDriverError(String(L"cannot read ") + Reading + L" of " + Describe() +
                           L": it is not a " + Name);
}

bool TWindow::Checked() const {
    RequireClass(L"Button", L"the check state");
    switch (Style() & BS_TYPEMASK) {
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE:
    case BS_RADIOBUTTON:
    case BS_AUTORADIOBUTTON:
        return Send(BM_GETCHECK) == BST_CHECKED;
    default:
        throw EDriverError(L"cannot read the check state of " + Describe() +
                           L": it is a push button");
    }
}

std::vector<String> TWindow::Items(UINT CountMsg, UINT LengthMsg, UINT TextMsg) const {
    // LB_ERR and CB_ERR are both -1.
    LRESULT count = Send(CountMsg);
    if (count == LB_ERR)
        throw EDriverError(L"cannot count the items of " + Describe());
    std::vector<String> items;
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = Send(LengthMsg, static_cast<WPARAM>(i));
        if (length == LB_ERR)
            throw EDriverError(L"cannot read item " + IntToStr(i) + L" of " + Describe());
        String item(static_cast<size_t>(length) + 1, L'\0');
        LRESULT n = Send(TextMsg, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item.data()));
        item.resize(static_cast<size_t>(std::clamp<LRESULT>(n, 0, length)));
        items.push_back(item);
    }
    return items;
}

std::vector<String> TWindow::ListItems() const {
    if (!IsClass(L"ComboLBox"))
        RequireClass(L"ListBox", L"the items");
    return Items(LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT);
}

std::vector<String> TWindow::ComboItems() const {
    RequireClass(L"ComboBox", L"the items");
    return Items(CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT);
}

int TWindow::ComboIndex() const {
    RequireClass(L"ComboBox", L"the selection");
    return static_cast<int>(Send(CB_GETCURSEL));
}

bool TWindow::ComboDropped() const {
    RequireClass(L"ComboBox", L"the drop-down state");
    return Send(CB_GETDROPPEDSTATE) != FALSE;
}

String TWindow::Describe() const {
    if (!fHandle)
        return L"no window";
    if (!Exists())
        return L"window " + Hex(fHandle) + L" (gone)";
    wchar_t name[256];
    int n = GetClassNameW(fHandle, name, 256);
    // A short text read without throwing: Describe goes into error messages.
    wchar_t text[64] = L"";
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(fHandle, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, 1000, &copied))
        copied = 0;
    text[std::min<DWORD_PTR>(copied, 63)] = L'\0';
    return String(name, static_cast<size_t>(std::max(n, 0))) + L" '" + text + L"' (" +
           Hex(fHandle) + L")";
}

std::vector<TWindow> TWindow::Children() const {
    std::vector<TWindow> children;
    for (HWND c = GetWindow(fHandle, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        children.emplace_back(c);
    return children;
}

std::vector<TWindow> TWindow::Descendants() const {
    std::vector<TWindow> all;
    for (const TWindow& child : Children()) {
        all.push_back(child);
        auto below = child.Descendants();
        all.insert(all.end(), below.begin(), below.end());
    }
    return all;
}

TWindow TWindow::FindChild(const String& ClassName, const String& Text) const {
    for (const TWindow& w : Descendants())
        if (w.IsClass(ClassName.c_str()) && w.Text() == Text)
            return w;
    throw EDriverError(L"no " + ClassName + L" '" + Text + L"' in " + Describe() +
                       L"; its windows:\n" + Tree());
}

TWindow TWindow::FindChildAt(const String& ClassName, int Index) const {
    std::vector<std::pair<RECT, TWindow>> found;
    for (const TWindow& w : Descendants())
        if (w.IsClass(ClassName.c_str()))
            found.emplace_back(w.ScreenRect(), w);
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.first.top != b.first.top ? a.first.top < b.first.top : a.first.left < b.first.left;
    });
    if (Index < 0 || static_cast<size_t>(Index) >= found.size())
        throw EDriverError(L"no " + ClassName + L" number " + IntToStr(Index) + L" in " +
                           Describe() + L" (it has " +
                           IntToStr(static_cast<long long>(found.size())) + L"); its windows:\n" +
                           Tree());
    return found[static_cast<size_t>(Index)].second;
}

String TWindow::Tree() const {
    String out = Describe() + L"\n";
    AddTree(*this, 1, out);
    return out;
}

} // namespace kvdriver
