#include "demo/driver/screen_capture.h"

#include "demo/driver/driver_error.h"
#include "demo/driver/png.h"

#include <optional>

namespace kvdriver {

namespace {

// Apart by more than the time a program under Wine takes to bring a painted window to
// the display.
constexpr DWORD kSettleMs = 150;

TImage CopyFromScreen(const TWindow& Window) {
    RECT r = Window.ScreenRect();
    HDC screen = GetDC(nullptr);
    if (!screen)
        ThrowSystemError(L"cannot get the screen to capture " + Window.Describe(), GetLastError());
    TImage image = CopyFromDC(screen, r.left, r.top, r.right - r.left, r.bottom - r.top);
    ReleaseDC(nullptr, screen);
    if (image.Pixels.empty())
        throw EDriverError(L"cannot copy " + Window.Describe() + L" from the screen");
    return image;
}

} // namespace

TImage CaptureWindow(const TWindow& Window, DWORD TimeoutMs) {
    // RDW_UPDATENOW sends WM_PAINT and waits without a deadline: first make sure that the
    // program answers at all.
    Window.Send(WM_NULL);
    RedrawWindow(Window.Handle(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    std::optional<TImage> last;
    WaitUntil(
        [&] {
            TImage next = CopyFromScreen(Window);
            bool settled = last && next == *last;
            last = std::move(next);
            return settled;
        },
        L"the picture of " + Window.Describe() + L" to settle", TimeoutMs, kSettleMs);
    return *last;
}

TImage SaveScreenshot(const TWindow& Window, const String& Path, DWORD TimeoutMs) {
    TImage image = CaptureWindow(Window, TimeoutMs);
    if (!WritePng(image, Path))
        throw EDriverError(L"cannot write the screenshot of " + Window.Describe() + L" to " + Path);
    return image;
}

} // namespace kvdriver
