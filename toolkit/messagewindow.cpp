#include "toolkit/messagewindow.h"

HWND CreateMessageWindow(const wchar_t* ClassName, WNDPROC Proc, void* Self) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = ClassName;
    RegisterClassExW(&wc);
    return CreateWindowExW(0, ClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           Self);
}

void* MessageWindowSelf(HWND Window, UINT Msg, LPARAM LParam) {
    if (Msg == WM_NCCREATE)
        SetWindowLongPtrW(
            Window, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams));
    void* self = reinterpret_cast<void*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (Msg == WM_NCDESTROY)
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    return self;
}
