#include "components/kvsysutils.h"

#include "toolkit/format.h"

HWND GetOwnerWindow() {
    return GetForegroundWindow();
}

String GuidToString(const GUID& G) {
    return Format(L"{%.8x-%.4x-%.4x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x}",
                  {static_cast<unsigned long>(G.Data1), static_cast<unsigned>(G.Data2),
                   static_cast<unsigned>(G.Data3), static_cast<unsigned>(G.Data4[0]),
                   static_cast<unsigned>(G.Data4[1]), static_cast<unsigned>(G.Data4[2]),
                   static_cast<unsigned>(G.Data4[3]), static_cast<unsigned>(G.Data4[4]),
                   static_cast<unsigned>(G.Data4[5]), static_cast<unsigned>(G.Data4[6]),
                   static_cast<unsigned>(G.Data4[7])});
}

String SystemMessage(DWORD Code) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, Code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    String s = n && text ? String(text, n) : String();
    if (text)
        LocalFree(text);
    while (!s.empty() && (s.back() <= L' ' || s.back() == L'.'))
        s.pop_back();
    return s;
}

bool SameName(std::wstring_view A, std::wstring_view B) {
    return A.size() == B.size() &&
           CompareStringOrdinal(A.data(), static_cast<int>(A.size()), B.data(),
                                static_cast<int>(B.size()), TRUE) == CSTR_EQUAL;
}
