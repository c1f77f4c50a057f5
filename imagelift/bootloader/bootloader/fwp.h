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

}  // namespace basBootloader
