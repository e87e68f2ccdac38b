#include "indexer/compact_decode.h"

#include <cstdint>

namespace lookupd {

namespace {

// UTF-8 to UTF-16 code units, since the encoder counted in code units.
bool Utf8ToUtf16Units(const std::string& s, std::vector<uint32_t>& units) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > s.size())
            return false;
        for (size_t k = 1; k < n; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(0xD800 + (cp >> 10));
            units.push_back(0xDC00 + (cp & 0x3FF));
        } else {
            units.push_back(cp);
        }
        i += n;
    }
    return true;
}

long ZigZag(uint32_t unit) {
    long v = static_cast<long>(unit) - 64;
    return (v >> 1) ^ (-(v & 1));
}

}  // namespace

bool DecodeCompactRing(const std::string& utf8,
                       long offsetX,
                       long offsetY,
                       std::vector<std::pair<double, double>>& out) {
    out.clear();
    std::vector<uint32_t> units;
    if (!Utf8ToUtf16Units(utf8, units) || units.size() % 2 != 0)
        return false;
    long x = offsetX;
    long y = offsetY;
    out.reserve(units.size() / 2);
    for (size_t i = 0; i < units.size(); i += 2) {
        x += ZigZag(units[i]);
        y += ZigZag(units[i + 1]);
        out.emplace_back(x / 1024.0, y / 1024.0);
    }
    return true;
}

}  // namespace lookupd
