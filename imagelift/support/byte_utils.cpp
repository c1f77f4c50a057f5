#include "support/byte_utils.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "forms/dialogs.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basUtils {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHexByte(std::string& out, uint8_t b) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0F];
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int32_t upperBound(const ByteArray& data) { return static_cast<int32_t>(data.size()) - 1; }

}  // namespace

int32_t GetBitField(int32_t value, int32_t mask) {
    // A mask of 0 has no lowest set bit; the field is empty.
    if (mask == 0) return 0;
    int32_t r = value & mask;
    int32_t m = mask;
    // The low bits of r are zero wherever m's are, so halving is an arithmetic shift that keeps
    // the sign of a field reaching bit 31.
    while ((m & 1) == 0) {
        m >>= 1;
        r >>= 1;
    }
    return r;
}

std::string FormatHex(int32_t value, const std::string& templ) {
    std::string prefix;
    size_t width = templ.size();
    if (templ.compare(0, 2, "0x") == 0) {
        prefix = "0x";
        width -= 2;
    }
    if (width == 0) return prefix;
    std::string digits = vb::Hex(value);
    if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
    return prefix + digits.substr(digits.size() - width);
}

std::string GetTagValue(const std::string& options, const std::string& tagName) {
    const std::string packed = vb::Replace(options, " ", "");
    const int32_t at = vb::InStr(packed, "<" + tagName + "=", vb::Compare::Text);
    if (at == 0) return "";
    const int64_t valueStart = at + static_cast<int64_t>(tagName.size()) + 2;  // 1-based
    const int32_t close = vb::InStr(valueStart, packed, ">");
    // A value without its closing ">" has a negative length: an invalid argument.
    return vb::Mid(packed, valueStart, static_cast<int64_t>(close) - valueStart);
}

std::string HexDump(int32_t baseAddress, const ByteArray& data, const std::string& options) {
    const double wanted = vb::RoundHalfEven(vb::Val(GetTagValue(options, "columnwidth")));
    // The column count is a 16-bit number: a wider request is an overflow, not a dump of
    // gigabytes of padding.
    if (wanted > std::numeric_limits<int16_t>::max()) vb::Raise(6, "basUtils.HexDump");
    const int32_t columns = wanted < 1 ? 4 : static_cast<int32_t>(wanted);

    std::string out;
    const size_t n = data.size();
    out.reserve(n * 4 + (n / size_t(columns) + 1) * 16);
    for (size_t i = 0; i < n; ++i) {
        const size_t col = i % size_t(columns);
        if (col == 0) {
            // Addresses wrap at 32 bits like the device's address registers.
            const uint32_t address = uint32_t(baseAddress) + uint32_t(i);
            out += "0x" + vb::Hex(address) + ": ";
        }
        appendHexByte(out, data[i]);
        out += ' ';
        const bool last = i + 1 == n;
        if (col + 1 == size_t(columns) || last) {
            const size_t k = col + 1;
            if (last && k < size_t(columns)) out.append(3 * (size_t(columns) - k), ' ');
            for (size_t j = i + 1 - k; j <= i; ++j)
                out += data[j] == 0 ? char(21) : static_cast<char>(data[j]);
            out += "\r\n";
        }
    }
    return out;
}

int32_t LongToByteArray(int32_t value, ByteArray& data, int32_t index, bool bigEndian) {
    if (index < 0 || int64_t(index) + 3 > upperBound(data)) vb::Raise(9, "basUtils.LongToByteArray");
    const uint32_t v = static_cast<uint32_t>(value);
    for (int k = 0; k < 4; ++k) {
        const uint8_t b = static_cast<uint8_t>(v >> (8 * k));  // k = 0: least significant
        data[size_t(index) + size_t(bigEndian ? 3 - k : k)] = b;
    }
    return 1;
}

int32_t ByteArrayToLong(const ByteArray& data, int32_t start, std::optional<int32_t> end,
                        bool bigEndian) {
    const int64_t last = end ? int64_t(*end) : int64_t(start) + 3;
    if (last - start > 3 || last < start)
        vb::Raise(kErrInvalidStartEnd, "bas1394",
                  "PROGRAM ERROR: invalid start and end bytes in ByteArrayToLong");
    if (last > upperBound(data))
        vb::Raise(kErrReadPastEnd, "bas1394",
                  "PROGRAM ERROR: ByteArrayToLong is instructed to read beyond the end of the "
                  "incoming array!");
    if (start < 0) vb::Raise(9, "basUtils.ByteArrayToLong");
    uint32_t v = 0;
    for (int64_t k = 0; k <= last - start; ++k) {
        // Most significant byte first: data(end) for little-endian, data(start) for big-endian.
        const size_t idx = size_t(bigEndian ? start + k : last - k);
        v = (v << 8) | data[idx];
    }
    return static_cast<int32_t>(v);
}

