// TkvTimer: the platform timer 1 on a hidden window of a private class.
#include "components/kvclasses.h"

namespace {

const wchar_t kTimerClass[] = L"TkvTimerWindow";
const UINT_PTR kTimerId = 1;

} // namespace

LRESULT CALLBACK TkvTimer::WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    if (Msg == WM_NCCREATE) {
        auto* self =
            static_cast<TkvTimer*>(reinterpret_cast<CREATESTRUCTW*>(LParam)->lpCreateParams);
        self->FWindowHandle = Window; // messages arrive before CreateWindowExW returns
        SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TkvTimer*>(GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (Msg == WM_NCDESTROY)
        SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
    if (!self)
        return DefWindowProcW(Window, Msg, WParam, LParam);
    TMessage m{Msg, WParam, LParam, 0};
    self->WndProc(m);
    return m.Result;
}

TkvTimer::TkvTimer() {
    FEnabled = true;
    FInterval = 1000;
    static const ATOM registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &TkvTimer::WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kTimerClass;
        return RegisterClassExW(&wc);
    }();
    (void)registered;
    FWindowHandle = CreateWindowExW(0, kTimerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    GetModuleHandleW(nullptr), this);
}

TkvTimer::~TkvTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindowHandle);
}

void TkvTimer::SetEnabled(bool Value) {
    if (Value != FEnabled) {
        FEnabled = Value;
        UpdateTimer();
    }
}

void TkvTimer::SetInterval(std::uint32_t Value) {
    if (Value != FInterval) {
        FInterval = Value;
        UpdateTimer();
    }
}

void TkvTimer::SetOnTimer(TNotifyEvent Value) {
    FOnTimer = Value;
    UpdateTimer();
}

void TkvTimer::UpdateTimer() {
    KillTimer(FWindowHandle, kTimerId);
    if (FInterval != 0 && FEnabled && FOnTimer)
        SetTimer(FWindowHandle, kTimerId, FInterval, nullptr);
}

void TkvTimer::WndProc(TMessage& Msg) {
    if (Msg.Msg == WM_TIMER) {
        try {
            Timer();
        } catch (...) {
        }
        return;
    }
    Msg.Result = DefWindowProcW(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TkvTimer::Timer() {
    if (FEnabled && FOnTimer)
        FOnTimer(this);
}
