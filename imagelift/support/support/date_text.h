// Date texts (basUtils): platform date records formatted by pattern. Nothing here logs, so the
// store can stamp its lines without reaching back into the logger.
#pragma once

#include <string>

#include "fs/fs.h"

namespace basUtils {

// The file time (no time-zone change) by pattern; "Error in basUtils.FormatWinDateTime" when it
// is not a valid time (the value of a missing file).
std::string FormatWinDateTime(const fs::FILETIME& time, const std::string& pattern);

// Replaces, in this order and without regard to case, every yyyy, yy, mmm (becomes mm), mm, m,
// ddd (becomes dd), dd, d, hh, h, nn, n, ss, s of the pattern by the year, month, day, hour,
// minute and second (two-letter tokens zero-padded to two digits). Letters m, d, h, n, s left
// in literal text are replaced too.
std::string FormatSystemTime(const fs::SYSTEMTIME& time, const std::string& pattern);

}  // namespace basUtils
