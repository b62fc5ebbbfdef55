#include "toolkit/controls.h"

#include "toolkit/application.h"
#include "toolkit/exceptions.h"

#include <algorithm>

namespace {

const UINT_PTR kSubclassId = 0x6B76; // one subclassing per window, ours
int gNextControlId = 100;            // ids below 100 are the dialog manager's (IDOK, IDCANCEL)
// The window property that names a window's control: only windows we made carry it.
const wchar_t kControlProperty[] = L"TkWinControl";

} // namespace

// ---- TControl

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {
    fFont.OnChange = TNotifyEvent::Bind<&TControl::FontChange>(this);
}

TControl::~TControl() {
    fFont.OnChange = nullptr;
    if (fParent)
        fParent->RemoveControl(this);
}

void TControl::SetParent(TWinControl* Value) {
    if (Value == fParent)
        return;
    if (Value == this)
        throw Exception(L"A control cannot be its own parent");
    if (fParent)
        fParent->RemoveControl(this);
    fParent = Value;
    if (fParent) {
        fParent->InsertControl(this);
        if (fParentColor)
            TakeParentColor();
        if (fParentFont)
            TakeParentFont();
    }
}

void TControl::SetParentComponent(TComponent* Value) {
    if (auto* parent = dynamic_cast<TWinControl*>(Value))
        SetParent(parent);
}

void TControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    if (ALeft == fLeft && ATop == fTop && AWidth == fWidth && AHeight == fHeight)
        return;
    fLeft = ALeft;
    fTop = ATop;
    fWidth = AWidth;
    fHeight = AHeight;
    BoundsChanged();
}

void TControl::SetText(const String& Value) {
    fText = Value;
    TextChanged();
}

void TControl::SetEnabled(bool Value) {
    if (Value != fEnabled) {
        fEnabled = Value;
        EnabledChanged();
    }
}

void TControl::SetVisible(bool Value) {
    if (Value != fVisible) {
        fVisible = Value;
        VisibleChanged();
    }
}

void TControl::SetColor(TColor Value) {
    fParentColor = false;
    if (Value != fColor) {
        fColor = Value;
        ColorChanged();
    }
}

void TControl::SetParentColor(bool Value) {
    fParentColor = Value;
    if (Value)
        TakeParentColor();
}

void TControl::SetParentFont(bool Value) {
    fParentFont = Value;
    if (Value)
        TakeParentFont();
}

void TControl::Click() {
    if (fOnClick)
        fOnClick(this);
}

void TControl::TakeParentColor() {
    if (fParent && fParent->fColor != fColor) {
        fColor = fParent->fColor;
        ColorChanged();
    }
}

void TControl::TakeParentFont() {
    if (!fParent)
        return;
    fTakingParentFont = true;
    fFont.Assign(fParent->fFont);
    fTakingParentFont = false;
}

void TControl::FontChange(TObject*) {
    // A font of its own ends the inheritance, as a form file that names one expects.
    if (!fTakingParentFont)
        fParentFont = false;
    FontChanged();
}

void TControl::ColorChanged() {}
void TControl::FontChanged() {}

// ---- TWinControl

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner), fWindowProc(DefaultWindowProc()) {}

TWinControl::~TWinControl() {
    if (GetParent()) {
        GetParent()->RemoveControl(this);
        fParent = nullptr;
    }
    for (TControl* c : fControls)
        c->fParent = nullptr;
    fControls.clear();
    // Nobody else's message handler runs while the window goes.
    fWindowProc = DefaultWindowProc();
    if (fHandle)
        DestroyWindow(fHandle);
}

TWinControl* TWinControl::FromHandle(HWND Window) {
    return Window ? static_cast<TWinControl*>(GetPropW(Window, kControlProperty)) : nullptr;
}

HWND TWinControl::GetHandle() {
    if (!fHandle)
        CreateHandle();
    return fHandle;
}

