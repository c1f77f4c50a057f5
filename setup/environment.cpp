#include "setup/environment.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <sstream>

#include "devices/store.h"
#include "fs/fs.h"
#include "user/window_registry.h"

namespace setup {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> parts;
    std::istringstream in(commandLine);
    for (std::string word; in >> word;) parts.push_back(word);
    if (!parts.empty() && parts[0].rfind(".\\", 0) == 0) parts[0] = "./" + parts[0].substr(2);
    return parts;
}

MachineEnvironment::~MachineEnvironment() {
    // Reap what has ended; runs still going are left to finish on their own.
    for (int64_t pid : children_) ::waitpid(pid_t(pid), nullptr, WNOHANG);
}

bool MachineEnvironment::CaptionWindowExists() {
    return user::FindTopWindow(std::nullopt, std::string(kDownloaderCaption)).has_value();
}

bool MachineEnvironment::HiddenWindowExists() {
    return user::FindTopWindow(std::string(kHiddenWindowClass), std::nullopt).has_value();
}

bool MachineEnvironment::MoveFile(const std::string& from, const std::string& to) {
    // Unlike rename(2), a move never replaces an existing target.
    const auto src = fs::ToNativePath(from), dst = fs::ToNativePath(to);
    return ::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0;
}

bool MachineEnvironment::DeleteFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::remove(fs::ToNativePath(path), ec);
}

int64_t MachineEnvironment::StartProcess(const std::string& commandLine) {
    std::vector<std::string> parts = SplitCommandLine(commandLine);
    if (parts.empty()) return 0;
    std::vector<char*> argv;
    for (auto& p : parts) argv.push_back(p.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    children_.insert(pid);
    return pid;
}

bool MachineEnvironment::ProcessRunning(int64_t pid) {
    if (!children_.count(pid)) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid_t(pid), &status, WNOHANG);
    if (r == 0) return true;
    children_.erase(pid);
    return false;
}

std::optional<std::string> MachineEnvironment::ReadStatusFile() {
    return devices::ReadBoundedFile(fs::ToNativePath(kStatusFile), kMaxStatusFileBytes);
}

void MachineEnvironment::Log(const std::string& line) { std::fprintf(stderr, "setup: %s\n", line.c_str()); }

uint16_t MachineEnvironment::NextRandom() {
    static std::random_device source;
    return uint16_t(std::uniform_int_distribution<int>(0, 32767)(source));
}

}  // namespace setup
