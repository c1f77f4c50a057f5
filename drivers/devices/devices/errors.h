// Error numbers and the last-error value of the device layer.
//
// The installation calls of this layer report failure the platform's way: a false (or invalid)
// result, with the reason left in a per-thread last-error value that the caller reads right
// after the failed step. The numbers are the platform's own, so messages that print them read
// as the drivers' users expect.
#pragma once

#include <cstdint>

namespace devices {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t ERROR_INVALID_USER_BUFFER = 1784;
// Installer errors (customer bit and error severity set).
inline constexpr uint32_t ERROR_WRONG_INF_STYLE = 0xE0000100;
inline constexpr uint32_t ERROR_SECTION_NOT_FOUND = 0xE0000101;
inline constexpr uint32_t ERROR_LINE_NOT_FOUND = 0xE0000102;
inline constexpr uint32_t ERROR_NO_SUCH_DEVINST = 0xE000020B;
inline constexpr uint32_t ERROR_NO_COMPAT_DRIVERS = 0xE0000228;

// Configuration-manager results (returned, not left in the last error).
inline constexpr uint32_t CR_SUCCESS = 0;
inline constexpr uint32_t CR_FAILURE = 0x13;

uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace devices
