#include "demo/driver/driver_error.h"

#include <windows.h>

namespace kvdriver {

void ThrowSystemError(const String& What, DWORD Error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, Error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    String reason = text ? text : L"";
    LocalFree(text);
    while (!reason.empty() &&
           (reason.back() == L'\n' || reason.back() == L'\r' || reason.back() == L' '))
        reason.pop_back();
    throw EDriverError(What + L": error " + IntToStr(Error) +
                       (reason.empty() ? L"" : L" (" + reason + L")"));
}

} // namespace kvdriver
