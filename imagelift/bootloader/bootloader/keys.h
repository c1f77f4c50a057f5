// Keys: named byte strings the target keeps in its persistent store.
#pragma once

#include <cstdint>
#include <string>

#include "bootloader/records.h"

namespace basBootloader {

// Reads a key; `data` gets the key's size + 1 bytes.
int32_t ReadKey(int32_t handle, const std::string& keyName, ByteArray& data);
int32_t WriteKey(int32_t handle, const std::string& keyName, const ByteArray& data);

}  // namespace basBootloader
