// Windows-style files on Linux.
//
// The programs name files the Windows way: "C:\Program Files\...", "script-data\status.txt",
// "..\x.fwp". Both "\" and "/" separate folders. A drive letter "X:" is a folder under the
// platform root ($LUMAREL_ROOT/drives/x); a path that starts with a separator and no drive is a
// native absolute path (so the program's own folder, "/.../bin", works as it is); "\\server\share"
// maps to $LUMAREL_ROOT/unc/server/share; anything else is relative to the current folder.
// The command line arrives upper-cased, so when the exact path does not exist each component
// is looked up without regard to case (an exact match always wins).
//
// Path texts are 8-bit Windows-1252 (or already UTF-8); native names are UTF-8.
//
// The file questions follow the platform's find-first-file rules: a missing file is False or
// -1, never an error. Times are FILETIME values (100 ns since 1601-01-01 UTC) and SYSTEMTIME
// records; the wall clock is read only through platform/clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fs {

// ---- roots and folders ------------------------------------------------------------------

// The platform root: $LUMAREL_ROOT, else $XDG_STATE_HOME/lumarel, else
// <home>/.local/state/lumarel, where <home> is $HOME or, when HOME is unset or empty, the home
// folder the password database gives the user (never the current folder: a folder another user
// can reach). Empty when none of them names a folder. Read on every call (tests set their own);
// not created here.
std::filesystem::path PlatformRoot();
// Why `dir` may not hold this user's private state, or nothing when it may. The platform root
// holds the bus service's socket, lock and state files, the device's keys and the driver store:
// the root and every existing folder from it down to `dir` must belong to the user and be
// writable by nobody else, or another local user could swap the socket, put a symbolic link in
// place of a lock file or plant a driver. The text names the folder and how to mend it. A folder
// outside the platform root is not judged here.
std::optional<std::string> PrivateFolderProblem(const std::filesystem::path& dir);
// Creates `dir` and the folders above it that are missing, each new one for its owner only
// (0700, whatever the umask: the platform root holds the bus service's socket and the device's
// keys). Inside the platform root, folders that exist are judged as PrivateFolderProblem judges
// them and are never widened or narrowed: one that another user owns or may write is refused
// (false, errno EACCES), said once on standard error, and its problem stored in `problem` when
// given. True when `dir` is a folder that may be used afterwards.
bool CreatePrivateFolders(const std::filesystem::path& dir, std::string* problem = nullptr);
// open(2) of a file that, when created, is for its owner only (0600, whatever the umask), never
// through a symbolic link in its place (a lock or state file under the platform root is the
// user's own, not a file a link points at). Returns the descriptor (close-on-exec) or -1 with
// errno set (ELOOP for a link).
int OpenPrivateFile(const std::filesystem::path& file, int flags);
// Writes `bytes` as the whole of `file` (created for its owner only, as OpenPrivateFile; an
// existing file is truncated, a symbolic link in its place is not followed), flushed to the disk
// when `sync` is set. False (errno set) when any step failed; callers that replace a file write
// it under a temporary name and rename it.
bool WritePrivateFile(const std::filesystem::path& file, std::string_view bytes, bool sync = false);
// Copies the regular file `from` into `file`, which is created (or truncated) as WritePrivateFile
// creates it: for its owner only from the first byte, whatever mode `from` has. False (errno
// set) when any step failed.
bool CopyToPrivateFile(const std::filesystem::path& from, const std::filesystem::path& file);
// The folder that stands for drive `letter` (any case): PlatformRoot()/drives/<lower letter>.
std::filesystem::path DriveFolder(char letter);

// The folder of the running executable, without a trailing separator.
std::string ProgramFolder();
// File name of the running executable.
std::string ProgramFileName();
// Tests that stand in for a program set its folder here; an empty text restores the real one.
void OverrideProgramFolder(const std::string& folder);

// The current folder (native, no trailing separator).
std::string CurDir();
// Makes a folder current (Windows-style path accepted). False when it is not a folder.
bool ChDir(std::string_view path);

// ---- paths ------------------------------------------------------------------------------

// The native path for a Windows-style path text (see the top of this file). Empty text gives
// the current folder.
std::filesystem::path ToNativePath(std::string_view path);

// Names in one folder resolved as ToNativePath resolves them (the exact name when it exists,
// else the entry that differs from it only in case, else the name as given), with the folder
// read once: resolving a name that does not exist yet reads the whole folder, so a caller that
// resolves many names in a folder that it fills (a key batch writing a data file per entry)
// keeps the names here and tells of each file it makes. A name with a separator, "." or ".."
// goes to ToNativePath. Files that others make meanwhile in other case are not seen.
class FolderNames {
public:
    // `folder` as ToNativePath gives it.
    explicit FolderNames(std::filesystem::path folder);
    // The native path of `name` in the folder.
    std::filesystem::path Resolve(std::string_view name);
    // The caller made this file (a native path that Resolve gave).
    void Added(const std::filesystem::path& file);

private:
    void list();
    std::filesystem::path folder_;
    bool listed_ = false;
    std::unordered_map<std::string, std::string> byFoldedName_;  // the first in name order
};

