// A platform root of its own for a test that runs the real bus service, and helpers to wait for
// what other processes do (bounded waits on events, never fixed sleeps).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "clock/clock.h"
#include "service/client.h"
#include "user/user.h"

namespace bustest {

namespace fsys = std::filesystem;

// Waits until the process ends (a pidfd becomes readable) or timeoutMs passes.
inline bool WaitGone(pid_t pid, int timeoutMs = 10000) {
    int fd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) return ::kill(pid, 0) != 0;  // already gone
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeoutMs);
    ::close(fd);
    return r > 0;
}

// A short pause while another process catches up (used only inside bounded retry loops).
inline void Breathe() { ::poll(nullptr, 0, 5); }

// A bus of the local host and one Lumarel 460 running its application from the image file
// `image`, dated `date` (YYYYMMDD) at 10:10:10: the unit's audio driver exists on it.
inline nlohmann::json HostAndUnitInApplication(const fsys::path& image, const std::string& date = "20040623") {
    return {{"nodes",
             {{{"id", "host"}, {"kind", "host"}},
              {{"id", "unit"},
               {"kind", "lumarel460"},
               {"mode", "application"},
               {"images", {{{"type", 0}, {"file", image.string()}, {"date", date}, {"time", "101010"}}}}}}}};
}

class ServiceRoot {
public:
    explicit ServiceRoot(const std::string& name, const nlohmann::json* description = nullptr,
                         int idleMs = 3000) {
        root_ = fsys::temp_directory_path() / ("bus-" + name + "-" + std::to_string(::getpid()));
        fsys::remove_all(root_);
        fsys::create_directories(root_);
        // The user's own root whatever the umask: one that others may write is refused.
        ::chmod(root_.c_str(), 0700);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", std::to_string(idleMs).c_str(), 1);
        if (description) {
            std::ofstream(root_ / "bus.json") << description->dump(2);
            ::setenv("LUMAREL_BUS_DESCRIPTION", (root_ / "bus.json").c_str(), 1);
        } else {
            ::unsetenv("LUMAREL_BUS_DESCRIPTION");
        }
    }
    ~ServiceRoot() {
        Stop();
        std::error_code ec;
        fsys::remove_all(root_, ec);
    }

    const fsys::path& Root() const { return root_; }

    // The running service's process id (0 when none holds the service lock).
    pid_t ServicePid() const {
        std::ifstream in(root_ / "bus" / "service.lock");
        long pid = 0;
        in >> pid;
        if (pid <= 0 || ::kill(pid_t(pid), 0) != 0) return 0;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, name, state;
        stat >> pidText >> name >> state;
        return state == "Z" ? 0 : pid_t(pid);  // ended, not yet reaped
    }

    // Asks the running service to end and waits until it has.
    void Stop() {
        pid_t pid = ServicePid();
        if (!pid) return;
        if (auto a = bussvc::ConnectToRunningService(nullptr)) {
            std::string reply;
            a->Control(R"({"cmd":"shutdown"})", reply);
        }
        if (!WaitGone(pid)) {
            ::kill(pid, SIGKILL);
            WaitGone(pid);
        }
    }

    std::string Log() const {
        std::ifstream in(root_ / "bus" / "service.log");
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }

    // Sends a control command to the service (starting it when needed).
    nlohmann::json Control(const nlohmann::json& cmd, int32_t* code = nullptr) {
        auto a = bussvc::ConnectToService(nullptr);
        std::string reply;
        int32_t c = a->Control(cmd.dump(), reply);
        if (code) *code = c;
        return nlohmann::json::parse(reply, nullptr, false);
    }

private:
    fsys::path root_;
};

// A client window on this thread that records the notices posted to it; waits for them.
class NoticeWindow {
public:
    NoticeWindow() {
        hwnd_ = user::CreateWindow("Edit", "", [this](user::HWND h, uint32_t m, user::WPARAM w, user::LPARAM l) {
            if (m >= user::WM_USER) seen_.push_back(m);
            return user::DefWindowProc(h, m, w, l);
        });
        user::SetWakeHandler(std::this_thread::get_id(), [this] {
            std::lock_guard<std::mutex> lock(m_);
            woken_ = true;
            cv_.notify_all();
        });
    }
    ~NoticeWindow() {
        user::SetWakeHandler(std::this_thread::get_id(), {});
        user::DestroyWindow(hwnd_);
    }
    user::HWND Handle() const { return hwnd_; }

    // Pumps until `message` has been delivered (and takes it), or gives up after timeoutMs.
    // The notice comes from another process, so the wait is bounded in real time.
    bool WaitFor(uint32_t message, int timeoutMs = 10000) {
        static clk::RealClock real;
        const int64_t start = real.Counter();
        for (;;) {
            user::PumpMessages();
            for (auto it = seen_.begin(); it != seen_.end(); ++it)
                if (*it == message) {
                    seen_.erase(seen_.begin(), it + 1);
                    return true;
                }
            int64_t left = timeoutMs - (real.Counter() - start) / (clk::kCounterFrequency / 1000);
            std::unique_lock<std::mutex> lock(m_);
            if (!woken_ && (left <= 0 || !cv_.wait_for(lock, std::chrono::milliseconds(left), [this] { return woken_; })))
                return false;
            woken_ = false;
        }
    }
    void Clear() {
        user::PumpMessages();
        seen_.clear();
    }

private:
    user::HWND hwnd_ = 0;
    std::vector<uint32_t> seen_;
    std::mutex m_;
    std::condition_variable cv_;
    bool woken_ = false;
};

// Runs this test program again as a child with only one test and extra environment. The child
// ends with this process, so a test that fails half-way leaves no process behind.
inline pid_t SpawnSelf(const std::string& filter, const std::vector<std::string>& env, int stdoutFd = -1) {
    pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);  // the parent is gone already
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        if (stdoutFd >= 0) ::dup2(stdoutFd, 1);
        std::string f = "--gtest_filter=" + filter;
        ::execl("/proc/self/exe", "bus_child", f.c_str(), nullptr);
        ::_exit(127);
    }
    return child;
}

// Kills and reaps a child when the scope ends (a test that returns early included).
class KillOnExit {
public:
    explicit KillOnExit(pid_t child) : child_(child) {}
    ~KillOnExit() {
        if (child_ <= 0) return;
        ::kill(child_, SIGKILL);
        while (::waitpid(child_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    KillOnExit(const KillOnExit&) = delete;
    KillOnExit& operator=(const KillOnExit&) = delete;

private:
    pid_t child_;
};

inline int ExitCode(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace bustest
