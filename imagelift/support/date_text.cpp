#include "support/date_text.h"

#include <utility>

#include "vbrt/convert.h"

namespace basUtils {

std::string FormatWinDateTime(const fs::FILETIME& time, const std::string& pattern) {
    fs::SYSTEMTIME st;
    if (!fs::FileTimeToSystemTime(time, st)) return "Error in basUtils.FormatWinDateTime";
    return FormatSystemTime(st, pattern);
}

std::string FormatSystemTime(const fs::SYSTEMTIME& time, const std::string& pattern) {
    const std::string year = vb::CStr(int32_t(time.Year));
    const std::pair<const char*, std::string> steps[] = {
        {"yyyy", year},
        {"yy", vb::Right(year, 2)},
        {"mmm", "mm"},
        {"mm", vb::Format(time.Month, "00")},
        {"m", vb::CStr(int32_t(time.Month))},
        {"ddd", "dd"},
        {"dd", vb::Format(time.Day, "00")},
        {"d", vb::CStr(int32_t(time.Day))},
        {"hh", vb::Format(time.Hour, "00")},
        {"h", vb::CStr(int32_t(time.Hour))},
        {"nn", vb::Format(time.Minute, "00")},
        {"n", vb::CStr(int32_t(time.Minute))},
        {"ss", vb::Format(time.Second, "00")},
        {"s", vb::CStr(int32_t(time.Second))},
    };
    std::string out = pattern;
    for (const auto& [token, value] : steps) out = vb::Replace(out, token, value, vb::Compare::Text);
    return out;
}

}  // namespace basUtils
