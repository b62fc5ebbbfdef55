#pragma once
// Screenshots of any program's window, taken from the screen itself (the screen DC), so
// the picture is what a person sees there, including whatever covers the window.

#include "demo/driver/image.h"
#include "demo/driver/wait.h"
#include "demo/driver/window.h"

namespace kvdriver {

// Asks Window to repaint, then copies its screen rectangle until two copies a moment
// apart agree (the program has painted and the display shows it). EDriverError when
// the window is gone or the picture keeps changing until the deadline.
TImage CaptureWindow(const TWindow& Window, DWORD TimeoutMs = kDefaultTimeoutMs);

// CaptureWindow, written to Path as a PNG file; EDriverError when it cannot be written.
TImage SaveScreenshot(const TWindow& Window, const String& Path,
                      DWORD TimeoutMs = kDefaultTimeoutMs);

} // namespace kvdriver
