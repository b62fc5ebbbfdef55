#pragma once
// A native stand-in for the few Windows types that the simulated world names, so that
// the world-file parser builds for fuzzing on Linux. Sizes are those of 64-bit Windows.

#include <cstdint>

using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using ULONGLONG = std::uint64_t;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

constexpr DWORD ERROR_NOT_AUTHENTICATED = 1244;
