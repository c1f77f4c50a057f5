// The machine's running processes by executable name, and ending them.
//
// Programs name processes the Windows way, by the executable's file name ("Imagelift.exe");
// a name ending in ".exe" also matches the same executable without that ending, as programs
// are built on this platform. Names compare without regard to case.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace devices {

struct ProcessEntry {
    pid_t pid = 0;
    std::string exeName;  // the executable's file name, without folder
};

// Every running process; nullopt when the process list cannot be read.
std::optional<std::vector<ProcessEntry>> ListProcesses();
// True when `exeName` names the process's executable (see above).
bool ExeNameMatches(std::string_view exeName, std::string_view processExe);
// Ends a process at once with a definite signal (SIGKILL), so whoever waits for it sees it
// gone. False when it cannot be ended (gone, or not ours to end).
bool EndProcess(pid_t pid);

}  // namespace devices
