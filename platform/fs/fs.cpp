#include "fs/fs.h"

#include "clock/clock.h"
#include "vbrt/convert.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

namespace fs {

namespace stdfs = std::filesystem;

namespace {

// 100-ns intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 116444736000000000LL;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;

std::mutex g_programFolderMutex;
std::string g_programFolderOverride;

// ---- calendar -----------------------------------------------------------------------------

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + int64_t(doe) - 719468;
}

struct Civil {
    int64_t year;
    unsigned month, day;
};

Civil CivilFromDays(int64_t z) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {int64_t(yoe) + era * 400 + (m <= 2), m, d};
}

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

bool IsValidSystemTime(const SYSTEMTIME& t) {
    return t.Year >= 1601 && t.Year <= 30827 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 &&
           t.Day <= DaysInMonth(t.Year, t.Month) && t.Hour < 24 && t.Minute < 60 && t.Second < 60 &&
           t.Milliseconds < 1000;
}

uint16_t WeekdayOfUnixDays(int64_t days) {  // 1970-01-01 was a Thursday (4)
    int64_t w = (days + 4) % 7;
    return uint16_t(w < 0 ? w + 7 : w);
}

// ---- path texts ---------------------------------------------------------------------------

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Path texts are 8-bit; native names are UTF-8. A text that is already valid UTF-8 (every plain
// ASCII text is) is taken as it is.
std::string NativeText(std::string_view text) {
    return vb::IsValidUtf8(text) ? std::string(text) : vb::Win1252ToUtf8(text);
}

// The key under which two names count as equal without regard to case: names that the
// Windows-1252 code page can hold compare by its letters; any other name only as it is.
std::string FoldedName(std::string_view name) {
    std::string utf8 = NativeText(name);
    if (auto ansi = vb::Utf8ToWin1252(utf8)) return "A" + vb::LCase(*ansi);
    return "U" + utf8;
}

bool Exists(const stdfs::path& p) {
    std::error_code ec;
    return stdfs::exists(p, ec);
}

// The entry of `folder` whose name equals `name` without regard to case; empty when none.
// Where several differ only in case, the first in name order is taken.
std::string FindWithoutCase(const stdfs::path& folder, const std::string& name) {
    std::error_code ec;
    stdfs::directory_iterator it(folder, ec), end;
    if (ec) return {};
    const std::string wanted = FoldedName(name);
    std::vector<std::string> matches;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        std::string entry = it->path().filename().string();
        if (FoldedName(entry) == wanted) matches.push_back(std::move(entry));
    }
    if (matches.empty()) return {};
    return *std::min_element(matches.begin(), matches.end());
}

stdfs::path CurrentFolder() {
    std::error_code ec;
    stdfs::path p = stdfs::current_path(ec);
    return ec ? stdfs::path("/") : p;
}

stdfs::path ExecutablePath() {
    std::error_code ec;
    stdfs::path p = stdfs::read_symlink("/proc/self/exe", ec);
    return ec ? stdfs::path() : p;
}

FILETIME FromUnix(int64_t seconds, int64_t nanoseconds) {
    int64_t ticks = seconds * kTicksPerSecond + nanoseconds / 100 + kEpochDifference;
    return FILETIME::FromValue(uint64_t(std::max<int64_t>(ticks, 0)));
}

}  // namespace

// ---- roots and folders ------------------------------------------------------------------

stdfs::path PlatformRoot() {
    if (const char* root = std::getenv("LUMAREL_ROOT"); root && *root) return root;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return stdfs::path(state) / "lumarel";
    const char* home = std::getenv("HOME");
    return stdfs::path(home && *home ? home : "/tmp") / ".local" / "state" / "lumarel";
}

