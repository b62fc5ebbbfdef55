#include "demo/driver/png.h"

#include <array>
#include <cstdio>

namespace kvdriver {

namespace {

std::uint32_t Crc32(const std::uint8_t* data, size_t n) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Chunk(std::vector<std::uint8_t>& out, const char* type,
           const std::vector<std::uint8_t>& data) {
    Put32(out, static_cast<std::uint32_t>(data.size()));
    std::vector<std::uint8_t> body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    Put32(out, Crc32(body.data(), body.size()));
}

// A zlib stream of stored (uncompressed) blocks.
std::vector<std::uint8_t> ZlibStored(const std::vector<std::uint8_t>& raw) {
    std::vector<std::uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = raw.size() - pos < 65535 ? raw.size() - pos : 65535;
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n));
        z.push_back(static_cast<std::uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(pos),
                 raw.begin() + static_cast<std::ptrdiff_t>(pos + n));
        pos += n;
    } while (pos < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, (b << 16) | a);
    return z;
}

} // namespace

bool WritePng(const TImage& Image, const std::wstring& Path) {
    if (Image.Width <= 0 || Image.Height <= 0)
        return false;
    std::vector<std::uint8_t> raw;
    raw.reserve(static_cast<size_t>(Image.Height) * (static_cast<size_t>(Image.Width) * 3 + 1));
    for (int y = 0; y < Image.Height; ++y) {
        raw.push_back(0); // no filter
        for (int x = 0; x < Image.Width; ++x) {
            std::uint32_t p = Image.At(x, y);
            raw.push_back(static_cast<std::uint8_t>(p >> 16));
            raw.push_back(static_cast<std::uint8_t>(p >> 8));
            raw.push_back(static_cast<std::uint8_t>(p));
        }
    }

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    Put32(header, static_cast<std::uint32_t>(Image.Width));
    Put32(header, static_cast<std::uint32_t>(Image.Height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", ZlibStored(raw));
    Chunk(png, "IEND", {});

    FILE* f = _wfopen(Path.c_str(), L"wb");
    if (!f)
        return false;
    bool ok = fwrite(png.data(), 1, png.size(), f) == png.size();
    return fclose(f) == 0 && ok;
}

} // namespace kvdriver
