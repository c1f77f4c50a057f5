// Image download: one image of a firmware package goes into a target.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/progress_bar.h"
#include "bootloader/records.h"

namespace basBootloader {

// Writes one image of a package into a target. 1 when every block went and the target reported
// a good CRC, -1 otherwise. `configAddress` is where configuration data goes (the download
// window of the package browser sends it to 0, unattended runs to 0x201A0000).
int32_t DownloadImage(int32_t handle, int32_t imageType, const std::string& fileName,
                      IProgressBar* progressBar = nullptr, int32_t window = 0,
                      int32_t configAddress = kConfigDataAddress);

}  // namespace basBootloader