void TWinControl::CreateParams(TCreateParams& Params) {
    Params.Style = WS_CHILD | WS_CLIPSIBLINGS;
    if (fVisible)
        Params.Style |= WS_VISIBLE;
    if (!GetEnabled())
        Params.Style |= WS_DISABLED;
    if (fTabStop)
        Params.Style |= WS_TABSTOP;
    Params.X = fLeft;
    Params.Y = fTop;
    Params.Width = fWidth;
    Params.Height = fHeight;
}

void TWinControl::CreateHandle() {
    HWND parentWindow = nullptr;
    if (GetParent()) {
        parentWindow = GetParent()->GetHandle();
        if (fHandle) // made while the parent made its children
            return;
    }
    TCreateParams p;
    CreateParams(p);
    p.Parent = parentWindow;
    if ((p.Style & WS_CHILD) && !parentWindow)
        throw Exception(L"Control " + GetName() + L" has no parent window");
    HMENU id = (p.Style & WS_CHILD)
                   ? reinterpret_cast<HMENU>(static_cast<INT_PTR>(gNextControlId++))
                   : nullptr;
    HWND w = CreateWindowExW(p.ExStyle, p.ClassName, fText.c_str(), p.Style, p.X, p.Y, p.Width,
                             p.Height, parentWindow, id, GetModuleHandleW(nullptr), nullptr);
    if (!w)
        throw Exception(L"Cannot create the window of " + GetName());
    fHandle = w;
    fSubclass = TWindowSubclass(w, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
    SetPropW(w, kControlProperty, this);
    SendMessageW(w, WM_SETFONT, reinterpret_cast<WPARAM>(GetFont()->Handle()), FALSE);
    CreateWnd();
    for (TControl* c : fControls)
        static_cast<TWinControl*>(c)->GetHandle();
    ArrangeTabOrder();
}

LRESULT CALLBACK TWinControl::SubclassProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam,
                                           UINT_PTR, DWORD_PTR Data) {
    auto* self = reinterpret_cast<TWinControl*>(Data);
    TMessage m{Msg, WParam, LParam, 0};
    // No exception crosses the system's window procedures: it is shown, as the
    // application shows every exception that escapes a handler.
    try {
        self->fWindowProc(m);
    } catch (...) {
        if (Application)
            Application->HandleCurrentException();
    }
    if (Msg == WM_NCDESTROY && self->fHandle == Window) {
        RemovePropW(Window, kControlProperty);
        self->fSubclass.Reset();
        self->fHandle = nullptr;
    }
    return m.Result;
}

LRESULT TWinControl::Perform(UINT Msg, WPARAM WParam, LPARAM LParam) {
    TMessage m{Msg, WParam, LParam, 0};
    fWindowProc(m);
    return m.Result;
}

bool TWinControl::Reflect(TMessage& Message) {
    HWND from = nullptr;
    if (Message.Msg == WM_COMMAND)
        from = reinterpret_cast<HWND>(Message.LParam);
    else if (Message.Msg == WM_NOTIFY)
        from = reinterpret_cast<NMHDR*>(Message.LParam)->hwndFrom;
    else if (Message.Msg >= WM_CTLCOLORMSGBOX && Message.Msg <= WM_CTLCOLORSTATIC)
        from = reinterpret_cast<HWND>(Message.LParam);
    else
        return false;
    TWinControl* child = from && from != fHandle ? FromHandle(from) : nullptr;
    if (!child)
        return false;
    Message.Result = child->Perform(CN_BASE + Message.Msg, Message.WParam, Message.LParam);
    return true;
}

void TWinControl::WndProc(TMessage& Message) {
    if (Reflect(Message))
        return;
    if (Message.Msg >= CN_CTLCOLORFIRST && Message.Msg <= CN_CTLCOLORLAST) {
        HDC dc = reinterpret_cast<HDC>(Message.WParam);
        SetTextColor(dc, ColorToRGB(GetFont()->GetColor()));
        SetBkColor(dc, ColorToRGB(GetColor()));
        Message.Result = reinterpret_cast<LRESULT>(Brush());
        return;
    }
    if (Message.Msg >= CN_BASE && Message.Msg < CN_BASE + 0x400)
        return; // reflected notifications that this control does not handle
    DefaultHandler(Message);
}

