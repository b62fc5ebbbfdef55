// The UTF-8 conversions of toolkit/text.h for the native fuzzing build, standing in for
// the system's code pages: a String holds UTF-16 code units as on Windows (surrogate
// pairs above U+FFFF), so lengths count as they do there, and a malformed sequence
// becomes U+FFFD as MultiByteToWideChar makes it.
#include "toolkit/text.h"

namespace {

const wchar_t kReplacement = 0xFFFD;

void AppendUtf16(String& out, char32_t c) {
    if (c < 0x10000) {
        out += static_cast<wchar_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    const unsigned char lead[] = {0x00, 0xC0, 0xE0, 0xF0};
    int more = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(lead[more] | c >> (6 * more));
    for (int k = more - 1; k >= 0; --k)
        out += static_cast<char>(0x80 | (c >> (6 * k) & 0x3F));
}

} // namespace

String Utf8ToString(std::string_view s) {
    String out;
    size_t i = 0;
    while (i < s.size()) {
        unsigned char lead = static_cast<unsigned char>(s[i]);
        int more = lead < 0x80   ? 0
                   : lead < 0xC2 ? -1
                   : lead < 0xE0 ? 1
                   : lead < 0xF0 ? 2
                   : lead < 0xF5 ? 3
                                 : -1;
        ++i;
        if (more < 0) {
            out += kReplacement;
            continue;
        }
        char32_t c = more == 0 ? lead : lead & (0x3F >> more);
        // The bounds of the second byte rule out overlong forms, surrogates and values
        // above U+10FFFF; a sequence cut short is replaced once, its good bytes consumed.
        unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
        unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
        bool ok = true;
        for (int k = 0; k < more; ++k) {
            unsigned char next = i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
            if (next < low || next > high) {
                ok = false;
                break;
            }
            c = c << 6 | (next & 0x3F);
            ++i;
            low = 0x80;
            high = 0xBF;
        }
        if (ok)
            AppendUtf16(out, c);
        else
            out += kReplacement;
    }
    return out;
}

std::string StringToUtf8(std::wstring_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t c = static_cast<char32_t>(s[i]) & 0xFFFF;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(s[++i]) - 0xDC00);
        else if (c >= 0xD800 && c < 0xE000)
            c = kReplacement;
        AppendUtf8(out, c);
    }
    return out;
}
