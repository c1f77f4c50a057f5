#include "user/window_registry.h"

#include "fs/fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace user {

namespace {

// The folder, made for the owner only; false when it may not be used (another user owns it or
// may write it: entries there could be anyone's).
bool makeFolder(const std::string& folder) { return fs::CreatePrivateFolders(folder); }

struct Published {
    std::string folder;
    std::string className;
    std::string caption;
    bool visible = false;
};

// What this process has published: its lock per folder (the platform root can change between
// tests of one process) and its windows.
struct State {
    std::mutex m;
    std::map<std::string, int> lockFds;
    std::map<HWND, Published> windows;
};

State& state() {
    static State s;
    return s;
}

std::string lockPath(const std::string& folder, pid_t pid) {
    return folder + "/" + std::to_string(pid) + ".lock";
}

std::string entryPath(const std::string& folder, pid_t pid, HWND hwnd) {
    return folder + "/" + std::to_string(pid) + "-" + std::to_string(hwnd) + ".win";
}

bool endsWith(const std::string& n, const std::string& suffix) {
    return n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Removes the entries of this pid that a dead predecessor with the same number left behind, and
// the mailboxes (window_mailbox.h) of a dead process (this process's own may be open already).
void removeEntriesOf(const std::string& folder, pid_t pid) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return;
    std::string prefix = std::to_string(pid) + "-";
    const bool mailboxes = pid != ::getpid();
    std::vector<std::string> doomed;
    while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind(prefix, 0) == 0 && (endsWith(n, ".win") || (mailboxes && endsWith(n, ".mbox"))))
            doomed.push_back(folder + "/" + n);
    }
    ::closedir(d);
    for (auto& p : doomed) ::unlink(p.c_str());
}

bool processAlive(const std::string& folder, pid_t pid);

// Removes the lock files (and entries) that ended processes left behind, so the folder does
// not grow with every program that ever published a window.
void sweepDeadProcesses(const std::string& folder) {
    std::vector<pid_t> pids;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() < 6 || n.compare(n.size() - 5, 5, ".lock") != 0) continue;
            pid_t pid = pid_t(std::strtol(n.c_str(), nullptr, 10));
            if (pid > 0 && pid != ::getpid()) pids.push_back(pid);
        }
        ::closedir(d);
    }
    for (pid_t pid : pids) processAlive(folder, pid);
}

// Takes this process's lock in the folder, once. Caller holds the state mutex.
bool ensureLock(State& s, const std::string& folder) {
    if (s.lockFds.count(folder)) return true;
    if (!makeFolder(folder)) return false;
    std::string path = lockPath(folder, ::getpid());
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = fs::OpenPrivateFile(path, O_RDWR | O_CREAT);
        if (fd < 0) return false;
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        // A finder may have removed the file of a dead predecessor between our open and our
        // lock; a lock on an unlinked file protects nothing, so try again on the new file.
        struct stat held {}, named {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            removeEntriesOf(folder, ::getpid());
            s.lockFds[folder] = fd;
            sweepDeadProcesses(folder);
            return true;
        }
        ::close(fd);
    }
    return false;
}

std::string escapeLine(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

std::string unescapeLine(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Writes the entry through a temporary name, so a finder never reads half of it.
void writeEntry(const std::string& folder, HWND hwnd, const Published& p) {
    std::string path = entryPath(folder, ::getpid(), hwnd);
    std::string tmp = path + ".tmp";
    const std::string text = "class=" + escapeLine(p.className) + "\ncaption=" + escapeLine(p.caption) +
                             "\nvisible=" + (p.visible ? "1" : "0") + "\nhwnd=" + std::to_string(hwnd) + "\n";
    if (!fs::WritePrivateFile(tmp, text)) {
        ::unlink(tmp.c_str());
        return;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) ::unlink(tmp.c_str());
}

void republish(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return;
    if (ensureLock(s, it->second.folder)) writeEntry(it->second.folder, hwnd, it->second);
}

bool iequal(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); };
               return lower(x) == lower(y);
           });
}

