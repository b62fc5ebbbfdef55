#pragma once
// Format: printf-like formatting over a list of typed arguments.
//
// Directives: %d (signed decimal), %u (unsigned decimal), %x (hexadecimal, digits
// A-F upper case), %s (text) and %% (a percent sign), each with an optional '-'
// (left-justify), a width and a precision. For the integer directives the precision
// is the minimum number of digits ("%.8x" pads with zeros to eight digits); for %s it
// is the maximum number of characters. A directive without a matching argument, or
// with an argument of the wrong kind, raises Exception. Unused arguments are ignored.

#include "toolkit/text.h"

#include <concepts>
#include <cstdint>
#include <vector>

class TVarRec {
public:
    enum class TKind { vkSigned, vkUnsigned, vkText };

    template <std::signed_integral T> TVarRec(T v) : fKind(TKind::vkSigned), fSigned(v) {}
    template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>) TVarRec(T v) : fKind(TKind::vkUnsigned), fUnsigned(v) {}
    TVarRec(String v) : fKind(TKind::vkText), fText(std::move(v)) {}
    TVarRec(const wchar_t* v) : fKind(TKind::vkText), fText(v ? v : L"") {}

    TKind Kind() const { return fKind; }
    std::int64_t AsSigned() const { return fSigned; }
    std::uint64_t AsUnsigned() const { return fUnsigned; }
    const String& AsText() const { return fText; }

private:
    TKind fKind;
    std::int64_t fSigned = 0;
    std::uint64_t fUnsigned = 0;
    String fText;
};

using TVarRecs = std::vector<TVarRec>;

String Format(const String& fmt, const TVarRecs& args);
