// A private X server (Xvfb) for a test that needs a real screen: a program shows a message box
// that waits for a person only where a display exists (offscreen, boxes are answered at once).
// The server picks a free display itself, tells it through a pipe, and ends with the object.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace imagelifttest {

class XServer {
public:
    // Waits at most timeoutMs (real time) for the server to name its display.
    explicit XServer(int timeoutMs = 20000) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(1);
            // The display's number comes back on a descriptor that survives the exec.
            const int displayFd = ::dup(fds[1]);
            const int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 0), ::dup2(null, 1), ::dup2(null, 2);
            const std::string fd = std::to_string(displayFd);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        if (pid_ < 0) {
            ::close(fds[0]);
            return;
        }
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        char c = 0;
        while (::poll(&p, 1, timeoutMs) > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (!number.empty()) display_ = ":" + number;
    }
    ~XServer() {
        if (pid_ <= 0) return;
        // Asked to end, the server removes its socket and lock file; killed, it would leave them.
        ::kill(pid_, SIGTERM);
        for (int waited = 0; waited < 5000; waited += 10) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
            ::poll(nullptr, 0, 10);
        }
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // ":<n>", or empty when no server came up (Xvfb missing or failing).
    const std::string& Display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace imagelifttest
