// Byte-array, hex and endian helpers (basUtils) used by every module that moves data between
// the device, package files, numbers and text.
//
// Byte arrays are std::vector<uint8_t> with lower bound 0; the "upper bound" of an array is
// size() - 1 (-1 when empty). Unless a big-endian flag is given, multi-byte values are stored
// least significant byte first. Positions are 32-bit, so arrays of any realistic size (whole
// firmware packages) work everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace basUtils {

using ByteArray = std::vector<uint8_t>;

// Error numbers raised to callers.
inline constexpr int32_t kErrInvalidHexString = 30742;
inline constexpr int32_t kErrInvalidStartEnd = 30752;
inline constexpr int32_t kErrReadPastEnd = 30753;

// (value AND mask) shifted right by mask's trailing zero bits, keeping the sign (a field that
// includes bit 31 of a negative value comes out negative). A mask of 0 yields 0.
int32_t GetBitField(int32_t value, int32_t mask);

// Upper-case hex of value, zero-padded on the left and cut to the template's length; a
// template beginning "0x" gives "0x" before the digits and counts only the rest.
std::string FormatHex(int32_t value, const std::string& templ);

// Memory dump: per row "0x" + address + ": ", "HH " per byte (three blanks per missing byte of
// a short last row), the row's characters (a zero byte shows as code 21) and CR LF. The column
// count comes from the "<columnwidth=N>" tag of options, 4 when absent or below 1.
std::string HexDump(int32_t baseAddress, const ByteArray& data, const std::string& options);

// The value of "<name=value>" in options (blanks ignored, name without regard to case), or "".
// Raises vb::Error 5 when the value has no closing ">".
std::string GetTagValue(const std::string& options, const std::string& tagName);

// Writes value into data(index .. index + 3); never grows data (vb::Error 9 outside it). 1.
int32_t LongToByteArray(int32_t value, ByteArray& data, int32_t index, bool bigEndian = false);

// The value of the 1 to 4 bytes start..end (end defaults to start + 3). Raises 30752 for
// end - start > 3 or end < start, 30753 for end beyond the array (source "bas1394").
int32_t ByteArrayToLong(const ByteArray& data, int32_t start = 0,
                        std::optional<int32_t> end = std::nullopt, bool bigEndian = false);
// The 16-bit value of data(start), data(start + 1). Raises 30753 beyond the array.
int16_t ByteArrayToInt(const ByteArray& data, int32_t start = 0, bool bigEndian = false);

// b0 b1 b2 b3 most significant first; a b0 of 128 or more raises vb::Error 6 (overflow).
int32_t BytesToLong(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3);

// Copies count bytes of source from sourceStart into destination from destinationStart,
// growing the destination when it is too short. 1, or -1 when a source index is outside the
// source (bytes copied before it stay). The destination grows only for bytes the source really
// has, so a count taken from a device or a file cannot make it huge. Never raises.
int32_t CopyBytes(const ByteArray& source, int32_t sourceStart, int32_t count,
                  ByteArray& destination, int32_t destinationStart);

// One byte per character of text (Windows-1252, so every character has its one-byte code) from
// destination(start) on, growing it when needed. 1, or -1 for a negative start.
int32_t StringToByteArray(ByteArray& destination, int32_t start, const std::string& text);

// True when both have the same length and the same bytes.
bool ByteArraysEqual(const ByteArray& a, const ByteArray& b);

// The 64-bit counter record as the platform's counter and frequency queries fill it.
struct LargeInteger {
    uint32_t lowpart = 0;
    int32_t highpart = 0;
};
// high * 4294967296 + low, with low unsigned.
double LargeIntegerToDouble(const LargeInteger& counter);

// One byte per two hex digits after removing blanks, "0x", "&H", CR and LF (case-sensitive).
// 1; -1 with the output {0} for empty text (or text that is empty after the removal). An odd
// digit count raises 30742 (source "basUtils.HexString2Ascii").
int32_t HexString2Ascii(const std::string& hexText, ByteArray& output);

// Two hex digits per byte, a blank before every group of groupSize bytes but the first.
// A group size of 0 raises vb::Error 11.
std::string ByteArrayToHexString(const ByteArray& data, int32_t groupSize = 1);

// Pads to a multiple of 4 bytes with zeros and reverses every quadlet in place. 1; on a
// failure the user is told (message box, or status-file line in automation) and -1 returned.
int32_t ChangeEndian(ByteArray& data);

// True when the first character is "0" to "9"; false for empty text.
bool IsDigit(const std::string& text);

// ---- Fixed-width values in wire data
// Device registers, protocol packets, config ROMs and package headers hold 16- and 32-bit
// values in a stated byte order. These read and append them. A value that does not lie wholly
// inside the array reads as 0, so a short answer from a device leaves its missing fields zero
// and never reads past the array.
enum class ByteOrder { Little, Big };  // least / most significant byte first

inline uint16_t ReadU16(const ByteArray& bytes, size_t at, ByteOrder order) {
    if (at > bytes.size() || bytes.size() - at < 2) return 0;
    const uint8_t* p = bytes.data() + at;
    return order == ByteOrder::Big ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[1] << 8 | p[0]);
}

inline uint32_t ReadU32(const ByteArray& bytes, size_t at, ByteOrder order) {
    if (at > bytes.size() || bytes.size() - at < 4) return 0;
    const uint8_t* p = bytes.data() + at;
    return order == ByteOrder::Big
               ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
               : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// The 32 bits as a signed value (the records keep their fields as 32-bit signed numbers).
inline int32_t ReadI32(const ByteArray& bytes, size_t at, ByteOrder order) {
    return static_cast<int32_t>(ReadU32(bytes, at, order));
}

inline void AppendU16(ByteArray& bytes, uint16_t value, ByteOrder order) {
    const uint8_t high = uint8_t(value >> 8), low = uint8_t(value);
    if (order == ByteOrder::Big) {
        bytes.insert(bytes.end(), {high, low});
    } else {
        bytes.insert(bytes.end(), {low, high});
    }
}

inline void AppendU32(ByteArray& bytes, uint32_t value, ByteOrder order) {
    for (int i = 0; i < 4; ++i) {
        const int shift = order == ByteOrder::Big ? 24 - 8 * i : 8 * i;
        bytes.push_back(uint8_t(value >> shift));
    }
}

}  // namespace basUtils
