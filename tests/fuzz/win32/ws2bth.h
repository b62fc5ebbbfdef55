#pragma once
// Native stand-in (see winsock2.h beside it).
#include <winsock2.h>

using BTH_ADDR = ULONGLONG;
