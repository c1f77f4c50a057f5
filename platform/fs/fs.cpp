#include "fs/fs.h"

#include "clock/clock.h"
#include "vbrt/convert.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <set>
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

// The home folder the password database gives the effective user; empty when it has none.
std::string HomeFromPasswordDatabase() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size < 1024) size = 16384;
    for (int attempt = 0; attempt < 6; ++attempt, size *= 4) {
        std::vector<char> buffer(static_cast<size_t>(size));
        passwd entry {};
        passwd* found = nullptr;
        const int rc = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE) continue;
        if (rc != 0 || !found || !found->pw_dir || !*found->pw_dir) return {};
        return found->pw_dir;
    }
    return {};
}

// The components of a path made absolute and normal ("/", then one name each).
std::vector<std::string> Components(const stdfs::path& p) {
    std::error_code ec;
    stdfs::path absolute = stdfs::absolute(p, ec);
    if (ec) absolute = p;
    std::vector<std::string> parts;
    for (const auto& part : absolute.lexically_normal()) {
        const std::string text = part.string();
        if (!text.empty() && text != ".") parts.push_back(text);
    }
    return parts;
}

// A text as one word of a shell command line.
std::string ShellWord(const std::string& text) {
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Why a folder of the platform root may not be used, from its status.
std::optional<std::string> FolderProblem(const std::string& folder, const struct stat& st) {
    const uid_t me = ::geteuid();
    if (st.st_uid != me)
        return "The folder '" + folder + "' of the platform root belongs to another user (uid " +
               std::to_string(st.st_uid) + ", not " + std::to_string(me) +
               "): it cannot hold this user's private state.  Remove it, or have an administrator give it to this "
               "user with \"chown -R " + std::to_string(me) + " " + ShellWord(folder) + "\".";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return "The folder '" + folder + "' of the platform root can be written by other users (mode " + mode +
               "): it cannot hold this user's private state.  Mend it with \"chmod go-w " + ShellWord(folder) +
               "\".";
    }
    return std::nullopt;
}

// A refused folder is said on standard error once per process: whichever program meets it,
// its user learns which folder and how to mend it.
void ReportRefusedFolder(const std::string& text) {
    static std::mutex m;
    static std::set<std::string> told;
    std::lock_guard<std::mutex> lock(m);
    if (told.insert(text).second) std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
}

// Creates `dir` and the folders above it that are missing, each new one 0700.
bool CreateFolders(const stdfs::path& dir) {
    std::error_code ec;
    if (dir.empty()) return false;
    if (stdfs::is_directory(dir, ec)) return true;
    const stdfs::path parent = dir.parent_path();
    if (!parent.empty() && parent != dir && !CreateFolders(parent)) return false;
    if (::mkdir(dir.c_str(), 0700) == 0) {
        ::chmod(dir.c_str(), 0700);  // the umask may have taken bits away
        return true;
    }
    return stdfs::is_directory(dir, ec);  // made meanwhile by another process
}

}  // namespace

// ---- roots and folders ------------------------------------------------------------------

stdfs::path PlatformRoot() {
    if (const char* root = std::getenv("LUMAREL_ROOT"); root && *root) return root;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state)
        return stdfs::path(state) / "lumarel";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) home = h;
    if (home.empty()) home = HomeFromPasswordDatabase();
    if (home.empty()) return {};
    return stdfs::path(home) / ".local" / "state" / "lumarel";
}