bool CreatePrivateFolders(const stdfs::path& dir) {
    std::error_code ec;
    if (dir.empty()) return false;
    if (stdfs::is_directory(dir, ec)) return true;
    const stdfs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir && !CreatePrivateFolders(parent)) return false;
    if (::mkdir(dir.c_str(), 0700) == 0) {
        ::chmod(dir.c_str(), 0700);  // the umask may have taken bits away
        return true;
    }
    return stdfs::is_directory(dir, ec);  // made meanwhile by another process
}

int OpenPrivateFile(const stdfs::path& file, int flags) {
    const int fd = ::open(file.c_str(), flags | O_CLOEXEC, 0600);
    if (fd >= 0 && (flags & O_CREAT)) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) != 0600) ::fchmod(fd, 0600);
    }
    return fd;
}

bool WritePrivateFile(const stdfs::path& file, std::string_view bytes, bool sync) {
    const int fd = OpenPrivateFile(file, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t at = 0; ok && at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        if (n > 0) at += size_t(n);
        else ok = n < 0 && errno == EINTR;
    }
    const int error = ok ? 0 : errno;
    if (ok && sync) ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (error != 0) errno = error;
    return ok;
}

stdfs::path DriveFolder(char letter) {
    char lower = (letter >= 'A' && letter <= 'Z') ? char(letter + 0x20) : letter;
    return PlatformRoot() / "drives" / std::string(1, lower);
}

std::string ProgramFolder() {
    {
        std::lock_guard<std::mutex> lock(g_programFolderMutex);
        if (!g_programFolderOverride.empty()) return g_programFolderOverride;
    }
    return ExecutablePath().parent_path().string();
}

std::string ProgramFileName() { return ExecutablePath().filename().string(); }

void OverrideProgramFolder(const std::string& folder) {
    std::lock_guard<std::mutex> lock(g_programFolderMutex);
    g_programFolderOverride = folder;
    while (g_programFolderOverride.size() > 1 && IsSeparator(g_programFolderOverride.back()))
        g_programFolderOverride.pop_back();
}

std::string CurDir() { return CurrentFolder().string(); }

bool ChDir(std::string_view path) {
    stdfs::path native = ToNativePath(path);
    std::error_code ec;
    if (!stdfs::is_directory(native, ec)) return false;
    stdfs::current_path(native, ec);
    return !ec;
}

// ---- paths ------------------------------------------------------------------------------

stdfs::path ToNativePath(std::string_view path) {
    std::string text = NativeText(path);
    std::string_view rest = text;
    stdfs::path base;
    if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
        base = PlatformRoot() / "unc";  // \\server\share\...
        rest.remove_prefix(2);
    } else if (rest.size() >= 2 && rest[1] == ':' &&
               ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'))) {
        base = DriveFolder(rest[0]);  // "X:\..." and the drive-relative "X:..."
        rest.remove_prefix(2);
    } else if (!rest.empty() && IsSeparator(rest[0])) {
        base = "/";
    } else {
        base = CurrentFolder();
    }

    std::vector<std::string> parts;
    for (size_t i = 0; i < rest.size();) {
        size_t j = i;
        while (j < rest.size() && !IsSeparator(rest[j])) ++j;
        if (j > i) parts.emplace_back(rest.substr(i, j - i));
        i = j + 1;
    }

    stdfs::path exact = base;
    for (const auto& part : parts) exact /= part;
    if (Exists(exact)) return exact;

    // Resolve component by component; an exact name wins over a match without regard to case.
    stdfs::path resolved = base;
    bool missing = false;
    for (const auto& part : parts) {
        if (part == ".") continue;
        if (part == "..") {
            resolved = resolved.parent_path();
            continue;
        }
        if (!missing && !Exists(resolved / part)) {
            std::string match = FindWithoutCase(resolved, part);
            if (!match.empty()) {
                resolved /= match;
                continue;
            }
            missing = true;  // the rest names something that does not exist (yet)
        }
        resolved /= part;
    }
    return resolved;
}

FolderNames::FolderNames(stdfs::path folder) : folder_(std::move(folder)) {}

