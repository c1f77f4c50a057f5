#include "fs/fs.h"

#include "clock/clock.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace stdfs = std::filesystem;

// Sets or clears an environment variable for the lifetime of a scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

void WriteFile(const stdfs::path& p, const std::string& bytes) {
    stdfs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << bytes;
}

// Every test gets its own platform root with drive C, and a current folder inside it.
class FsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lumarel-fs-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        env_.emplace("LUMAREL_ROOT", root_.c_str());
        oldCwd_ = stdfs::current_path();
        drive_ = root_ / "drives" / "c";
        cwd_ = root_ / "work";
        stdfs::create_directories(cwd_);
        stdfs::current_path(cwd_);
        WriteFile(drive_ / "Data" / "Fw" / "App.fwp", "12345");
        WriteFile(cwd_ / "Sub" / "File.txt", "x");
    }
    void TearDown() override {
        stdfs::current_path(oldCwd_);
        env_.reset();
        stdfs::remove_all(root_);
    }

    stdfs::path root_, drive_, cwd_, oldCwd_;
    std::optional<ScopedEnv> env_;
};

TEST_F(FsTest, WindowsPathsMapToNativeOnes) {
    WriteFile(cwd_ / "caf\xC3\xA9.txt", "x");  // a native UTF-8 name
    const std::pair<std::string, stdfs::path> cases[] = {
        {"C:\\Data\\Fw\\App.fwp", drive_ / "Data/Fw/App.fwp"},
        {"c:/DATA\\fw/APP.FWP", drive_ / "Data/Fw/App.fwp"},          // mixed separators, wrong case
        {"C:\\DATA\\\\FW\\", drive_ / "Data/Fw"},                      // doubled and trailing separators
        {"C:\\DATA\\New\\OUT.TXT", drive_ / "Data/New/OUT.TXT"},       // missing tail kept as given
        {"SUB\\FILE.TXT", cwd_ / "Sub/File.txt"},                      // relative to the current folder
        {"sub\\..\\SUB\\.\\file.txt", cwd_ / "Sub/File.txt"},
        {"CAF\xC9.TXT", cwd_ / "caf\xC3\xA9.txt"},                     // 8-bit text, upper-cased
        {(cwd_ / "Sub").string() + "\\File.txt", cwd_ / "Sub/File.txt"},  // native absolute folder
        {"\\\\server\\share\\x.txt", root_ / "unc/server/share/x.txt"},
        {"D:", root_ / "drives/d"},
        {"", cwd_},
    };
    for (const auto& [text, native] : cases) EXPECT_EQ(fs::ToNativePath(text), native) << text;
}

TEST_F(FsTest, AnExactNameWinsOverOneThatDiffersInCase) {
    WriteFile(cwd_ / "README", "upper");
    WriteFile(cwd_ / "Readme", "mixed");
    EXPECT_EQ(fs::ToNativePath("Readme"), cwd_ / "Readme");
    EXPECT_EQ(fs::ToNativePath("README"), cwd_ / "README");
    EXPECT_EQ(fs::ToNativePath("readme"), cwd_ / "README");  // first in name order
}

// Names resolved in one folder read it once, and agree with ToNativePath: the exact name, else
// the first that differs only in case, else the name as given; files the caller makes count.
TEST_F(FsTest, FolderNamesResolveAsNativePathsDoWhileTheFolderFills) {
    WriteFile(cwd_ / "Sub" / "README", "upper");
    WriteFile(cwd_ / "Sub" / "Readme", "mixed");
    fs::FolderNames names(fs::ToNativePath("SUB"));
    for (const char* name : {"Readme", "README", "readme", "file.TXT", "new.txt", "Inner\\X.TXT", "..\\sub\\FILE.txt"}) {
        EXPECT_EQ(names.Resolve(name), fs::ToNativePath(std::string("SUB\\") + name)) << name;
    }
    // Made after the folder was read: the caller tells of it, and it is found in any case.
    WriteFile(cwd_ / "Sub" / "Added.txt", "x");
    names.Added(cwd_ / "Sub" / "Added.txt");
    EXPECT_EQ(names.Resolve("ADDED.TXT"), cwd_ / "Sub" / "Added.txt");
    EXPECT_EQ(names.Resolve("added.txt"), cwd_ / "Sub" / "Added.txt");
}

