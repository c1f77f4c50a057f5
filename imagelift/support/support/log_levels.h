// The log levels of Imagelift. A level is a 32-bit number; a lower number means a more detailed
// line. The named levels are odd; the logger (debug_log.h) turns level texts into these numbers
// and names them, and the store keeps them as they are.
#pragma once

#include <cstdint>

namespace basDebug {

inline constexpr int32_t DETAIL = 1;
inline constexpr int32_t MUTEX = 3;
inline constexpr int32_t TRACE = 5;
inline constexpr int32_t WARNING = 7;
inline constexpr int32_t WATCH = 9;
inline constexpr int32_t ERROR_LEVEL = 11;  // "ERROR"; the lowest level copied to the status file
inline constexpr int32_t USER = 13;         // also the access library's own text lines
inline constexpr int32_t FATAL = 15;        // the lowest level that beeps
inline constexpr int32_t NONE = 17;

}  // namespace basDebug
