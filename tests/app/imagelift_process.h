// The downloader as a process, seen from another one: its own program folder, its status log
// in "db1.mdb" read while it runs, its published windows, and a bounded wait for its end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "user/window_registry.h"

namespace imagelifttest {

namespace fsys = std::filesystem;

// The exact caption of the downloader's frame.
inline constexpr char kFrameCaption[] =
    "Downloader / Shell Application v1.8.41 (Engineering Version) (NRX Custom Build)";

// Milliseconds of real time since `start` (a RealClock counter reading).
inline int64_t RealMsSince(int64_t start) {
    static clk::RealClock real;
    return (real.Counter() - start) / (clk::kCounterFrequency / 1000);
}
inline int64_t RealNow() {
    static clk::RealClock real;
    return real.Counter();
}
// A short pause while the other process catches up (only inside bounded loops).
inline void Breathe(int ms = 2) { ::poll(nullptr, 0, ms); }

// A program folder of the downloader's own: the program, the access library and the store's
// clean template copied from the build's program folder (the program finds its library and
// opens its store in its own folder, so runs in parallel never share a database).
inline fsys::path MakeProgramFolder(const fsys::path& where) {
    const char* bin = std::getenv("LUMAREL_BIN");
    const fsys::path from = bin ? bin : ".";
    fsys::create_directories(where);
    for (const char* f : {"Imagelift", "Vsk1394api.dll", "db1_clean.mdb"})
        fsys::copy_file(from / f, where / f, fsys::copy_options::overwrite_existing);
    return where;
}

// One status-log row.
struct LogRow {
    int64_t runTime = 0;
    int32_t level = 0;
    std::string message;
    std::string module;
};

// The status log of a store, read without disturbing the writer (empty while it cannot be read).
inline std::vector<LogRow> ReadStatusLog(const fsys::path& db) {
    std::vector<LogRow> rows;
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(h);
        return rows;
    }
    sqlite3_busy_timeout(h, 200);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, "SELECT lngRuntime, Level, Message, strModule FROM tblStatus ORDER BY id", -1, &st,
                           nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            auto text = [&](int c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
            };
            rows.push_back({sqlite3_column_int64(st, 0), sqlite3_column_int(st, 1), text(2), text(3)});
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(h);
    return rows;
}

inline std::optional<LogRow> FindRow(const std::vector<LogRow>& rows, const std::string& part) {
    for (const auto& r : rows)
        if (r.message.find(part) != std::string::npos) return r;
    return std::nullopt;
}

// Waits (real time, at most timeoutMs) until the status log holds a line containing `part`.
inline bool WaitForLogLine(const fsys::path& db, const std::string& part, int timeoutMs, int pollMs = 5) {
    const int64_t start = RealNow();
    do {
        if (FindRow(ReadStatusLog(db), part)) return true;
        Breathe(pollMs);
    } while (RealMsSince(start) < timeoutMs);
    return false;
}

// The line the bus-reset pump logs once a pass has rebuilt the node table and the target list
// and the main window has redrawn its device list.
inline constexpr char kDeviceListComplete[] = "BusResetHandlerThread complete.";
// The config ROM line of a Lumarel 460 in its bootloader, logged while a pass reads the node.
inline constexpr char kLumarelInBootloader[] = "Model='LUMA Rel Bootloader'";

// True when the log shows a complete device list that holds the node whose config ROM line
// contains `node`: a pass read that node and then completed. (A first pass on a bus without
// the virtual device completes with an empty list: the device's line comes with the next.)
inline bool HasDeviceList(const std::vector<LogRow>& rows, const std::string& node) {
    bool seen = false;
    for (const auto& r : rows) {
        if (r.message.find(node) != std::string::npos) seen = true;
        if (seen && r.message == kDeviceListComplete) return true;
    }
    return false;
}

// The last `count` lines of the status log, one a line, to show what a run did when a wait fails.
inline std::string StatusLogTail(const fsys::path& db, size_t count = 40) {
    const auto rows = ReadStatusLog(db);
    std::string out;
    for (size_t i = rows.size() > count ? rows.size() - count : 0; i < rows.size(); ++i)
        out += std::to_string(rows[i].level) + " " + rows[i].message + "\n";
    return out;
}

// Waits (real time, at most timeoutMs) for a complete device list with that node.
inline bool WaitForDeviceList(const fsys::path& db, const std::string& node, int timeoutMs, int pollMs = 5) {
    const int64_t start = RealNow();
    do {
        if (HasDeviceList(ReadStatusLog(db), node)) return true;
        Breathe(pollMs);
    } while (RealMsSince(start) < timeoutMs);
    return false;
}

// A started downloader; killed and reaped when the object goes (an early test end included).
class ImageliftProcess {
public:
    // Starts `folder`/`program` with the arguments; the environment is this process's plus
    // `env` ("NAME=value"); standard error goes to the file `errors` when one is named. The
    // process dies with this one. `inChild`, when given, runs in the new process before it
    // becomes the program (a mount namespace of its own); when it fails the process ends with
    // kNotStarted instead.
    static constexpr int kNotStarted = 77;
    ImageliftProcess(const fsys::path& folder, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}, const std::string& program = "Imagelift",
                     const fsys::path& errors = {}, const std::function<bool()>& inChild = {}) {
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
            if (!errors.empty()) {
                const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
                if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(125);
            }
            if (inChild && !inChild()) ::_exit(kNotStarted);
            if (::chdir(folder.c_str()) != 0) ::_exit(126);
            std::vector<char*> argv;
            std::string path = (folder / program).string();
            argv.push_back(path.data());
            std::vector<std::string> copies(args);
            for (auto& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(path.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~ImageliftProcess() {
        if (pid_ <= 0 || exited_) return;
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ImageliftProcess(const ImageliftProcess&) = delete;
    ImageliftProcess& operator=(const ImageliftProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // Asks the program to close its frame, as the desktop does when a session ends.
    void Close() const { ::kill(pid_, SIGTERM); }

    // The exit code once the process has ended within timeoutMs; nullopt while it runs.
    std::optional<int> WaitExit(int timeoutMs) {
        const int64_t start = RealNow();
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (RealMsSince(start) >= timeoutMs) return std::nullopt;
            Breathe();
        }
    }

    // This process's published window of that class or caption, if any.
    std::optional<user::TopWindow> Window(const std::optional<std::string>& className,
                                          const std::optional<std::string>& caption) const {
        for (const auto& w : user::EnumTopWindows()) {
            if (w.pid != pid_) continue;
            if (className && strcasecmp(w.className.c_str(), className->c_str()) != 0) continue;
            if (caption && w.caption != *caption) continue;
            return w;
        }
        return std::nullopt;
    }

private:
    pid_t pid_ = 0;
    bool exited_ = false;
};

}  // namespace imagelifttest
