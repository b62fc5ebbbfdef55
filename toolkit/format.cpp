#include "toolkit/format.h"

#include "toolkit/exceptions.h"

namespace {

[[noreturn]] void FormatError(const String& fmt, const wchar_t* why) {
    throw Exception(L"Format '" + fmt + L"' invalid or incompatible with argument: " + why);
}

String Digits(std::uint64_t v, unsigned base) {
    if (v == 0)
        return L"0";
    String s;
    while (v) {
        unsigned d = static_cast<unsigned>(v % base);
        s.insert(s.begin(), static_cast<wchar_t>(d < 10 ? L'0' + d : L'A' + d - 10));
        v /= base;
    }
    return s;
}

// A negative signed argument of %u or %x is taken as its two's complement,
// 32 bits wide when it fits an int.
std::uint64_t AsUnsignedBits(const TVarRec& a) {
    if (a.Kind() == TVarRec::TKind::vkUnsigned)
        return a.AsUnsigned();
    std::int64_t v = a.AsSigned();
    if (v < 0 && v >= INT32_MIN)
        return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
    return static_cast<std::uint64_t>(v);
}

} // namespace

String Format(const String& fmt, const TVarRecs& args) {
    String out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        wchar_t c = fmt[i];
        if (c != L'%') {
            out += c;
            continue;
        }
        if (++i >= fmt.size())
            FormatError(fmt, L"a lone '%' at the end");
        if (fmt[i] == L'%') {
            out += L'%';
            continue;
        }
        bool left = false;
        if (fmt[i] == L'-') {
            left = true;
            ++i;
        }
        size_t width = 0;
        while (i < fmt.size() && fmt[i] >= L'0' && fmt[i] <= L'9')
            width = width * 10 + static_cast<size_t>(fmt[i++] - L'0');
        bool hasPrecision = false;
        size_t precision = 0;
        if (i < fmt.size() && fmt[i] == L'.') {
            hasPrecision = true;
            ++i;
            while (i < fmt.size() && fmt[i] >= L'0' && fmt[i] <= L'9')
                precision = precision * 10 + static_cast<size_t>(fmt[i++] - L'0');
        }
        if (i >= fmt.size())
            FormatError(fmt, L"a directive without its type");
        wchar_t type = fmt[i];
        if (next >= args.size())
            FormatError(fmt, L"too few arguments");
        const TVarRec& a = args[next++];
        bool isText = a.Kind() == TVarRec::TKind::vkText;
        String field;
        switch (type) {
        case L'd':
        case L'u':
        case L'x': {
            if (isText)
                FormatError(fmt, L"a text where a number is expected");
            bool negative = false;
            std::uint64_t magnitude;
            if (type == L'd' && a.Kind() == TVarRec::TKind::vkSigned && a.AsSigned() < 0) {
                negative = true;
                magnitude = 0 - static_cast<std::uint64_t>(a.AsSigned());
            } else {
                magnitude = AsUnsignedBits(a);
            }
            field = Digits(magnitude, type == L'x' ? 16 : 10);
            if (hasPrecision && field.size() < precision)
                field.insert(0, precision - field.size(), L'0');
            if (negative)
                field.insert(0, 1, L'-');
            break;
        }
        case L's':
            if (!isText)
                FormatError(fmt, L"a number where a text is expected");
            field = a.AsText();
            if (hasPrecision && field.size() > precision)
                field.resize(precision);
            break;
        default:
            FormatError(fmt, L"an unknown directive");
        }
        if (field.size() < width) {
            if (left)
                field.append(width - field.size(), L' ');
            else
                field.insert(0, width - field.size(), L' ');
        }
        out += field;
    }
    return out;
}