TEST_F(FsTest, FileExistsStripsAsterisksInTheCallersText) {
    struct Case {
        std::string in, after;
        bool exists;
    };
    const Case cases[] = {
        {"C:\\DATA\\FW\\*APP.FWP", "C:\\DATA\\FW\\APP.FWP", true},
        {"C:\\DATA\\*.FWP", "C:\\DATA\\.FWP", false},
        {"C:\\Data\\Fw", "C:\\Data\\Fw", true},  // a folder counts
        {"C:\\Data\\Fw\\Missing.fwp", "C:\\Data\\Fw\\Missing.fwp", false},
        {"**", "", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        std::string path = c.in;
        EXPECT_EQ(fs::FileExists(path), c.exists) << c.in;
        EXPECT_EQ(path, c.after);
    }
    EXPECT_TRUE(fs::FileExists(std::string_view("C:\\DATA\\FW\\*APP.FWP")));
    EXPECT_TRUE(fs::FileExists(std::string("C:\\DATA") + "\\FW"));
    EXPECT_TRUE(fs::DirExists("C:\\DATA\\FW\\APP.FWP"));  // a plain file answers too
    EXPECT_TRUE(fs::DirExists("c:\\data"));
    EXPECT_FALSE(fs::DirExists("C:\\Nothing"));
}

// Only a regular file is one to read: a FIFO would block its reader until a writer came.
TEST_F(FsTest, OnlyRegularFilesAnswerAsRegularFiles) {
    WriteFile(cwd_ / "Data.txt", "x");
    ASSERT_EQ(::mkfifo((cwd_ / "pipe").c_str(), 0600), 0);
    stdfs::create_symlink(cwd_ / "Data.txt", cwd_ / "link.txt");
    const std::pair<const char*, bool> cases[] = {
        {"Data.txt", true}, {"DATA.TXT", true}, {"link.txt", true}, {"pipe", false},
        {"Missing.txt", false}, {".", false}, {"", false},
    };
    for (const auto& [path, regular] : cases) EXPECT_EQ(fs::IsRegularFile(path), regular) << path;
}

TEST_F(FsTest, FileSizeInTwoHalves) {
    auto small = fs::GetFileSize64("c:\\data\\fw\\app.fwp");
    EXPECT_EQ(small.Low, 5);
    EXPECT_EQ(small.High, 0);
    EXPECT_EQ(small.Value(), 5);

    stdfs::resize_file(drive_ / "Data" / "Fw" / "App.fwp", (int64_t(1) << 32) + 0x80000000LL);  // sparse
    auto big = fs::GetFileSize64("C:\\Data\\Fw\\App.fwp");
    EXPECT_EQ(big.High, 1);
    EXPECT_EQ(big.Low, INT32_MIN);  // low half 0x80000000 as a signed value
    EXPECT_EQ(big.Value(), (int64_t(1) << 32) + 0x80000000LL);

    auto missing = fs::GetFileSize64("C:\\missing.bin");
    EXPECT_EQ(missing.Low, -1);
    EXPECT_EQ(missing.High, -1);
    EXPECT_EQ(missing.Value(), -1);
    EXPECT_EQ(fs::GetFileSize64("C:\\Data").Value(), 0);
}

TEST_F(FsTest, LastWriteTimeIsAFileTime) {
    // 2024-02-03 07:05:09.5 UTC, a Saturday.
    timespec times[2] = {{1706943909, 500'000'000}, {1706943909, 500'000'000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (drive_ / "Data/Fw/App.fwp").c_str(), times, 0), 0);
    fs::FILETIME ft = fs::GetFileLastWriteTime("C:\\DATA\\FW\\APP.FWP");
    EXPECT_EQ(ft.Value(), 1706943909ULL * 10'000'000 + 5'000'000 + 116444736000000000ULL);
    fs::SYSTEMTIME st;
    ASSERT_TRUE(fs::FileTimeToSystemTime(ft, st));
    EXPECT_EQ(st, (fs::SYSTEMTIME{2024, 2, 6, 3, 7, 5, 9, 500}));

    fs::FILETIME missing = fs::GetFileLastWriteTime("C:\\missing.bin");
    EXPECT_TRUE(missing.IsMissing());
    EXPECT_EQ(missing.LowDateTime, 0xFFFFFFFFu);
    fs::SYSTEMTIME untouched{1999, 1, 5, 1, 0, 0, 0, 0};
    EXPECT_FALSE(fs::FileTimeToSystemTime(missing, untouched));
    EXPECT_EQ(untouched.Year, 1999);
}

// Folders and files for the owner only, whatever the umask: new folders 0700 (existing ones
// keep their mode), files created (or opened for writing) 0600.
TEST_F(FsTest, PrivateFoldersAndFilesIgnoreTheUmask) {
    const mode_t before = ::umask(0);
    const auto mode = [](const stdfs::path& p) {
        struct stat st {};
        ::stat(p.c_str(), &st);
        return st.st_mode & 07777;
    };
    ::chmod(root_.c_str(), 0755);
    const stdfs::path deep = root_ / "fresh" / "bus" / "state";
    EXPECT_TRUE(fs::CreatePrivateFolders(deep));
    EXPECT_TRUE(fs::CreatePrivateFolders(deep));  // already there
    for (const auto& p : {root_ / "fresh", root_ / "fresh" / "bus", deep}) EXPECT_EQ(mode(p), 0700u) << p;
    EXPECT_EQ(mode(root_), 0755u);
    WriteFile(root_ / "file", "x");
    EXPECT_FALSE(fs::CreatePrivateFolders(root_ / "file" / "below"));

    int fd = fs::OpenPrivateFile(deep / "state.json", O_WRONLY | O_CREAT | O_EXCL);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(mode(deep / "state.json"), 0600u);
    EXPECT_LT(fs::OpenPrivateFile(deep / "state.json", O_WRONLY | O_CREAT | O_EXCL), 0);
    ::chmod((root_ / "file").c_str(), 0666);  // an older file, made before
    fd = fs::OpenPrivateFile(root_ / "file", O_WRONLY | O_CREAT | O_APPEND);
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_EQ(mode(root_ / "file"), 0600u);

    // Written whole, for the owner; an older file of a wider mode is narrowed, a link not followed.
    ASSERT_TRUE(fs::WritePrivateFile(deep / "list.json", "[]"));
    EXPECT_EQ(mode(deep / "list.json"), 0600u);
    ::chmod((deep / "list.json").c_str(), 0644);
    ASSERT_TRUE(fs::WritePrivateFile(deep / "list.json", "[1]", true));
    EXPECT_EQ(mode(deep / "list.json"), 0600u);
    std::string text;
    ASSERT_EQ(fs::ReadRegularFile(deep / "list.json", 100, text), fs::ReadResult::Ok);
    EXPECT_EQ(text, "[1]");
    stdfs::create_symlink(root_ / "file", deep / "link");
    EXPECT_FALSE(fs::WritePrivateFile(deep / "link", "x"));
    EXPECT_LT(fs::OpenPrivateFile(deep / "link", O_RDWR | O_CREAT), 0);  // a lock file in its place
    EXPECT_EQ(errno, ELOOP);
    ::umask(before);
}

// The platform root and the folders in it hold one user's sockets, locks, keys and drivers: a
// folder there that another user owns or may write is refused (and not widened or narrowed),
// with the folder and what to do about it; nothing is made below it. Folders elsewhere are the
// caller's business.
TEST_F(FsTest, AFolderOfTheRootThatAnotherUserOwnsOrMayWriteIsRefused) {
    const mode_t before = ::umask(0);
    const stdfs::path bus = root_ / "bus";
    struct Case {
        const char* name;
        mode_t rootMode;
        mode_t busMode;       // 0: no bus folder yet
        uid_t busOwner;       // -1: this user
        stdfs::path asked;    // the folder asked for
        const char* refused;  // the refused folder, below root_ ("" for root_ itself); null: accepted
        std::string mend;
    };
    const uid_t me = ::geteuid();
    const Case cases[] = {
        {"a fresh folder of a private root", 0700, 0, uid_t(-1), bus / "state", nullptr, ""},
        {"the user's own choice of a readable root", 0755, 0755, uid_t(-1), bus / "state", nullptr, ""},
        {"a root made wide by hand", 0777, 0, uid_t(-1), bus / "state", "", "chmod go-w '" + root_.string() + "'"},
        {"a root its group may write", 0770, 0700, uid_t(-1), bus, "", "chmod go-w '" + root_.string() + "'"},
        {"a folder below with the sticky bit", 0700, 01777, uid_t(-1), bus / "state", "bus",
         "chmod go-w '" + bus.string() + "'"},
        {"a folder of another user", 0700, 0700, 65534, bus / "state", "bus",
         "chown -R " + std::to_string(me) + " '" + bus.string() + "'"},
        {"a folder outside the root", 0777, 0, uid_t(-1), stdfs::path("/tmp") / ("lumarel-outside-" + std::to_string(::getpid())),
         nullptr, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.busOwner != uid_t(-1) && me != 0) continue;  // only an administrator gives a folder away
        std::error_code ec;
        stdfs::remove_all(bus, ec);
        ::chmod(root_.c_str(), c.rootMode);
        if (c.busMode != 0) {
            stdfs::create_directory(bus);
            ::chmod(bus.c_str(), c.busMode);
            if (c.busOwner != uid_t(-1)) {
                ASSERT_EQ(::chown(bus.c_str(), c.busOwner, c.busOwner), 0);
            }
        }
        std::string problem;
        errno = 0;
        const bool made = fs::CreatePrivateFolders(c.asked, &problem);
        const auto judged = fs::PrivateFolderProblem(c.asked);
        if (!c.refused) {
            EXPECT_TRUE(made) << problem;
            EXPECT_TRUE(stdfs::is_directory(c.asked));
            EXPECT_FALSE(judged.has_value());
        } else {
            const stdfs::path folder = *c.refused ? root_ / c.refused : root_;
            EXPECT_FALSE(made);
            EXPECT_EQ(errno, EACCES);
            EXPECT_EQ(problem.rfind("The folder '" + folder.string() + "' of the platform root ", 0), 0u) << problem;
            EXPECT_NE(problem.find(c.mend), std::string::npos) << problem;
            EXPECT_EQ(judged, problem);
            EXPECT_FALSE(stdfs::exists(bus / "state"));
            if (c.busMode != 0) {
                struct stat st {};
                ::stat(bus.c_str(), &st);
                EXPECT_EQ(st.st_mode & 07777, c.busMode) << "a refused folder keeps its mode";
            }
        }
        if (c.asked.parent_path() == "/tmp") stdfs::remove(c.asked, ec);
    }
    ::chmod(root_.c_str(), 0700);
    ::umask(before);
}

// A file named from outside is read only when it is a regular file, and never past its bound:
// a FIFO is refused at once instead of waiting for a writer, a device or folder is no file.
TEST_F(FsTest, OnlyBoundedRegularFilesAreReadAndAFifoNeverWaits) {
    WriteFile(cwd_ / "ten", "0123456789");
    ASSERT_EQ(::mkfifo((cwd_ / "pipe").c_str(), 0600), 0);
    stdfs::create_symlink(cwd_ / "pipe", cwd_ / "to-pipe");
    struct Case {
        stdfs::path file;
        size_t limit;
        fs::ReadResult result;
        const char* text;
    };
    const Case cases[] = {
        {cwd_ / "ten", 10, fs::ReadResult::Ok, "0123456789"},
        {cwd_ / "ten", 9, fs::ReadResult::TooLarge, ""},
        {cwd_ / "pipe", 10, fs::ReadResult::NotRegular, ""},
        {cwd_ / "to-pipe", 10, fs::ReadResult::NotRegular, ""},
        {"/dev/zero", 10, fs::ReadResult::NotRegular, ""},
        {cwd_, 10, fs::ReadResult::NotRegular, ""},
        {cwd_ / "missing", 10, fs::ReadResult::CannotOpen, ""},
    };
    for (const Case& c : cases) {
        std::string bytes = "old";
        EXPECT_EQ(fs::ReadRegularFile(c.file, c.limit, bytes), c.result) << c.file;
        EXPECT_EQ(bytes, c.text) << c.file;
    }
    EXPECT_EQ(fs::ReadResultText(fs::ReadResult::NotRegular, 10), "is not a regular file");
    EXPECT_EQ(fs::ReadResultText(fs::ReadResult::TooLarge, 9), "is larger than 9 bytes");
}

TEST(FileTime, RoundTripsThroughSystemTime) {
    const std::pair<uint64_t, fs::SYSTEMTIME> cases[] = {
        {0, {1601, 1, 1, 1, 0, 0, 0, 0}},                       // a Monday
        {116444736000000000ULL, {1970, 1, 4, 1, 0, 0, 0, 0}},    // a Thursday
        {125963423999990000ULL, {2000, 2, 2, 29, 23, 59, 59, 999}},
        {2650467743999990000ULL, {9999, 12, 5, 31, 23, 59, 59, 999}},
    };
    for (const auto& [value, st] : cases) {
        fs::SYSTEMTIME got;
        ASSERT_TRUE(fs::FileTimeToSystemTime(fs::FILETIME::FromValue(value), got)) << value;
        EXPECT_EQ(got, st) << value;
        fs::FILETIME back;
        ASSERT_TRUE(fs::SystemTimeToFileTime(st, back));
        EXPECT_EQ(back.Value(), value);
    }
    fs::SYSTEMTIME largest;
    EXPECT_TRUE(fs::FileTimeToSystemTime(fs::FILETIME::FromValue(0x7FFFFFFFFFFFFFFFULL), largest));
    EXPECT_EQ(largest.Year, 30828);
    EXPECT_FALSE(fs::FileTimeToSystemTime(fs::FILETIME::FromValue(0x8000000000000000ULL), largest));
}

TEST(FileTime, InvalidRecordsDoNotConvert) {
    const fs::SYSTEMTIME bad[] = {
        {2023, 13, 0, 1, 0, 0, 0, 0}, {2023, 2, 0, 29, 0, 0, 0, 0}, {1600, 12, 0, 31, 0, 0, 0, 0},
        {2024, 1, 0, 1, 24, 0, 0, 0}, {2024, 1, 0, 1, 0, 60, 0, 0}, {2024, 1, 0, 0, 0, 0, 0, 0},
        {2024, 1, 0, 1, 0, 0, 0, 1000},
    };
    for (const auto& st : bad) {
        fs::FILETIME out = fs::FILETIME::FromValue(42);
        EXPECT_FALSE(fs::SystemTimeToFileTime(st, out));
        EXPECT_EQ(out.Value(), 42u);
        fs::SYSTEMTIME local{1999, 1, 5, 1, 0, 0, 0, 0};
        EXPECT_EQ(fs::SystemTimeToLocalTime(st, local), -1);
        EXPECT_EQ(local.Year, 1999);
    }
}

TEST(LocalTime, ConvertsInWinterSummerAndZonesWithoutDaylightSaving) {
    struct Case {
        const char* tz;
        fs::SYSTEMTIME utc, local;
    };
    const Case cases[] = {
        // Central European zone: +1 in winter (standard time), +2 in summer.
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 1, 1, 15, 12, 0, 0, 250}, {2024, 1, 1, 15, 13, 0, 0, 250}},
        {"CET-1CEST,M3.5.0,M10.5.0/3", {2024, 7, 1, 15, 12, 0, 0, 0}, {2024, 7, 1, 15, 14, 0, 0, 0}},
        // A zone without daylight-saving rules, across a year end.
        {"JST-9", {2024, 12, 2, 31, 23, 30, 0, 0}, {2025, 1, 3, 1, 8, 30, 0, 0}},
        // West of UTC in summer, across a day.
        {"EST5EDT,M3.2.0,M11.1.0", {2024, 7, 1, 15, 2, 0, 0, 0}, {2024, 7, 0, 14, 22, 0, 0, 0}},
        {"UTC0", {2024, 7, 1, 15, 2, 0, 0, 0}, {2024, 7, 1, 15, 2, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        ScopedEnv tz("TZ", c.tz);
        fs::SYSTEMTIME local;
        EXPECT_EQ(fs::SystemTimeToLocalTime(c.utc, local), 1) << c.tz;
        EXPECT_EQ(local, c.local) << c.tz;
    }
}

TEST(Now, ComesFromTheInstalledClock) {
    clk::ManualClock manual;  // 2026-01-05 12:00:00 UTC, a Monday
    clk::ScopedClock scoped(manual);
    manual.Advance(1500);
    EXPECT_EQ(fs::SystemTimeNow(), (fs::SYSTEMTIME{2026, 1, 1, 5, 12, 0, 1, 500}));
    ScopedEnv tz("TZ", "JST-9");
    EXPECT_EQ(fs::LocalTimeNow(), (fs::SYSTEMTIME{2026, 1, 1, 5, 21, 0, 1, 500}));
    EXPECT_EQ(fs::FileTimeToTimePoint(fs::FileTimeNow()), clk::WallNow());
}

TEST(Roots, PlatformRootDefaults) {
    {
        ScopedEnv root("LUMAREL_ROOT", "/r/root");
        EXPECT_EQ(fs::PlatformRoot(), stdfs::path("/r/root"));
        EXPECT_EQ(fs::DriveFolder('X'), stdfs::path("/r/root/drives/x"));
    }
    ScopedEnv root("LUMAREL_ROOT", nullptr);
    {
        ScopedEnv xdg("XDG_STATE_HOME", "/r/state");
        EXPECT_EQ(fs::PlatformRoot(), stdfs::path("/r/state/lumarel"));
    }
    ScopedEnv xdg("XDG_STATE_HOME", nullptr);
    {
        ScopedEnv home("HOME", "/r/home");
        EXPECT_EQ(fs::PlatformRoot(), stdfs::path("/r/home/.local/state/lumarel"));
    }
    // Without HOME the password database names the home folder, never the current folder.
    const passwd* user = ::getpwuid(::geteuid());
    ASSERT_NE(user, nullptr);
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        ScopedEnv unset("HOME", home);
        EXPECT_EQ(fs::PlatformRoot(), stdfs::path(user->pw_dir) / ".local" / "state" / "lumarel");
    }
}

