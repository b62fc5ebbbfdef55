#pragma once
// kvsysutils: small system helpers of the component library.

#include "toolkit/text.h"

#include <string_view>

#include <windows.h>

// The window in the foreground now: the owner of message boxes and system dialogs.
HWND GetOwnerWindow();

// The identifier as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": upper-case hexadecimal,
// always 38 characters, the eight bytes in storage order.
String GuidToString(const GUID& G);

// The system's text for an error code (GetLastError, WSAGetLastError), without trailing
// blanks, control characters and full stops; empty for a code the system has no text for.
String SystemMessage(DWORD Code);

// Equal in Unicode's simple case folding, as Windows compares the names of devices and
// services.
bool SameName(std::wstring_view A, std::wstring_view B);
