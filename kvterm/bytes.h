#pragma once
// What kvterm does to a byte stream on its way: line ends rewritten, hex-dump lines.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Rewrites the line ends of a stream: CR LF, LF and a lone CR each become Eol. A CR at
// the end of one piece and an LF at the start of the next are one line end.
class TEolTranslator {
public:
    explicit TEolTranslator(std::string Eol) : fEol(std::move(Eol)) {}
    std::string Translate(std::string_view Bytes);

private:
    std::string fEol;
    bool fAfterCr = false;
};

// One hex-dump line of up to 16 bytes at Offset in the stream:
//   "00000010  48 65 6C 6C 6F 0D 0A                                |Hello..|"
// the offset (8 hexadecimal digits, more past 4 GiB), the bytes in hexadecimal with a
// gap after the eighth, padded to 16, and the bytes as text, '.' for anything but
// printable ASCII.
std::string HexLine(std::uint64_t Offset, std::string_view Bytes);

// Cuts a stream into hex-dump lines of 16 bytes, each line with Prefix before it. The
// bytes of a line not yet full wait for more, or for Flush.
class THexDump {
public:
    explicit THexDump(std::string Prefix = {}) : fPrefix(std::move(Prefix)) {}
    // Adds the lines that Bytes completes.
    void Add(std::string_view Bytes, std::vector<std::string>& Lines);
    // Adds the line not yet full, if any; the stream goes on after it.
    void Flush(std::vector<std::string>& Lines);
    bool Pending() const { return !fLine.empty(); }

private:
    std::string fPrefix;
    std::uint64_t fOffset = 0; // of fLine's first byte
    std::string fLine;
};
