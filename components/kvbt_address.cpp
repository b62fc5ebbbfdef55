#include "components/kvbt_address.h"

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    return -1;
}

} // namespace

String BtAddressToText(BLUETOOTH_ADDRESS Address) {
    const wchar_t* digits = L"0123456789ABCDEF";
    String text;
    for (int shift = 40; shift >= 0; shift -= 8) {
        const unsigned byte = static_cast<unsigned>(Address.ullLong >> shift & 0xFF);
        if (!text.empty())
            text += L':';
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

bool TextToBtAddress(const String& Text, BLUETOOTH_ADDRESS& Address) {
    // 12 digits alone, or 17 characters with the same separator after every pair.
    const size_t step = Text.size() == 12 ? 2 : Text.size() == 17 ? 3 : 0;
    if (step == 0)
        return false;
    const wchar_t separator = step == 3 ? Text[2] : 0;
    if (step == 3 && separator != L':' && separator != L'-')
        return false;
    unsigned long long value = 0;
    for (size_t i = 0; i < Text.size(); i += step) {
        const int hi = HexDigit(Text[i]), lo = HexDigit(Text[i + 1]);
        if (hi < 0 || lo < 0 || (step == 3 && i + 2 < Text.size() && Text[i + 2] != separator))
            return false;
        value = value << 8 | static_cast<unsigned>(hi * 16 + lo);
    }
    Address.ullLong = value;
    return true;
}