TEST(Roots, ProgramFolderIsTheExecutablesFolder) {
    EXPECT_EQ(fs::ProgramFileName(), "fs_tests");
    EXPECT_EQ(stdfs::path(fs::ProgramFolder()) / fs::ProgramFileName(), stdfs::read_symlink("/proc/self/exe"));
    fs::OverrideProgramFolder("/opt/lumarel/bin/");
    EXPECT_EQ(fs::ProgramFolder(), "/opt/lumarel/bin");
    fs::OverrideProgramFolder("");
    EXPECT_EQ(stdfs::path(fs::ProgramFolder()), stdfs::read_symlink("/proc/self/exe").parent_path());
}

TEST_F(FsTest, CurrentFolderFollowsWindowsPaths) {
    EXPECT_EQ(fs::CurDir(), cwd_.string());
    EXPECT_TRUE(fs::ChDir("C:\\DATA\\FW"));
    EXPECT_EQ(fs::CurDir(), (drive_ / "Data/Fw").string());
    EXPECT_FALSE(fs::ChDir("APP.FWP"));  // a file, not a folder
    EXPECT_FALSE(fs::ChDir("C:\\Nothing"));
    EXPECT_EQ(fs::CurDir(), (drive_ / "Data/Fw").string());
    std::string relative = "APP.FWP";
    EXPECT_TRUE(fs::FileExists(relative));
}

