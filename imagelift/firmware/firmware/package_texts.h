// Texts the download windows show for packages, files and image CRCs, kept apart from the
// windows so that they read as plain functions of their inputs.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/records.h"
#include "fs/fs.h"

namespace imagelift_firmware {

// The image type's name in messages: "Application Image", "Config Data", "Debugger Image",
// "Bootloader Image"; nullptr for any other type.
const char* DownloadTypeName(int32_t imageType);

// The list's "Last Updated" column: the local time "yyyy-mm-dd hh:nn:ss (local)", or, when the
// time cannot be converted, the universal time "yyyy-mm-dd hh:nn:ss utc".
std::string FileTimeText(const fs::FILETIME& lastWrite);
// The list's "Size" column: "overflow" from 4 GiB up, "error" for a file that was not found,
// else the size in whole kB followed by " kB".
std::string FileSizeText(const fs::FileSize64& size);

// "Build date: YYYY-MM-DD hh:nn:ss utc", followed by " / hh:nn:ss(local)" only when the build
// time converts to local time.
std::string BuildDateText(const basBootloader::FwpHeader& header);
// "Version: <decimal> (0x<hex>)", then " - private build" (0xFFFFFF) or " - missing information" (0).
std::string VersionText(int32_t version);

// The throughput line's rate: bytes per millisecond with two decimals. An elapsed time under
// one millisecond counts as one (a short image on a fast bus takes no measurable time).
std::string RateText(int64_t length, double elapsedMs);

// Configuration data as indented text: NUL-separated strings where "[" opens a named group and
// "]" closes it; each group shows as "+" and its name, each name and value pair below it as
// "  " + "| " per level + name=value.
std::string ConfigDataText(const basBootloader::ByteArray& bytes);

// The CRC window's verdict of one image: "Read CRC failed, code <n>", "CRC ok!  0x<8 hex>" or
// "Invalid CRC indicated by target".
std::string CrcResultText(int32_t result, int32_t crc, int32_t crcFlag);

}  // namespace imagelift_firmware
