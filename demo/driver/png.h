#pragma once
// Writes a TImage as a PNG file (8-bit RGB, stored without compression: no compressor
// needed, and a screenshot stays small enough for a test run).

#include "demo/driver/image.h"

#include <string>

namespace kvdriver {

// True when the whole file was written; an empty image writes nothing and gives false.
bool WritePng(const TImage& Image, const std::wstring& Path);

} // namespace kvdriver
