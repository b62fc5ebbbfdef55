// The conversions of toolkit/text.h, through the system's code pages.
#include "toolkit/text.h"

#include <windows.h>

namespace {

String Widen(UINT codePage, std::string_view s) {
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    String out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::string Narrow(UINT codePage, std::wstring_view s) {
    if (s.empty())
        return {};
    int n = WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

} // namespace

String AnsiToString(std::string_view s) {
    return Widen(CP_ACP, s);
}
AnsiString StringToAnsi(std::wstring_view s) {
    return Narrow(CP_ACP, s);
}
String Utf8ToString(std::string_view s) {
    return Widen(CP_UTF8, s);
}
std::string StringToUtf8(std::wstring_view s) {
    return Narrow(CP_UTF8, s);
}
