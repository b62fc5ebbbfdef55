#pragma once
// Native stand-in (see winsock2.h beside it).
#include <ws2bth.h>

constexpr int BLUETOOTH_MAX_NAME_SIZE = 248;
