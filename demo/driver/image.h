#pragma once
// TImage: a picture as plain pixels, copied from a device context, for saving as PNG
// and for checking what a window shows.

#include <cstdint>
#include <vector>

#include <windows.h>

namespace kvdriver {

struct TImage {
    int Width = 0;
    int Height = 0;
    // 0xRRGGBB values, row by row from the top.
    std::vector<std::uint32_t> Pixels;

    std::uint32_t At(int X, int Y) const { return Pixels[static_cast<size_t>(Y) * Width + X]; }
    bool operator==(const TImage&) const = default;
};

// The Width x Height pixels of Source starting at (X, Y), in Source's coordinates.
// An empty image when the copy fails.
TImage CopyFromDC(HDC Source, int X, int Y, int Width, int Height);

// The colour of a pixel as a COLORREF reads it (0x00BBGGRR), for comparing with GetSysColor.
inline std::uint32_t PixelOf(COLORREF Color) {
    return (GetRValue(Color) << 16) | (GetGValue(Color) << 8) | GetBValue(Color);
}

} // namespace kvdriver
