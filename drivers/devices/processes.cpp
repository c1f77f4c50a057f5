#include "devices/processes.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

#include "vbrt/convert.h"

namespace devices {

namespace stdfs = std::filesystem;

namespace {

// The executable's name from /proc: the target of "exe" (which needs the right to look at the
// process), else the kernel's short command name.
std::string ExeNameOf(const stdfs::path& procDir) {
    std::error_code ec;
    stdfs::path exe = stdfs::read_symlink(procDir / "exe", ec);
    if (!ec) {
        std::string name = exe.filename().string();
        constexpr std::string_view deleted = " (deleted)";
        if (name.ends_with(deleted)) name.resize(name.size() - deleted.size());
        return name;
    }
    std::ifstream comm(procDir / "comm");
    char buffer[64] = {};
    comm.read(buffer, sizeof buffer - 1);
    std::string name(buffer, size_t(comm.gcount()));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
    return name;
}

}  // namespace

std::optional<std::vector<ProcessEntry>> ListProcesses() {
    std::error_code ec;
    stdfs::directory_iterator it("/proc", ec), end;
    if (ec) return std::nullopt;
    std::vector<ProcessEntry> processes;
    for (; it != end; it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().string();
        if (name.empty() || name.size() > 10 ||
            !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        processes.push_back({pid_t(std::stol(name)), ExeNameOf(it->path())});
    }
    return processes;
}

bool ExeNameMatches(std::string_view exeName, std::string_view processExe) {
    if (exeName.empty()) return false;
    if (vb::StrEqual(exeName, processExe, vb::Compare::Text)) return true;
    std::string lower = vb::LCase(exeName);
    return lower.ends_with(".exe") &&
           vb::StrEqual(exeName.substr(0, exeName.size() - 4), processExe, vb::Compare::Text);
}

bool EndProcess(pid_t pid) { return pid > 0 && ::kill(pid, SIGKILL) == 0; }

}  // namespace devices
