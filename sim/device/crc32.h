// CRC-32 of firmware images, as the Lumarel 460 bootloader checks them.
//
// The bootloader verifies each downloaded image with the common CRC-32 (ISO-HDLC): generator
// polynomial 0x04C11DB7 processed bit-reversed (0xEDB88320), register preset to 0xFFFFFFFF,
// final complement. It is the value zlib's crc32() and most archivers give; the check value of
// the nine ASCII digits "123456789" is 0xCBF43926. The firmware-package builder writes the same
// value into each image record, so the device and the packages agree by construction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace sim::lumarel {

namespace crc32_detail {
constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        table[i] = c;
    }
    return table;
}
inline constexpr std::array<uint32_t, 256> kTable = MakeTable();
}  // namespace crc32_detail

// Continues a CRC over more bytes. Start with `crc = 0`; feeding an image in pieces gives the
// same value as feeding it whole (the pre- and post-complement are folded in here).
inline uint32_t Crc32Update(uint32_t crc, const uint8_t* data, size_t len) {
    uint32_t c = ~crc;
    for (size_t i = 0; i < len; ++i) c = crc32_detail::kTable[(c ^ data[i]) & 0xFFu] ^ (c >> 8);
    return ~c;
}

inline uint32_t Crc32(std::span<const uint8_t> data) { return Crc32Update(0, data.data(), data.size()); }

}  // namespace sim::lumarel
