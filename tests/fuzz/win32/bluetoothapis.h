#pragma once
// Native stand-in (see winsock2.h beside it).
#include <ws2bth.h>

constexpr int BLUETOOTH_MAX_NAME_SIZE = 248;

using BYTE = unsigned char;
struct BLUETOOTH_ADDRESS {
    union {
        BTH_ADDR ullLong;
        BYTE rgBytes[6];
    };
};
