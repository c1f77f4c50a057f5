// Texts of the download windows: file columns, package labels, the CNE text view, CRC verdicts.
#include "firmware/package_texts.h"

#include <algorithm>
#include <cstdio>

#include "bootloader/fwp.h"
#include "support/byte_utils.h"
#include "support/date_text.h"
#include "vbrt/convert.h"

namespace imagelift_firmware {

const char* DownloadTypeName(int32_t imageType) {
    switch (imageType) {
    case basBootloader::kImageApplication: return "Application Image";
    case basBootloader::kImageConfig: return "Config Data";
    case basBootloader::kImageDebugger: return "Debugger Image";
    case basBootloader::kImageBootloader: return "Bootloader Image";
    default: return nullptr;
    }
}

std::string FileTimeText(const fs::FILETIME& lastWrite) {
    fs::SYSTEMTIME utc, local;
    if (fs::FileTimeToSystemTime(lastWrite, utc) && fs::SystemTimeToLocalTime(utc, local) == 1)
        return basUtils::FormatSystemTime(local, "yyyy-mm-dd hh:nn:ss") + " (local)";
    return basUtils::FormatWinDateTime(lastWrite, "yyyy-mm-dd hh:nn:ss") + " utc";
}

std::string FileSizeText(const fs::FileSize64& size) {
    if (size.High > 0) return "overflow";
    if (size.High < 0) return "error";
    return vb::CStr(int64_t(uint32_t(size.Low) / 1024)) + " kB";
}

std::string BuildDateText(const basBootloader::FwpHeader& header) {
    std::string text = "Build date: " + basBootloader::FormatFwpDate(header.Date) + " " +
                       basBootloader::FormatFwpTime(header.Time);
    // The local part only when both conversions worked: a failed one leaves nothing to show.
    fs::SYSTEMTIME utc, local;
    if (basBootloader::FwpDateTimeToDate(header.Date, header.Time, utc) == 1 &&
        fs::SystemTimeToLocalTime(utc, local) == 1)
        text += " / " + basUtils::FormatSystemTime(local, "hh:nn:ss") + "(local)";
    return text;
}

std::string VersionText(int32_t version) {
    std::string text = "Version: " + vb::CStr(version) + " (0x" + vb::Hex(version) + ")";
    if (version == basBootloader::kPrivateBuildVersion) text += " - private build";
    else if (version == 0) text += " - missing information";
    return text;
}

std::string RateText(int64_t length, double elapsedMs) {
    char rate[48];
    std::snprintf(rate, sizeof rate, "%.2f", double(length) / std::max(elapsedMs, 1.0));
    return rate;
}

std::string ConfigDataText(const basBootloader::ByteArray& bytes) {
    // One character per byte; every NUL ends a string.
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        if (b == 0) text += "\r\n";
        else text += char(b);
    }
    // A group's closing bracket joins the line before it.
    text = vb::Replace(text, "\r\n]\r\n", "]\r\n");

    // Inside a group, the strings alternate between names and values: a name starts an indented
    // line, its value follows after "=". Every line end counts, also outside a group.
    int depth = 0, pairs = 0;
    std::string out;
    out.reserve(text.size() * 2);
    for (size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        if (c == '[') {
            ++depth;
            pairs = 0;
        } else if (c == ']') {
            --depth;
            pairs = 0;
        }
        if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') {
            if (depth > 0) {
                if (pairs % 2 == 0) {
                    out += "\r\n  ";
                    for (int i = 0; i < depth; ++i) out += "| ";
                } else {
                    out += "=";
                }
            } else {
                out += "\r\n";
            }
            ++pairs;
            pos += 2;
            continue;
        }
        if (c == '[') out += '+';
        else if (c != ']') out += c;
        ++pos;
    }
    return out;
}

std::string CrcResultText(int32_t result, int32_t crc, int32_t crcFlag) {
    if (result != 1) return "Read CRC failed, code " + vb::CStr(result);
    if (crcFlag == 0) return "CRC ok!  0x" + basUtils::FormatHex(crc, "00000000");
    return "Invalid CRC indicated by target";
}

}  // namespace imagelift_firmware