void FolderNames::list() {
    listed_ = true;
    std::error_code ec;
    stdfs::directory_iterator it(folder_, ec), end;
    if (ec) return;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        Added(it->path());
    }
}

void FolderNames::Added(const stdfs::path& file) {
    if (!listed_ || file.parent_path() != folder_) return;
    std::string name = file.filename().string();
    auto [at, added] = byFoldedName_.try_emplace(FoldedName(name), name);
    if (!added && name < at->second) at->second = std::move(name);
}

stdfs::path FolderNames::Resolve(std::string_view name) {
    const std::string text = NativeText(name);
    if (text.empty() || text == "." || text == ".." || std::any_of(text.begin(), text.end(), IsSeparator))
        return ToNativePath(folder_.string() + "/" + text);
    const stdfs::path exact = folder_ / text;
    if (Exists(exact)) return exact;
    if (!listed_) list();
    const auto it = byFoldedName_.find(FoldedName(text));
    return it == byFoldedName_.end() ? exact : folder_ / it->second;
}

bool FileExists(std::string& path, int32_t /*attributes*/) {
    path.erase(std::remove(path.begin(), path.end(), '*'), path.end());
    if (path.empty()) return false;
    return Exists(ToNativePath(path));
}

bool FileExists(std::string_view path, int32_t attributes) {
    std::string copy(path);
    return FileExists(copy, attributes);
}

bool DirExists(std::string_view path, int32_t /*attributes*/) {
    if (path.empty()) return false;
    return Exists(ToNativePath(path));
}

bool IsRegularFile(std::string_view path) {
    if (path.empty()) return false;
    std::error_code ec;
    return stdfs::is_regular_file(ToNativePath(path), ec);
}

// ---- reading files named from outside ----------------------------------------------------

