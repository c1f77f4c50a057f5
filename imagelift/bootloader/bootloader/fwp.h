// Firmware packages (".fwp"): reading, checking, and their dates, times and versions as text.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/records.h"
#include "fs/fs.h"

namespace basBootloader {

FwpStruct ByteArrayToFwpStruct(const ByteArray& data);
bool IsValidFwp(const FwpHeader& header);
bool IsValidFwp(const FwpStruct& package);
FwpHeader LoadFWPQuiet(const std::string& fileName);
FwpStruct LoadFWP(const std::string& fileName);
int32_t FwpDateTimeToDate(const ByteArray& date, const ByteArray& time, fs::SYSTEMTIME& st);
std::string VersionToString(int32_t version);
std::string FormatFwpDate(const ByteArray& date);
std::string FormatFwpTime(const ByteArray& time);
std::string FormatFwpLocalDateTime(const ByteArray& date, const ByteArray& time);

// Why an image record cannot stand for bytes of its package going to `targetAddress`, or ""
// when it can. A record whose length is 0 or less stands for no image (the package holds none of
// that kind), whatever its other fields, and always passes. One that holds an image is refused
// when its bytes start before the file or inside the package header, end past the file's
// `fileBytes`, or go to a target range that runs past the 32-bit address space.
std::string ImpossibleRecordReason(const FwpImageRecord& record, int64_t fileBytes, uint32_t targetAddress);

// The first impossible one of the records a download takes from a package of `fileBytes` bytes
// (Image1 at its own address, then the configuration data at `configAddress`), as
// "Image1 record (offset o, length n) <reason>" or "CNE record ...", or "" when both are sound.
// Such a package is refused whole before anything reaches a target: its other record cannot be
// trusted either.
std::string ImpossiblePackageRecords(const FwpHeader& header, int64_t fileBytes, int32_t configAddress);

}  // namespace basBootloader
