#include "demo/driver/image.h"

namespace kvdriver {

TImage CopyFromDC(HDC Source, int X, int Y, int Width, int Height) {
    TImage image;
    if (!Source || Width <= 0 || Height <= 0)
        return image;
    HDC memory = CreateCompatibleDC(Source);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = Width;
    bi.bmiHeader.biHeight = -Height; // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, Width, Height, Source, X, Y, SRCCOPY)) {
            GdiFlush();
            // A 32-bit DIB holds blue, green, red, unused: 0x00RRGGBB as a little-endian word.
            const auto* px = static_cast<const std::uint32_t*>(bits);
            image.Width = Width;
            image.Height = Height;
            image.Pixels.resize(static_cast<size_t>(Width) * Height);
            for (size_t i = 0; i < image.Pixels.size(); ++i)
                image.Pixels[i] = px[i] & 0xFFFFFF;
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    return image;
}

} // namespace kvdriver
