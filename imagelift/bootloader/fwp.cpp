// Firmware package files (".fwp"): a 352-byte header (magic "vSkD", build date and time,
// software and hardware identity, three image records, an information text) followed by the
// image data the records point to. This reader parses and checks them and turns their dates,
// times and versions into text.
#include "bootloader/fwp.h"
#include "bootloader/internal.h"

#include <cstdint>
#include <utility>

#include "fs/fs.h"
#include "support/byte_utils.h"
#include "support/file_utils.h"

namespace basBootloader {

namespace {

constexpr int32_t kQuietReadLimit = 1000;

// The header's layout: 48 bytes of identity, three 16-byte image records, the information text.
static_assert(48 + 3 * 16 + kFwpInfoTextBytes == kFwpHeaderBytes, "package header is 352 bytes");

FwpImageRecord imageRecord(const ByteArray& b, size_t at) {
    auto field = [&](size_t offset) { return basUtils::ReadI32(b, at + offset, ByteOrder::Little); };
    return FwpImageRecord{field(0), field(4), field(8), field(12)};
}

void logLoadError() {
    vb::Error e = vb::CurrentException();
    Log("Error #" + Str(e.Number()) + ": " + e.Description() + " in LoadFWP", basDebug::TRACE);
}

// Fills the header of `fwp` from `data`; true when the data is a package whose bytes belong in
// FileData, which the caller fills (by copy or by move).
bool parsePackage(const ByteArray& data, FwpStruct& fwp) {
    try {
        const int64_t upper = int64_t(data.size()) - 1;
        if (upper < kFwpHeaderBytes) {
            Log("ERROR: not enough data passed into basBootloader.ByteArrayToFwpStruct!  ubound(bytData)=" +
                    Str(upper) + "!  Exiting abnormally.",
                basDebug::ERROR_LEVEL);
            return false;
        }
        FwpHeader& h = fwp.Header;
        h.Magic = basUtils::ReadI32(data, 0, ByteOrder::Big);
        if (h.Magic != FwpMagic) return false;
        h.FormatWord = basUtils::ReadI32(data, 4, ByteOrder::Little);
        h.Date.assign(data.begin() + 8, data.begin() + 16);
        h.Time.assign(data.begin() + 16, data.begin() + 24);
        h.SoftwareId = basUtils::ReadI32(data, 24, ByteOrder::Little);
        h.SoftwareVersion = basUtils::ReadI32(data, 28, ByteOrder::Little);
        h.HardwareModelId = basUtils::ReadI32(data, 32, ByteOrder::Little);
        h.VendorId = basUtils::ReadI32(data, 36, ByteOrder::Little);
        h.ReservedBytes.assign(data.begin() + 40, data.begin() + 44);
        h.ReservedWord = basUtils::ReadI32(data, 44, ByteOrder::Little);
        h.Image1 = imageRecord(data, 48);
        h.Image2 = imageRecord(data, 64);
        h.Cne = imageRecord(data, 80);
        h.InfoTextBytes.assign(data.begin() + 96, data.begin() + 96 + kFwpInfoTextBytes);
        std::string text = vb::BytesToText(h.InfoTextBytes);
        // Cut after the first NUL, which stays; a text that starts with NUL or has none stays whole.
        size_t nul = text.find('\0');
        if (nul != std::string::npos && nul > 0) text.resize(nul + 1);
        h.InfoText = text;
        return true;
    } catch (...) {
        LogTrapped(" in basBootloader.ByteArrayToFwpStruct.  Exiting...");
    }
    return false;
}

// The largest package file: its bytes and the read's trailing element stay indexable by the
// signed 32-bit offsets every package record and the download use.
constexpr int64_t kMaxPackageFileBytes = INT32_MAX;

}  // namespace

FwpStruct ByteArrayToFwpStruct(const ByteArray& data) {
    FwpStruct fwp;
    if (parsePackage(data, fwp)) fwp.FileData = data;
    return fwp;
}

bool IsValidFwp(const FwpHeader& header) { return header.Magic == FwpMagic; }
bool IsValidFwp(const FwpStruct& package) { return IsValidFwp(package.Header); }

FwpHeader LoadFWPQuiet(const std::string& fileName) {
    FwpHeader header;
    try {
        ByteArray data;
        if (basUtils::ReadFileToByteArray(fileName, data, kQuietReadLimit) != 1) {
            Log("Load FWP error: failed to load file '" + fileName + "' into memory.", basDebug::ERROR_LEVEL);
            return header;
        }
        header = ByteArrayToFwpStruct(data).Header;
        if (header.Magic != FwpMagic) {
            Log("Load FWP error: the currently selected image file is not valid!", basDebug::ERROR_LEVEL);
        }
    } catch (...) {
        logLoadError();
    }
    return header;
}

FwpStruct LoadFWP(const std::string& fileName) {
    try {
        ByteArray data;
        if (basUtils::ReadFileToByteArray(fileName, data, kQuietReadLimit) != 1) {
            Log("Load FWP error: failed to load file '" + fileName + "' into memory.", basDebug::ERROR_LEVEL);
            return FwpStruct{};
        }
        if (!IsValidFwp(ByteArrayToFwpStruct(data))) {
            Log("Load FWP error: Failed to validate file '" + fileName + "'!", basDebug::ERROR_LEVEL);
            return FwpStruct{};
        }
        Log("Reading '" + fileName + "'...", basDebug::WATCH);
        const int64_t fileBytes = fs::GetFileSize64(fileName).Value();
        if (fileBytes > kMaxPackageFileBytes) {
            Log("Load FWP error: file '" + fileName + "' is too large for a firmware package (" + Str(fileBytes) +
                    " bytes, at most " + Str(kMaxPackageFileBytes) + ").",
                basDebug::ERROR_LEVEL);
            return FwpStruct{};
        }
        if (basUtils::ReadFileToByteArray(fileName, data) != 1) {
            Log("Load FWP error: failed to load file '" + fileName + "' into memory.", basDebug::ERROR_LEVEL);
            return FwpStruct{};
        }
        // The package keeps the bytes just read: one copy of the file in memory.
        FwpStruct fwp;
        if (parsePackage(data, fwp)) fwp.FileData = std::move(data);
        if (!IsValidFwp(fwp)) {
            Log("Load FWP error: Failed to validate file '" + fileName + "'!", basDebug::ERROR_LEVEL);
            return FwpStruct{};
        }
        const FwpHeader& h = fwp.Header;
        Log("FWP version:  software id = " + Str(h.SoftwareId) + " (0x" + vb::Hex(h.SoftwareId) +
                "),  software version = " + Str(h.SoftwareVersion) + " (0x" + vb::Hex(h.SoftwareVersion) +
                "),  date/time = " + FormatFwpDate(h.Date) + " " + FormatFwpTime(h.Time),
            basDebug::USER);
        return fwp;
    } catch (...) {
        logLoadError();
    }
    return FwpStruct{};
}

namespace {

// A date or time field is text padded with zero bytes; a field never written (a device whose
// application slot is empty) is all zero bytes and reads as no text, not as unprintable ones.
std::string fieldText(const ByteArray& field) {
    const std::string s = vb::BytesToText(field);
    return s.substr(0, s.find('\0'));
}

}  // namespace

std::string FormatFwpDate(const ByteArray& date) {
    const std::string s = fieldText(date);
    if (s.empty()) return {};
    return vb::Mid(s, 1, 4) + "-" + vb::Mid(s, 5, 2) + "-" + vb::Mid(s, 7, 2);
}

std::string FormatFwpTime(const ByteArray& time) {
    const std::string s = fieldText(time);
    if (s.empty()) return {};
    return vb::Mid(s, 1, 2) + ":" + vb::Mid(s, 3, 2) + ":" + vb::Mid(s, 5, 2) + " utc";
}

int32_t FwpDateTimeToDate(const ByteArray& date, const ByteArray& time, fs::SYSTEMTIME& st) {
    if (int64_t(date.size()) - 1 < 7 || int64_t(time.size()) - 1 < 7) return -1;
    // Each field is the leading number of its characters. Digits come from a device or a file:
    // a number that does not fit a 16-bit field ("9e99") gives no date rather than a failure.
    bool fits = true;
    auto field = [&fits](const std::string& text, int64_t start, int64_t len) -> uint16_t {
        const double v = vb::Val(vb::Mid(text, start, len));
        if (!(v >= -32768.5 && v < 32767.5)) {
            fits = false;
            return 0;
        }
        return uint16_t(vb::CInt(v));
    };
    const std::string d = FormatFwpDate(date);
    const std::string t = FormatFwpTime(time);
    const uint16_t year = field(d, 1, 4), month = field(d, 6, 2), day = field(d, 9, 2);
    const uint16_t hour = field(t, 1, 2), minute = field(t, 4, 2), second = field(t, 7, 2);
    if (!fits) return -1;
    st.Year = year;
    st.Month = month;
    st.Day = day;
    st.Hour = hour;
    st.Minute = minute;
    st.Second = second;
    return 1;
}

std::string FormatFwpLocalDateTime(const ByteArray& date, const ByteArray& time) {
    std::string text = FormatFwpDate(date) + " " + FormatFwpTime(time);
    fs::SYSTEMTIME utc, local;
    if (FwpDateTimeToDate(date, time, utc) == 1 && fs::SystemTimeToLocalTime(utc, local) == 1) {
        text += " / " + basUtils::FormatSystemTime(local, "hh:nn:ss") + " (local)";
    }
    return text;
}

std::string ImpossibleRecordReason(const FwpImageRecord& record, int64_t fileBytes, uint32_t targetAddress) {
    // A length of 0 or less: the package holds no such image, whatever the record's other fields
    // say (an all-0xFF record is the usual mark of an absent image). Nothing of it is sent.
    if (record.Length <= 0) return {};
    // 64-bit sums: no field of a record can overflow them.
    if (record.FileOffset < 0 || int64_t(record.FileOffset) + record.Length > fileBytes)
        return "runs outside the file (" + Str(fileBytes) + " bytes)";
    if (record.FileOffset < kFwpHeaderBytes)
        return "starts inside the " + Str(kFwpHeaderBytes) + "-byte package header";
    constexpr int64_t kAddressSpace = int64_t(1) << 32;
    if (int64_t(targetAddress) + record.Length > kAddressSpace)
        return "runs past the end of the 4 GiB address space (target address 0x" + vb::Hex(targetAddress) + ")";
    return {};
}

std::string ImpossiblePackageRecords(const FwpHeader& header, int64_t fileBytes, int32_t configAddress) {
    const struct {
        const char* name;
        const FwpImageRecord& record;
        uint32_t target;
    } records[] = {{"Image1", header.Image1, uint32_t(header.Image1.TargetAddress)},
                   {"CNE", header.Cne, uint32_t(configAddress)}};
    for (const auto& r : records) {
        const std::string why = ImpossibleRecordReason(r.record, fileBytes, r.target);
        if (!why.empty())
            return std::string(r.name) + " record (offset " + Str(r.record.FileOffset) + ", length " +
                   Str(r.record.Length) + ") " + why;
    }
    return {};
}

std::string VersionToString(int32_t version) {
    uint32_t v = uint32_t(version);
    return Str(v >> 24) + "." + Str((v >> 16) & 0xFF) + "." + Str((v >> 8) & 0xFF) + "." + Str(v & 0xFF);
}

}  // namespace basBootloader
