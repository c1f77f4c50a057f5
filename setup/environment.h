// The update's environment on this machine: the window directory, files of the current folder,
// the downloader's processes, its status file and a real random source.
#pragma once

#include <functional>
#include <set>

#include "setup/update_steps.h"

namespace setup {

// A command line split at blanks into program and arguments; a program named ".\X" runs as
// "./X". Empty for a blank line.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// Largest status file read (a run writes a few dozen lines).
inline constexpr std::uintmax_t kMaxStatusFileBytes = 1 << 20;

class MachineEnvironment : public UpdateEnvironment {
public:
    // Messages go to `show` (the dialog's message box).
    explicit MachineEnvironment(std::function<void(const std::string&)> show) : show_(std::move(show)) {}
    ~MachineEnvironment() override;

    bool CaptionWindowExists() override;
    bool HiddenWindowExists() override;
    bool MoveFile(const std::string& from, const std::string& to) override;
    bool DeleteFile(const std::string& path) override;
    int64_t StartProcess(const std::string& commandLine) override;
    bool ProcessRunning(int64_t pid) override;
    std::optional<std::string> ReadStatusFile() override;
    void ShowMessage(const std::string& text) override { show_(text); }
    // The program has no log file of its own: its lines go to standard error.
    void Log(const std::string& line) override;
    uint16_t NextRandom() override;

private:
    std::function<void(const std::string&)> show_;
    std::set<int64_t> children_;  // started and not yet reaped
};

}  // namespace setup
