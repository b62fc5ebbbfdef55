// TkvTimer: the platform timer 1 on a hidden window of a private class.
#include "components/kvclasses.h"

#include "toolkit/exceptions.h"
#include "toolkit/messagewindow.h"

namespace {

const wchar_t kTimerClass[] = L"TkvTimerWindow";
const UINT_PTR kTimerId = 1;
// Posted from another thread: Restart (WParam: the interval, LParam: start).
const UINT WM_KV_TIMER_RESTART = WM_APP + 0x3A2;
// Sent from another thread: the timer goes.
const UINT WM_KV_TIMER_DESTROY = WM_APP + 0x3A3;

} // namespace

LRESULT CALLBACK TkvTimer::WindowProc(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* self = static_cast<TkvTimer*>(MessageWindowSelf(Window, Msg, LParam));
    if (self && Msg == WM_NCCREATE)
        self->FWindowHandle = Window; // messages arrive before CreateWindowExW returns
    if (!self)
        return DefWindowProcW(Window, Msg, WParam, LParam);
    TMessage m{Msg, WParam, LParam, 0};
    self->WndProc(m);
    return m.Result;
}

TkvTimer::TkvTimer() : fThreadId(GetCurrentThreadId()) {
    FEnabled = true;
    FInterval = 1000;
    FWindowHandle = CreateMessageWindow(kTimerClass, &TkvTimer::WindowProc, this);
}

TkvTimer::~TkvTimer() {
    if (GetCurrentThreadId() == fThreadId)
        DestroyWindowAndTimer();
    else // only the window's own thread can kill its timer and destroy it
        SendMessageW(FWindowHandle, WM_KV_TIMER_DESTROY, 0, 0);
}

void TkvTimer::DestroyWindowAndTimer() {
    FEnabled = false;
    UpdateTimer();
    DestroyWindow(FWindowHandle);
}

void TkvTimer::CheckThread() const {
    if (GetCurrentThreadId() != fThreadId)
        throw Exception(L"TkvTimer: Enabled, Interval and OnTimer are written on the thread "
                        L"that created the timer");
}

void TkvTimer::Restart(bool Start, std::uint32_t Interval) {
    if (GetCurrentThreadId() == fThreadId)
        DoRestart(Start, Interval);
    else
        PostMessageW(FWindowHandle, WM_KV_TIMER_RESTART, Interval, Start);
}

void TkvTimer::DoRestart(bool Start, std::uint32_t Interval) {
    SetEnabled(false);
    if (!Start)
        return;
    if (Interval != 0)
        FInterval = Interval; // directly: the countdown starts with the next line
    SetEnabled(true);
}

void TkvTimer::SetEnabled(bool Value) {
    CheckThread();
    if (Value != FEnabled) {
        FEnabled = Value;
        UpdateTimer();
    }
}

void TkvTimer::SetInterval(std::uint32_t Value) {
    CheckThread();
    if (Value != FInterval) {
        FInterval = Value;
        UpdateTimer();
    }
}

void TkvTimer::SetOnTimer(TNotifyEvent Value) {
    CheckThread();
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
    if (Msg.Msg == WM_KV_TIMER_RESTART) {
        DoRestart(Msg.LParam != 0, static_cast<std::uint32_t>(Msg.WParam));
        return;
    }
    if (Msg.Msg == WM_KV_TIMER_DESTROY) {
        DestroyWindowAndTimer();
        return;
    }
    Msg.Result = DefWindowProcW(FWindowHandle, Msg.Msg, Msg.WParam, Msg.LParam);
}

void TkvTimer::Timer() {
    if (FEnabled && FOnTimer)
        FOnTimer(this);
}
