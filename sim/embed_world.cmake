# Writes the text of a world file into a C++ source as a byte array, so that the
# library carries its default world.
#   cmake -DIN=default.world -DOUT=default_world.cpp -P embed_world.cmake
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
file(WRITE "${OUT}.tmp"
  "// Generated from ${IN}; do not edit.\n"
  "#include \"sim/sim_worldfile.h\"\n\n"
  "namespace {\nconst char kText[] = {${bytes}0};\n}\n\n"
  "std::string_view kvsim::DefaultWorldText() { return {kText, sizeof kText - 1}; }\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