// A process is alive while it holds the exclusive lock on its lock file. Locks belong to the
// open file, so the test also works for the calling process's own lock.
bool processAlive(const std::string& folder, pid_t pid) {
    std::string path = lockPath(folder, pid);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return held;
    }
    // Dead: clear its entries while holding the lock, so a new process of the same number waits.
    removeEntriesOf(folder, pid);
    ::unlink(path.c_str());
    ::close(fd);
    return false;
}

std::optional<TopWindow> readEntry(const std::string& path, pid_t pid) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    TopWindow w;
    w.pid = pid;
    std::string line;
    bool sawHwnd = false;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "class") w.className = unescapeLine(value);
        else if (key == "caption") w.caption = unescapeLine(value);
        else if (key == "visible") w.visible = value == "1";
        else if (key == "hwnd") {
            w.hwnd = HWND(std::strtol(value.c_str(), nullptr, 10));
            sawHwnd = true;
        }
    }
    if (!sawHwnd) return std::nullopt;
    return w;
}

std::vector<TopWindow> scan(const std::optional<std::string>& className, const std::optional<std::string>& caption,
                            bool firstOnly) {
    std::string folder = WindowRegistryFolder();
    std::vector<std::pair<pid_t, std::string>> files;
    if (fs::PrivateFolderProblem(folder)) return {};  // entries anyone could have written
    if (DIR* d = ::opendir(folder.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() < 5 || n.compare(n.size() - 4, 4, ".win") != 0) continue;
            auto dash = n.find('-');
            if (dash == std::string::npos) continue;
            pid_t pid = pid_t(std::strtol(n.substr(0, dash).c_str(), nullptr, 10));
            if (pid > 0) files.emplace_back(pid, folder + "/" + n);
        }
        ::closedir(d);
    }
    std::sort(files.begin(), files.end());
    std::map<pid_t, bool> alive;
    std::vector<TopWindow> found;
    for (auto& [pid, path] : files) {
        auto a = alive.find(pid);
        if (a == alive.end()) a = alive.emplace(pid, processAlive(folder, pid)).first;
        if (!a->second) continue;
        auto w = readEntry(path, pid);
        if (!w) continue;
        if (className && !iequal(w->className, *className)) continue;
        if (caption && w->caption != *caption) continue;
        found.push_back(*w);
        if (firstOnly) break;
    }
    return found;
}

}  // namespace

std::string WindowRegistryFolder() { return (fs::PlatformRoot() / "windows").string(); }

void PublishTopWindow(HWND hwnd, const std::string& className, const std::string& caption, bool visible) {
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        std::string folder = WindowRegistryFolder();
        auto it = s.windows.find(hwnd);
        if (it != s.windows.end() && it->second.folder != folder)
            ::unlink(entryPath(it->second.folder, ::getpid(), hwnd).c_str());
        s.windows[hwnd] = Published{folder, className, caption, visible};
    }
    republish(hwnd);
}

void SetTopWindowCaption(HWND hwnd, const std::string& caption) {
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.windows.find(hwnd);
        if (it == s.windows.end() || it->second.caption == caption) return;
        it->second.caption = caption;
    }
    republish(hwnd);
}

void SetTopWindowVisible(HWND hwnd, bool visible) {
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.windows.find(hwnd);
        if (it == s.windows.end() || it->second.visible == visible) return;
        it->second.visible = visible;
    }
    republish(hwnd);
}

void WithdrawTopWindow(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return;
    ::unlink(entryPath(it->second.folder, ::getpid(), hwnd).c_str());
    s.windows.erase(it);
}

std::optional<TopWindow> FindTopWindow(const std::optional<std::string>& className,
                                       const std::optional<std::string>& caption) {
    auto found = scan(className, caption, true);
    if (found.empty()) return std::nullopt;
    return found.front();
}

std::vector<TopWindow> EnumTopWindows() { return scan(std::nullopt, std::nullopt, false); }

}  // namespace user