std::optional<std::string> PrivateFolderProblem(const stdfs::path& dir) {
    const stdfs::path root = PlatformRoot();
    if (root.empty())
        return "There is no platform root: LUMAREL_ROOT, XDG_STATE_HOME and HOME are unset, and the password "
               "database names no home folder for uid " + std::to_string(::geteuid()) +
               ".  Set LUMAREL_ROOT to a folder of this user's own.";
    const std::vector<std::string> rootParts = Components(root), dirParts = Components(dir);
    if (dirParts.size() < rootParts.size() || !std::equal(rootParts.begin(), rootParts.end(), dirParts.begin()))
        return std::nullopt;  // not below the platform root
    stdfs::path at;
    for (size_t i = 0; i < dirParts.size(); ++i) {
        at /= dirParts[i];
        if (i + 1 < rootParts.size()) continue;  // above the root: the user's choice of place
        struct stat st {};
        if (::stat(at.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) break;  // made (or refused) by the caller
        if (auto problem = FolderProblem(at.string(), st)) return problem;
    }
    return std::nullopt;
}

bool CreatePrivateFolders(const stdfs::path& dir, std::string* problem) {
    // Judged before and after: a folder that did not exist yet and was made meanwhile by someone
    // else is judged as well.
    auto refused = [&](const std::string& text) {
        ReportRefusedFolder(text);
        if (problem) *problem = text;
        errno = EACCES;
        return false;
    };
    if (auto p = PrivateFolderProblem(dir)) return refused(*p);
    if (!CreateFolders(dir)) return false;
    if (auto p = PrivateFolderProblem(dir)) return refused(*p);
    return true;
}

int OpenPrivateFile(const stdfs::path& file, int flags) {
    const int fd = ::open(file.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
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

bool CopyToPrivateFile(const stdfs::path& from, const stdfs::path& file) {
    const int in = OpenRegularFile(from);
    if (in < 0) return false;
    const int out = OpenPrivateFile(file, O_WRONLY | O_CREAT | O_TRUNC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return false;
    }
    bool ok = true;
    char buffer[65536];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        for (ssize_t at = 0; ok && at < n;) {
            const ssize_t w = ::write(out, buffer + at, size_t(n - at));
            if (w > 0) at += w;
            else ok = w < 0 && errno == EINTR;
        }
    }
    const int error = ok ? 0 : errno;
    ok = ::close(out) == 0 && ok;
    ::close(in);
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

// ---- file locks ---------------------------------------------------------------------------

std::vector<int> LockHolderPids(std::string_view procLocks, unsigned major, unsigned minor, uint64_t inode) {
    // A line: "<n>: FLOCK  ADVISORY  WRITE <pid> <major>:<minor>:<inode> <start> <end>", major and
    // minor in hex, the inode in decimal; a waiter's line has "->" after the number.
    std::vector<int> pids;
    size_t at = 0;
    while (at < procLocks.size() && pids.size() < kMaxLockHolders) {
        size_t end = procLocks.find('\n', at);
        if (end == std::string_view::npos) end = procLocks.size();
        const std::string_view line = procLocks.substr(at, end - at);
        at = end + 1;
        std::vector<std::string_view> fields;
        for (size_t i = 0; i < line.size() && fields.size() < 6;) {
            while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
            const size_t from = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
            if (i > from) fields.push_back(line.substr(from, i - from));
        }
        if (fields.size() < 6 || fields[1] != "FLOCK") continue;  // a waiter's second field is "->"
        // Whole numbers only: no sign, no blanks, nothing left over, nothing out of range.
        const auto number = [](std::string_view text, int base, uint64_t& value) {
            const auto r = std::from_chars(text.data(), text.data() + text.size(), value, base);
            return r.ec == std::errc() && r.ptr == text.data() + text.size() && !text.empty();
        };
        const std::string_view file = fields[5];
        const size_t colon1 = file.find(':'), colon2 = colon1 == std::string_view::npos ? colon1 : file.find(':', colon1 + 1);
        uint64_t pid = 0, fileMajor = 0, fileMinor = 0, fileInode = 0;
        if (!number(fields[4], 10, pid) || pid == 0 || pid > 0x7FFFFFFF || colon2 == std::string_view::npos ||
            !number(file.substr(0, colon1), 16, fileMajor) ||
            !number(file.substr(colon1 + 1, colon2 - colon1 - 1), 16, fileMinor) ||
            !number(file.substr(colon2 + 1), 10, fileInode) || fileMajor != major || fileMinor != minor ||
            fileInode != inode)
            continue;
        if (std::find(pids.begin(), pids.end(), int(pid)) == pids.end()) pids.push_back(int(pid));
    }
    return pids;
}

std::string LockHolders(int fd) {
    struct stat st {};
    std::string locks;
    if (::fstat(fd, &st) != 0 || ReadRegularFile("/proc/locks", 4u << 20, locks) != ReadResult::Ok) return {};
    std::string text;
    for (int pid : LockHolderPids(locks, ::major(st.st_dev), ::minor(st.st_dev), uint64_t(st.st_ino))) {
        std::string name;
        ReadRegularFile("/proc/" + std::to_string(pid) + "/comm", 64, name);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
        // Any process picks its own name: it goes into a message only as printable text.
        for (char& c : name)
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
        if (!text.empty()) text += ", ";
        text += "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    }
    return text;
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