// The holders of a lock as the system lists them: only those holding a lock on that very file,
// each once; waiters and other files' holders are no holders, and a damaged line is skipped.
TEST(LockHolders, OnlyHoldersOfThatFileAreNamed) {
    const std::string locks =
        "1: FLOCK  ADVISORY  WRITE 4242 fd:01:1234567 0 EOF\n"
        "1: -> FLOCK  ADVISORY  WRITE 4343 fd:01:1234567 0 EOF\n"
        "2: FLOCK  ADVISORY  READ 77 fd:01:1234567 0 EOF\n"
        "3: FLOCK  ADVISORY  READ 77 fd:01:1234567 0 EOF\n"
        "4: POSIX  ADVISORY  WRITE 88 fd:01:1234567 0 EOF\n"
        "5: FLOCK  ADVISORY  WRITE 99 fd:01:7654321 0 EOF\n"
        "6: FLOCK  ADVISORY  WRITE 98 fd:02:1234567 0 EOF\n"
        "7: FLOCK  ADVISORY  WRITE -5 fd:01:1234567 0 EOF\n"
        "8: FLOCK  ADVISORY  WRITE 97 fd:01:1234567x 0 EOF\n"
        "9: FLOCK  ADVISORY  WRITE 96 fd:01\n"
        "10: FLOCK  ADVISORY  WRITE 99999999999999999999 fd:01:1234567 0 EOF";
    EXPECT_EQ(fs::LockHolderPids(locks, 0xfd, 1, 1234567), (std::vector<int>{4242, 77}));
    EXPECT_EQ(fs::LockHolderPids("", 0xfd, 1, 1234567), std::vector<int>{});

    // And for a lock this process holds on a real file: its own id and name.
    const std::string file = "/tmp/lock_holders_" + std::to_string(::getpid());
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fs::LockHolders(fd), "");
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_EQ(fs::LockHolders(fd).rfind("process " + std::to_string(::getpid()) + " (", 0), 0u) << fs::LockHolders(fd);
    ::close(fd);
    ::unlink(file.c_str());
}

}  // namespace