int16_t ByteArrayToInt(const ByteArray& data, int32_t start, bool bigEndian) {
    if (int64_t(start) + 1 > upperBound(data))
        vb::Raise(kErrReadPastEnd, "bas1394",
                  "PROGRAM ERROR: ByteArrayToInt is instructed to read beyond the end of the "
                  "incoming array!");
    if (start < 0) vb::Raise(9, "basUtils.ByteArrayToInt");
    const uint8_t lo = data[size_t(start) + (bigEndian ? 1 : 0)];
    const uint8_t hi = data[size_t(start) + (bigEndian ? 0 : 1)];
    return static_cast<int16_t>(static_cast<uint16_t>((hi << 8) | lo));
}

int32_t BytesToLong(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
    if (b0 >= 128) vb::Raise(6, "basUtils.BytesToLong");
    return (int32_t(b0) << 24) | (int32_t(b1) << 16) | (int32_t(b2) << 8) | int32_t(b3);
}

int32_t CopyBytes(const ByteArray& source, int32_t sourceStart, int32_t count,
                  ByteArray& destination, int32_t destinationStart) {
    try {
        // Bytes that can really be copied: a copy that runs outside the source (or below the
        // destination's start) copies what it can before that point and fails.
        int64_t copyable = 0;
        if (count > 0 && sourceStart >= 0 && destinationStart >= 0) {
            const int64_t available = std::max<int64_t>(0, int64_t(source.size()) - sourceStart);
            copyable = std::min<int64_t>(count, available);
        }
        const bool complete = count <= 0 || copyable == count;
        // The destination grows to hold the copy, but never for bytes the source lacks.
        const int64_t needed = int64_t(destinationStart) + (complete ? int64_t(count) : copyable);
        if (int64_t(destination.size()) < needed) destination.resize(size_t(needed), 0);
        if (copyable > 0)
            std::memmove(destination.data() + destinationStart, source.data() + sourceStart,
                         size_t(copyable));
        return complete ? 1 : -1;
    } catch (...) {
        return -1;
    }
}

int32_t StringToByteArray(ByteArray& destination, int32_t start, const std::string& text) {
    // Texts are 8-bit Windows-1252 strings: every character has its one-byte code.
    try {
        if (start < 0) return -1;
        const int64_t needed = int64_t(start) + int64_t(text.size());
        if (int64_t(destination.size()) < needed) destination.resize(size_t(needed), 0);
        std::memcpy(destination.data() + start, text.data(), text.size());
        return 1;
    } catch (...) {
        return -1;
    }
}

bool ByteArraysEqual(const ByteArray& a, const ByteArray& b) { return a == b; }

double LargeIntegerToDouble(const LargeInteger& counter) {
    return double(counter.highpart) * 65536.0 * 65536.0 + double(counter.lowpart);
}

int32_t HexString2Ascii(const std::string& hexText, ByteArray& output) {
    output.assign(1, 0);
    if (hexText.empty()) return -1;
    std::string work = hexText;
    for (const char* strip : {" ", "0x", "&H", "\r", "\n"}) work = vb::Replace(work, strip, "");
    if (work.size() % 2 != 0)
        vb::Raise(kErrInvalidHexString, "basUtils.HexString2Ascii",
                  "Error: invalid hex string - 2 chars per byte - this one is not divisible by "
                  "2: '" + hexText + "'");
    // Nothing but separators: no bytes to give.
    if (work.empty()) return -1;
    output.assign(work.size() / 2, 0);
    for (size_t i = 0; i < work.size(); i += 2) {
        // A pair reads as its leading hex digits: "0X" is 0, "A-" is A.
        const int hi = hexDigitValue(work[i]);
        const int lo = hexDigitValue(work[i + 1]);
        uint8_t value = 0;
        if (hi >= 0) value = static_cast<uint8_t>(lo >= 0 ? hi * 16 + lo : hi);
        output[i / 2] = value;
    }
    return 1;
}

std::string ByteArrayToHexString(const ByteArray& data, int32_t groupSize) {
    if (groupSize == 0) vb::Raise(11, "basUtils.ByteArrayToHexString");
    std::string out;
    out.reserve(data.size() * 3);
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0 && int64_t(i) % groupSize == 0) out += ' ';
        appendHexByte(out, data[i]);
    }
    return vb::Trim(out);
}

int32_t ChangeEndian(ByteArray& data) {
    try {
        const size_t padded = (data.size() + 3) / 4 * 4;
        if (padded != data.size()) data.resize(padded, 0);
        for (size_t j = 0; j < padded; j += 4) {
            std::swap(data[j], data[j + 3]);
            std::swap(data[j + 1], data[j + 2]);
        }
        return 1;
    } catch (const std::exception& e) {
        const vb::Error err = vb::FromException(e, "basUtils.ChangeEndian");
        const std::string msg = "basUtils.ChangeEndian error #:" + vb::CStr(err.Number()) + ": " +
                                err.Description();
        if (imagelift::Ctx().AutomationMode)
            imagelift::WriteStatusFileLine(msg);
        else
            forms::MsgBox(msg, forms::vbOKCancel, "ERROR");
        return -1;
    }
}

bool IsDigit(const std::string& text) {
    return !text.empty() && text[0] >= '0' && text[0] <= '9';
}

}  // namespace basUtils
