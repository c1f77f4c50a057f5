// Fuzz target: the firmware package reader and the texts made of a package's build date, time
// and version. Package files come from anywhere, and a device's info registers hand the same
// formatters date and time bytes of their own; no bytes may upset either.
#include "bootloader/fwp.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace basBootloader;
    const ByteArray bytes(data, data + size);

    // The whole input as a package file.
    const FwpStruct package = ByteArrayToFwpStruct(bytes);
    const FwpHeader& header = package.Header;
    if (IsValidFwp(package)) {
        // A package the reader accepts keeps the file whole and its fields at their sizes.
        if (package.FileData != bytes || header.Date.size() != 8 || header.Time.size() != 8 ||
            header.InfoTextBytes.size() != 256 || header.InfoText.size() > 256)
            std::abort();
        FormatFwpLocalDateTime(header.Date, header.Time);
        VersionToString(header.SoftwareVersion);
        // The record check takes any field values. A record of length 0 or less holds no image
        // and passes whatever else it says; one that holds an image and passes lies in the
        // file's data after the header and inside the address space.
        const int64_t fileBytes = int64_t(bytes.size());
        if (ImpossiblePackageRecords(header, fileBytes, kConfigDataAddress).empty()) {
            for (const FwpImageRecord& r : {header.Image1, header.Cne}) {
                if (r.Length <= 0) continue;
                if (r.FileOffset < kFwpHeaderBytes || int64_t(r.FileOffset) + r.Length > fileBytes) std::abort();
            }
            if (header.Image1.Length > 0 &&
                int64_t(uint32_t(header.Image1.TargetAddress)) + header.Image1.Length > (int64_t(1) << 32))
                std::abort();
        }
    }

    // The input as a date and a time of any length: the first byte says where the date ends.
    if (size > 0) {
        const size_t dateBytes = data[0] % size;
        const ByteArray date(data + 1, data + 1 + dateBytes);
        const ByteArray time(data + 1 + dateBytes, data + size);
        FormatFwpDate(date);
        FormatFwpTime(time);
        fs::SYSTEMTIME st{};
        FwpDateTimeToDate(date, time, st);
        FormatFwpLocalDateTime(date, time);
    }
    return 0;
}