// True when a file or folder of that name exists. Removes every "*" from `path` first, also in
// the caller's variable. The attribute mask has no effect.
bool FileExists(std::string& path, int32_t attributes = 0);
// The same for a text the caller does not keep (a literal or a joined path).
bool FileExists(std::string_view path, int32_t attributes = 0);
// True when anything of that name exists, file or folder (the path is not changed).
bool DirExists(std::string_view path, int32_t attributes = 0);
// True when the path names a regular file (through symbolic links). A FIFO, a device or a
// socket is no file to read: opening one for reading can wait for ever on a writer.
bool IsRegularFile(std::string_view path);

// ---- reading files named from outside ----------------------------------------------------

// Opens a file for reading when it is a regular file (through symbolic links), without waiting:
// a name from outside (a bus description, a control command) may name a FIFO, whose open(2)
// waits for a writer for ever, or a device that never ends. Such a file is closed again at
// once. Returns the descriptor (close-on-exec, reads blocking as usual) or -1.
int OpenRegularFile(const std::filesystem::path& file, bool* notRegular = nullptr);

enum class ReadResult { Ok, CannotOpen, NotRegular, TooLarge, ReadFailed };
// Reads the whole of a regular file of at most `limit` bytes into `bytes` (opened as
// OpenRegularFile opens it; no more than limit + 1 bytes are read whatever the file claims).
ReadResult ReadRegularFile(const std::filesystem::path& file, size_t limit, std::string& bytes);
// The reason as a message says it: "cannot be opened", "is not a regular file", "is larger
// than <limit> bytes", "cannot be read" (empty for Ok).
std::string ReadResultText(ReadResult result, size_t limit);

// ---- file locks ---------------------------------------------------------------------------

// Who holds a lock (flock(2)) on the open file `fd`: "process 4242 (Dorvik)", with the name the
// system gives the process, several joined by ", "; empty when the system does not say. For
// messages that name what keeps a caller waiting.
std::string LockHolders(int fd);
// The ids of the processes that hold a flock(2) lock on the file (device major, minor, inode)
// by a text in the form of /proc/locks; those still waiting for one ("->" lines) hold none. At
// most kMaxLockHolders distinct ids, in the order the text gives them.
inline constexpr size_t kMaxLockHolders = 8;
std::vector<int> LockHolderPids(std::string_view procLocks, unsigned major, unsigned minor, uint64_t inode);

// ---- sizes and times --------------------------------------------------------------------

// A 64-bit file size as its two 32-bit halves; both -1 when the file was not found.
struct FileSize64 {
    int32_t Low = -1;
    int32_t High = -1;
    bool Found() const { return !(Low == -1 && High == -1); }
    // The size, or -1 when not found.
    int64_t Value() const;
};
FileSize64 GetFileSize64(std::string_view path);

// 100-nanosecond intervals since 1601-01-01 00:00 UTC, as its low and high halves.
struct FILETIME {
    uint32_t LowDateTime = 0;
    uint32_t HighDateTime = 0;

    uint64_t Value() const { return (uint64_t(HighDateTime) << 32) | LowDateTime; }
    static FILETIME FromValue(uint64_t v) { return {uint32_t(v), uint32_t(v >> 32)}; }
    // The value of a file that was not found: all 64 bits set (-1).
    static FILETIME Missing() { return FromValue(~uint64_t(0)); }
    bool IsMissing() const { return Value() == ~uint64_t(0); }
    friend bool operator==(const FILETIME&, const FILETIME&) = default;
};

// Calendar date and time; DayOfWeek 0 = Sunday.
struct SYSTEMTIME {
    uint16_t Year = 0;
    uint16_t Month = 0;
    uint16_t DayOfWeek = 0;
    uint16_t Day = 0;
    uint16_t Hour = 0;
    uint16_t Minute = 0;
    uint16_t Second = 0;
    uint16_t Milliseconds = 0;
    friend bool operator==(const SYSTEMTIME&, const SYSTEMTIME&) = default;
};

// Last-write time of a file or folder (UTC), or FILETIME::Missing() when not found.
FILETIME GetFileLastWriteTime(std::string_view path);

// FILETIME -> SYSTEMTIME without a time-zone change. Fails (false, `out` untouched) for values
// with bit 63 set, as the missing-file value.
bool FileTimeToSystemTime(const FILETIME& time, SYSTEMTIME& out);
// SYSTEMTIME -> FILETIME; fails (false, `out` untouched) for a record that is not a valid date
// and time from 1601 on. DayOfWeek is ignored.
bool SystemTimeToFileTime(const SYSTEMTIME& time, FILETIME& out);
// UTC record -> local time of the zone in force (TZ). 1 after a conversion, -1 when the record
// is not a valid time or the zone cannot be read (`local` is then untouched). Converts in
// standard time, daylight-saving time and zones without daylight-saving rules alike.
int32_t SystemTimeToLocalTime(const SYSTEMTIME& utc, SYSTEMTIME& local);

// Conversions between FILETIME and the clock's time points.
FILETIME TimePointToFileTime(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point FileTimeToTimePoint(const FILETIME& time);

// The current time from clk::WallNow: as FILETIME, as UTC record and as local record.
FILETIME FileTimeNow();
SYSTEMTIME SystemTimeNow();
SYSTEMTIME LocalTimeNow();

}  // namespace fs