void TWinControl::DefaultHandler(TMessage& Message) {
    Message.Result = DefSubclassProc(fHandle, Message.Msg, Message.WParam, Message.LParam);
}

HBRUSH TWinControl::Brush() {
    if (!fBrush.Get())
        fBrush.Reset(CreateSolidBrush(ColorToRGB(GetColor())));
    return fBrush.Get();
}

String TWinControl::GetText() const {
    if (!fHandle)
        return fText;
    int n = GetWindowTextLengthW(fHandle);
    String s(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(fHandle, s.data(), n + 1);
    s.resize(static_cast<size_t>(std::max(n, 0)));
    return s;
}

void TWinControl::SetTabOrder(int Value) {
    fTabOrder = Value;
    if (GetParent())
        GetParent()->ArrangeTabOrder();
}

void TWinControl::SetTabStop(bool Value) {
    fTabStop = Value;
    if (fHandle) {
        LONG_PTR style = GetWindowLongPtrW(fHandle, GWL_STYLE);
        style = Value ? (style | WS_TABSTOP) : (style & ~static_cast<LONG_PTR>(WS_TABSTOP));
        SetWindowLongPtrW(fHandle, GWL_STYLE, style);
    }
}

void TWinControl::SetFocus() {
    ::SetFocus(GetHandle());
}

bool TWinControl::Focused() const {
    return fHandle && ::GetFocus() == fHandle;
}

void TWinControl::InsertControl(TControl* Control) {
    auto* w = dynamic_cast<TWinControl*>(Control);
    if (!w)
        throw Exception(L"Only windowed controls can be placed on " + GetName());
    fControls.push_back(Control);
    if (fHandle) {
        w->GetHandle();
        ArrangeTabOrder();
    }
}

void TWinControl::RemoveControl(TControl* Control) {
    std::erase(fControls, Control);
}

void TWinControl::SetParent(TWinControl* Value) {
    TControl::SetParent(Value);
    if (!fHandle)
        return;
    if (Value)
        ::SetParent(fHandle, Value->GetHandle());
    else
        DestroyWindow(fHandle); // a child window cannot live without a parent window
}

void TWinControl::ArrangeTabOrder() {
    if (!fHandle)
        return;
    std::vector<TWinControl*> order;
    for (TControl* c : fControls)
        order.push_back(static_cast<TWinControl*>(c));
    std::stable_sort(order.begin(), order.end(), [](TWinControl* a, TWinControl* b) {
        unsigned x = static_cast<unsigned>(a->fTabOrder), y = static_cast<unsigned>(b->fTabOrder);
        return x < y; // -1 (no tab order) sorts last
    });
    HWND after = HWND_TOP;
    for (TWinControl* c : order) {
        if (!c->fHandle)
            continue;
        SetWindowPos(c->fHandle, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = c->fHandle;
    }
}

void TWinControl::BoundsChanged() {
    if (fHandle)
        MoveWindow(fHandle, fLeft, fTop, fWidth, fHeight, TRUE);
}

void TWinControl::TextChanged() {
    if (fHandle)
        SetWindowTextW(fHandle, fText.c_str());
}

void TWinControl::EnabledChanged() {
    if (fHandle)
        EnableWindow(fHandle, GetEnabled());
}

void TWinControl::VisibleChanged() {
    if (fHandle)
        ShowWindow(fHandle, fVisible ? SW_SHOWNA : SW_HIDE);
}

void TWinControl::ColorChanged() {
    fBrush.Reset();
    for (TControl* c : fControls)
        if (c->fParentColor)
            c->TakeParentColor();
    if (fHandle)
        InvalidateRect(fHandle, nullptr, TRUE);
}

void TWinControl::FontChanged() {
    for (TControl* c : fControls)
        if (c->fParentFont)
            c->TakeParentFont();
    if (fHandle) {
        SendMessageW(fHandle, WM_SETFONT, reinterpret_cast<WPARAM>(GetFont()->Handle()), TRUE);
        InvalidateRect(fHandle, nullptr, TRUE);
    }
}
