// Fuzz target of the form-file parser: any text gives a tree or an EFormParseError that
// names a line of that text. Anything else escaping, a crash or a hang is a finding.
#include "toolkit/formparser.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    std::string_view text(reinterpret_cast<const char*>(Data), Size);
    try {
        ParseFormFile(text);
    } catch (const EFormParseError& e) {
        long lines = 1 + std::count(text.begin(), text.end(), '\n');
        if (e.Line() < 1 || e.Line() > lines)
            std::abort();
    }
    return 0;
}
