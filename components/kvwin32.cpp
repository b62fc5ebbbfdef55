#include "components/kvwin32.h"

namespace {
UINT gComEvent = 0;
UINT gQuitComEvent = 0;
} // namespace

void KvWin32Startup() {
    if (gComEvent)
        return;
    gComEvent = RegisterWindowMessageW(L"kvLinkMsgComEvent");
    gQuitComEvent = RegisterWindowMessageW(L"kvLinkMsgQuitComEvent");
}

UINT KvLinkMsgComEvent() {
    return gComEvent;
}
UINT KvLinkMsgQuitComEvent() {
    return gQuitComEvent;
}
