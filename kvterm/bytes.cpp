#include "kvterm/bytes.h"

#include <algorithm>
#include <cstdio>

std::string TEolTranslator::Translate(std::string_view Bytes) {
    std::string out;
    out.reserve(Bytes.size() + Bytes.size() / 8);
    for (char c : Bytes) {
        if (c == '\n' && fAfterCr) {
            fAfterCr = false; // the second half of CR LF: written already
            continue;
        }
        fAfterCr = c == '\r';
        if (c == '\r' || c == '\n')
            out += fEol;
        else
            out += c;
    }
    return out;
}

std::string HexLine(std::uint64_t Offset, std::string_view Bytes) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%08llX  ", static_cast<unsigned long long>(Offset));
    std::string line = offset;
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < 16; ++i) {
        if (i == 8)
            line += ' ';
        if (i < Bytes.size()) {
            const auto b = static_cast<unsigned char>(Bytes[i]);
            line += digits[b >> 4];
            line += digits[b & 15];
            line += ' ';
        } else {
            line += "   ";
        }
    }
    line += " |";
    for (size_t i = 0; i < Bytes.size() && i < 16; ++i)
        line += Bytes[i] >= 0x20 && Bytes[i] < 0x7F ? Bytes[i] : '.';
    line += '|';
    return line;
}

void THexDump::Add(std::string_view Bytes, std::vector<std::string>& Lines) {
    while (!Bytes.empty()) {
        const size_t take = std::min(Bytes.size(), 16 - fLine.size());
        fLine.append(Bytes.substr(0, take));
        Bytes.remove_prefix(take);
        if (fLine.size() == 16)
            Flush(Lines);
    }
}

void THexDump::Flush(std::vector<std::string>& Lines) {
    if (fLine.empty())
        return;
    Lines.push_back(fPrefix + HexLine(fOffset, fLine));
    fOffset += fLine.size();
    fLine.clear();
}
