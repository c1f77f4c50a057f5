// The 1394 shell's character transport: characters of the target's UART console carried
// through the protocol region.
#pragma once

#include <cstdint>

#include "bootloader/records.h"

namespace basBootloader {

int32_t ReadShellCharacters(int32_t handle, ByteArray& characters, bool wrapNotices);
int32_t WriteShellCharacters(int32_t handle, const ByteArray& characters);
int32_t ReadShellCharacters_Ver1(int32_t handle, ByteArray& characters);
int32_t ReadShellCharacters_Ver2(int32_t handle, ByteArray& characters, bool wrapNotices);

}  // namespace basBootloader
