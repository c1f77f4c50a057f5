// Stand-ins for the 1394 stack's driver files on the simulated platform.
#include "app/driver_stand_ins.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <system_error>

#include "app/bas_app.h"
#include "fs/fs.h"

namespace imagelift {

namespace {

struct StandIn {
    const char* path;  // below the Windows folder
    uint16_t year, month, day;
};

// The virtual-device driver carries the date the check expects of it; the bus and host
// controller drivers are only looked for, any date will do.
constexpr StandIn kStandIns[] = {
    {"\\system32\\drivers\\1394vdev.sys", 2002, 10, 25},
    {"\\system32\\drivers\\1394bus.sys", 2002, 8, 29},
    {"\\system32\\drivers\\ohci1394.sys", 2002, 8, 29},
};

// Sets the last write of `file` to midnight (UTC) of the given day.
void dateFile(const std::filesystem::path& file, const StandIn& s) {
    fs::SYSTEMTIME st;
    st.Year = s.year, st.Month = s.month, st.Day = s.day;
    fs::FILETIME ft;
    if (!fs::SystemTimeToFileTime(st, ft)) return;
    const auto seconds = std::chrono::system_clock::to_time_t(fs::FileTimeToTimePoint(ft));
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, file.c_str(), times, 0);
}

}  // namespace

void PlaceDriverStandIns() {
    std::string windows;
    const int32_t n = basWinAPI::GetWindowsDirectory(windows, 255);
    if (n < 1 || n > 255) return;
    for (const StandIn& s : kStandIns) {
        const std::string path = windows.substr(0, size_t(n)) + s.path;
        if (basWinAPI::FileExists(std::string_view(path))) continue;
        const std::filesystem::path file = fs::ToNativePath(path);
        // Drive C lies under the platform root: its folders and files are for the owner only.
        if (!fs::CreatePrivateFolders(file.parent_path()) ||
            !fs::WritePrivateFile(file, "Stand-in for a driver of the simulated 1394 stack.\n"))
            continue;
        dateFile(file, s);
    }
}

}  // namespace imagelift
