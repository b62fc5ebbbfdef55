// Fuzz target of the world-file parser: any text gives a world that Install would take
// (CheckWorld), or an EWorldFileError that names a line of that text. Anything else
// escaping, a crash or a hang is a finding.
#include "sim/sim_worldfile.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    std::string_view text(reinterpret_cast<const char*>(Data), Size);
    kvsim::TWorld world;
    try {
        world = kvsim::ParseWorld(text);
    } catch (const kvsim::EWorldFileError& e) {
        long lines = 1 + std::count(text.begin(), text.end(), '\n');
        if (e.Line() < 1 || e.Line() > lines)
            std::abort();
        return 0;
    }
    kvsim::CheckWorld(world); // a refusal escapes as std::invalid_argument
    return 0;
}
