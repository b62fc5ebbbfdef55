#pragma once
// World files: the text form of a simulated world (the format is described in
// sim/README.md). Reading either returns a whole world or throws; nothing half-read
// is ever returned.

#include "sim/sim_world.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace kvsim {

// Bad input in a world file. The message starts with "line N: ".
class EWorldFileError : public std::runtime_error {
public:
    EWorldFileError(int Line, const std::string& Message);
    int Line() const { return fLine; }

private:
    int fLine;
};

// Reads a world from its text (UTF-8; a byte-order mark and CR LF line ends are allowed).
TWorld ParseWorld(std::string_view Text);
// Reads a world file; a file that cannot be read throws std::runtime_error naming it.
TWorld LoadWorldFile(const std::wstring& Path);
// The built-in world: sim/worlds/default.world, carried inside the library.
TWorld DefaultWorld();
std::string_view DefaultWorldText();

} // namespace kvsim
