#pragma once
// Waits for what a session waits for in another program's window: a text to appear, a
// list box line, a window to close. On timeout the EDriverError also says what the
// window showed last, so a failed session explains itself.

#include "demo/driver/wait.h"
#include "demo/driver/window.h"

namespace kvdriver {

// Until the window's text (a memo's whole text) contains Part.
void WaitForText(const TWindow& Window, const String& Part, DWORD TimeoutMs = kDefaultTimeoutMs);

// Until the list box has an item equal to Item.
void WaitForListItem(const TWindow& List, const String& Item, DWORD TimeoutMs = kDefaultTimeoutMs);

// Until the window is gone or hidden.
void WaitForClosed(const TWindow& Window, DWORD TimeoutMs = kDefaultTimeoutMs);

} // namespace kvdriver
