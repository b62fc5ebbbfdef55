#include "toolkit/forms.h"

#include "toolkit/application.h"
#include "toolkit/exceptions.h"

namespace {

const wchar_t kFormClass[] = L"TkForm";

void RegisterFormClass() {
    static bool registered = false;
    if (registered)
        return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.lpszClassName = kFormClass;
    RegisterClassExW(&wc);
    registered = true;
}

} // namespace

TForm::TForm(TComponent* AOwner) : TWinControl(AOwner) {
    fVisible = false;
    SetColor(clBtnFace);
    if (Application && !Application->GetMainForm())
        Application->SetMainForm(this);
}

TForm::~TForm() {
    DestroyComponents();
    if (Application && Application->GetMainForm() == this)
        Application->SetMainForm(nullptr);
}

DWORD TForm::Style() const {
    DWORD s = WS_CLIPCHILDREN;
    switch (fBorderStyle) {
    case bsNone:
        return s | WS_POPUP;
    case bsSingle:
    case bsToolWindow:
        return s | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
    case bsDialog:
        return s | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    case bsSizeable:
    case bsSizeToolWin:
        break;
    }
    return s | WS_OVERLAPPEDWINDOW;
}

DWORD TForm::ExStyle() const {
    DWORD s = WS_EX_CONTROLPARENT;
    if (fBorderStyle == bsDialog)
        s |= WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE;
    if (fBorderStyle == bsToolWindow || fBorderStyle == bsSizeToolWin)
        s |= WS_EX_TOOLWINDOW;
    return s;
}

SIZE TForm::FrameSize() const {
    RECT r{0, 0, 0, 0};
    AdjustWindowRectEx(&r, Style(), FALSE, ExStyle());
    return {r.right - r.left, r.bottom - r.top};
}

void TForm::CreateParams(TCreateParams& Params) {
    RegisterFormClass();
    Params.ClassName = kFormClass;
    Params.Style = Style();
    Params.ExStyle = ExStyle();
    SIZE frame = FrameSize();
    Params.X = fLeft;
    Params.Y = fTop;
    Params.Width = fClientWidth + frame.cx;
    Params.Height = fClientHeight + frame.cy;
}

int TForm::GetWidth() const {
    return fClientWidth + FrameSize().cx;
}
int TForm::GetHeight() const {
    return fClientHeight + FrameSize().cy;
}

void TForm::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    SIZE frame = FrameSize();
    fClientWidth = AWidth - frame.cx;
    fClientHeight = AHeight - frame.cy;
    fLeft = ALeft;
    fTop = ATop;
    BoundsChanged();
}

void TForm::SetClientWidth(int Value) {
    fClientWidth = Value;
    BoundsChanged();
}

void TForm::SetClientHeight(int Value) {
    fClientHeight = Value;
    BoundsChanged();
}

void TForm::BoundsChanged() {
    if (HandleAllocated())
        MoveWindow(WindowHandle(), fLeft, fTop, GetWidth(), GetHeight(), TRUE);
}

void TForm::Show() {
    HWND w = GetHandle();
    if (fOnShow)
        fOnShow(this);
    fVisible = true;
    ShowWindow(w, SW_SHOWNORMAL);
    SetForegroundWindow(w);
    if (HWND first = GetNextDlgTabItem(w, nullptr, FALSE))
        ::SetFocus(first);
    UpdateWindow(w);
}

void TForm::Hide() {
    fVisible = false;
    if (HandleAllocated())
        ShowWindow(WindowHandle(), SW_HIDE);
}

void TForm::Close() {
    TCloseAction action = caHide;
    if (fOnClose)
        fOnClose(this, action);
    if (action == caNone)
        return;
    Hide();
    if (Application && Application->GetMainForm() == this)
        Application->Terminate();
}

void TForm::WndProc(TMessage& Message) {
    switch (Message.Msg) {
    case WM_CLOSE:
        Close();
        Message.Result = 0;
        return;
    case WM_ERASEBKGND: {
        RECT r;
        GetClientRect(WindowHandle(), &r);
        FillRect(reinterpret_cast<HDC>(Message.WParam), &r, Brush());
        Message.Result = 1;
        return;
    }
    default:
        TWinControl::WndProc(Message);
    }
}

std::string LoadFormResource(const wchar_t* Name) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC info = FindResourceW(module, Name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    HGLOBAL data = info ? LoadResource(module, info) : nullptr;
    const void* bytes = data ? LockResource(data) : nullptr;
    if (!bytes)
        throw Exception(String(L"Form resource ") + Name + L" not found");
    return std::string(static_cast<const char*>(bytes), SizeofResource(module, info));
}