int OpenRegularFile(const stdfs::path& file, bool* notRegular) {
    if (notRegular) *notRegular = false;
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer (and is then refused).
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (notRegular) *notRegular = true;
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

ReadResult ReadRegularFile(const stdfs::path& file, size_t limit, std::string& bytes) {
    bytes.clear();
    bool notRegular = false;
    const int fd = OpenRegularFile(file, &notRegular);
    if (fd < 0) return notRegular ? ReadResult::NotRegular : ReadResult::CannotOpen;
    ReadResult result = ReadResult::Ok;
    char piece[65536];
    for (;;) {
        const size_t want = std::min(sizeof piece, limit + 1 - bytes.size());
        const ssize_t n = ::read(fd, piece, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = ReadResult::ReadFailed;
            break;
        }
        if (n == 0) break;
        bytes.append(piece, size_t(n));
        if (bytes.size() > limit) {
            result = ReadResult::TooLarge;
            break;
        }
    }
    ::close(fd);
    if (result != ReadResult::Ok) bytes.clear();
    return result;
}

std::string ReadResultText(ReadResult result, size_t limit) {
    switch (result) {
    case ReadResult::Ok: return {};
    case ReadResult::CannotOpen: return "cannot be opened";
    case ReadResult::NotRegular: return "is not a regular file";
    case ReadResult::TooLarge: return "is larger than " + std::to_string(limit) + " bytes";
    case ReadResult::ReadFailed: return "cannot be read";
    }
    return {};
}

// ---- sizes and times --------------------------------------------------------------------

int64_t FileSize64::Value() const {
    if (!Found()) return -1;
    return int64_t((uint64_t(uint32_t(High)) << 32) | uint32_t(Low));
}

FileSize64 GetFileSize64(std::string_view path) {
    if (path.empty()) return {};
    struct stat st {};
    if (::stat(ToNativePath(path).c_str(), &st) != 0) return {};
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : uint64_t(st.st_size);
    return {int32_t(uint32_t(size)), int32_t(uint32_t(size >> 32))};
}

FILETIME GetFileLastWriteTime(std::string_view path) {
    if (path.empty()) return FILETIME::Missing();
    struct stat st {};
    if (::stat(ToNativePath(path).c_str(), &st) != 0) return FILETIME::Missing();
    return FromUnix(int64_t(st.st_mtim.tv_sec), int64_t(st.st_mtim.tv_nsec));
}

bool FileTimeToSystemTime(const FILETIME& time, SYSTEMTIME& out) {
    uint64_t v = time.Value();
    if (v >> 63) return false;
    int64_t ticks = int64_t(v);
    int64_t days1601 = ticks / kTicksPerDay;
    int64_t inDay = ticks % kTicksPerDay;
    int64_t unixDays = days1601 + DaysFromCivil(1601, 1, 1);
    Civil c = CivilFromDays(unixDays);
    SYSTEMTIME t;
    t.Year = uint16_t(c.year);
    t.Month = uint16_t(c.month);
    t.Day = uint16_t(c.day);
    t.DayOfWeek = WeekdayOfUnixDays(unixDays);
    int64_t ms = inDay / 10'000;
    t.Hour = uint16_t(ms / 3'600'000);
    t.Minute = uint16_t(ms / 60'000 % 60);
    t.Second = uint16_t(ms / 1000 % 60);
    t.Milliseconds = uint16_t(ms % 1000);
    out = t;
    return true;
}

bool SystemTimeToFileTime(const SYSTEMTIME& time, FILETIME& out) {
    if (!IsValidSystemTime(time)) return false;
    int64_t days1601 = DaysFromCivil(time.Year, time.Month, time.Day) - DaysFromCivil(1601, 1, 1);
    int64_t ms = ((int64_t(time.Hour) * 60 + time.Minute) * 60 + time.Second) * 1000 + time.Milliseconds;
    out = FILETIME::FromValue(uint64_t(days1601 * kTicksPerDay + ms * 10'000));
    return true;
}

int32_t SystemTimeToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME& local) {
    if (!IsValidSystemTime(utc)) return -1;
    int64_t unixDays = DaysFromCivil(utc.Year, utc.Month, utc.Day);
    time_t seconds = time_t(unixDays * 86400 + (int64_t(utc.Hour) * 60 + utc.Minute) * 60 + utc.Second);
    // The zone may have changed since the last call (TZ); read it again.
    ::tzset();
    struct tm tm {};
    if (::localtime_r(&seconds, &tm) == nullptr) return -1;
    int64_t year = int64_t(tm.tm_year) + 1900;
    if (year < 1601 || year > 30827) return -1;
    SYSTEMTIME t;
    t.Year = uint16_t(year);
    t.Month = uint16_t(tm.tm_mon + 1);
    t.Day = uint16_t(tm.tm_mday);
    t.DayOfWeek = uint16_t(tm.tm_wday);
    t.Hour = uint16_t(tm.tm_hour);
    t.Minute = uint16_t(tm.tm_min);
    t.Second = uint16_t(tm.tm_sec);
    t.Milliseconds = utc.Milliseconds;
    local = t;
    return 1;
}

FILETIME TimePointToFileTime(std::chrono::system_clock::time_point t) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    int64_t seconds = ns / 1'000'000'000;
    int64_t rest = ns % 1'000'000'000;
    if (rest < 0) rest += 1'000'000'000, --seconds;
    return FromUnix(seconds, rest);
}

std::chrono::system_clock::time_point FileTimeToTimePoint(const FILETIME& time) {
    int64_t ticks = int64_t(time.Value() & 0x7FFFFFFFFFFFFFFFULL) - kEpochDifference;
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>(ticks)));
}

FILETIME FileTimeNow() { return TimePointToFileTime(clk::WallNow()); }

SYSTEMTIME SystemTimeNow() {
    SYSTEMTIME t;
    FileTimeToSystemTime(FileTimeNow(), t);
    return t;
}

SYSTEMTIME LocalTimeNow() {
    SYSTEMTIME utc = SystemTimeNow();
    SYSTEMTIME local = utc;
    SystemTimeToLocalTime(utc, local);
    return local;
}

}  // namespace fs
