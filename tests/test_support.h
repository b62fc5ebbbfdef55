#pragma once
// Helpers shared by the test programs: waiting on a condition while the main thread
// keeps pumping messages, with a generous deadline instead of a bare Sleep.

#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <functional>

#include <windows.h>

// Pumps messages and synchronized calls until Condition holds or TimeoutMs pass.
inline bool PumpUntil(const std::function<bool()>& Condition, DWORD TimeoutMs = 10000) {
    ULONGLONG start = GetTickCount64();
    while (!Condition()) {
        if (GetTickCount64() - start > TimeoutMs)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Application->ProcessMessages();
    }
    return true;
}

// Pumps messages for the given time (for "nothing else happens" checks after an event).
inline void PumpFor(DWORD Ms) {
    ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < Ms) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        Application->ProcessMessages();
    }
}
