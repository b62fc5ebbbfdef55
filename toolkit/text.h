#pragma once
// Text types of the toolkit: String is UTF-16 text, byte strings are std::string.
// The conversions live apart from the rest (text_codepages.cpp, through the system's
// code pages), so that the plain-C++ parsers also build natively for fuzzing, where
// tests/fuzz supplies UTF-8 conversions of its own.

#include <string>
#include <string_view>

using String = std::wstring;
using AnsiString = std::string;

// Conversions through the system ANSI code page; they never fail.
String AnsiToString(std::string_view s);
AnsiString StringToAnsi(std::wstring_view s);

// Conversions from and to UTF-8 (form files, messages of std::exception).
String Utf8ToString(std::string_view s);
std::string StringToUtf8(std::wstring_view s);

String IntToStr(long long value);

// Compares two texts without regard to the case of ASCII letters.
bool SameText(std::wstring_view a, std::wstring_view b);
