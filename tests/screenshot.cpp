#include "screenshot.h"

#include "demo/driver/png.h"

bool SaveWindowPng(HWND Window, const std::wstring& Path) {
    RECT r;
    if (!GetWindowRect(Window, &r))
        return false;
    RedrawWindow(Window, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
    HDC source = GetWindowDC(Window);
    kvdriver::TImage image = kvdriver::CopyFromDC(source, 0, 0, r.right - r.left, r.bottom - r.top);
    ReleaseDC(Window, source);
    return kvdriver::WritePng(image, Path);
}
