#include "demo/driver/wait.h"

#include "demo/driver/driver_error.h"

namespace kvdriver {

namespace {

// False when a WM_QUIT arrived: it is posted again for the thread's own loop.
bool PumpFor(DWORD Ms) {
    ULONGLONG end = GetTickCount64() + Ms;
    for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return false;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

} // namespace

void WaitUntil(const std::function<bool()>& Condition, const String& What, DWORD TimeoutMs,
               DWORD PollMs) {
    ULONGLONG start = GetTickCount64();
    while (!Condition()) {
        if (GetTickCount64() - start >= TimeoutMs)
            throw EDriverError(L"timed out after " + IntToStr(TimeoutMs) + L" ms waiting for " +
                               What);
        if (!PumpFor(PollMs))
            throw EDriverError(L"the thread was told to quit while waiting for " + What);
    }
}

} // namespace kvdriver
