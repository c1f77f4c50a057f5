// Byte-order and hex helpers of the simulated bus, its device models and the bus service. The
// device's protocol engine is little-endian except where the big-endian variant of protocol 2
// or a single command says otherwise; config ROM quadlets and CSR registers are big-endian. The
// simulation keeps its own helpers so that it never shares a codec with a host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim::wire {

inline uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}
inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint16_t Be16(const uint8_t* p) { return uint16_t(p[1] | p[0] << 8); }

inline void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); p[2] = uint8_t(v >> 16); p[3] = uint8_t(v >> 24);
}
inline void PutBe32(uint8_t* p, uint32_t v) {
    p[3] = uint8_t(v); p[2] = uint8_t(v >> 8); p[1] = uint8_t(v >> 16); p[0] = uint8_t(v >> 24);
}
inline void PutLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutBe16(uint8_t* p, uint16_t v) { p[1] = uint8_t(v); p[0] = uint8_t(v >> 8); }

// Writes a 32-bit field in the chosen order.
inline void Put32(uint8_t* p, uint32_t v, bool bigEndian) { bigEndian ? PutBe32(p, v) : PutLe32(p, v); }
inline void Put16(uint8_t* p, uint16_t v, bool bigEndian) { bigEndian ? PutBe16(p, v) : PutLe16(p, v); }

// Reverses the byte order inside every whole quadlet of `n` bytes (the bootloader's habit for
// identifiers and key data).
inline void SwapQuadlets(uint8_t* p, size_t n) {
    for (size_t i = 0; i + 4 <= n; i += 4) {
        std::swap(p[i], p[i + 3]);
        std::swap(p[i + 1], p[i + 2]);
    }
}

// Upper-case hex of bytes without separators ("0A3C7E10...").
inline std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 15]);
    }
    return s;
}
inline std::string Hex(const std::vector<uint8_t>& v) { return Hex(v.data(), v.size()); }

// Parses hex digits, ignoring blanks, ':' and '-' separators; false on anything else or an odd
// digit count.
inline bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
    out.clear();
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == ':' || c == '-') continue;
        else return false;
        if (high < 0) high = v;
        else { out.push_back(uint8_t(high << 4 | v)); high = -1; }
    }
    return high < 0;
}

}  // namespace sim::wire
