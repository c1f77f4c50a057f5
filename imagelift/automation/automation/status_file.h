// The status file of an unattended run (inside the automation layer).
#pragma once

#include <cstdio>
#include <string>

#include "support/program_context.h"

namespace basAutomation {

// Plain text, one line per call, each ended by CR LF and flushed at once. Installed in the
// program context while open, so that the logger's ERROR lines reach it. Control characters in
// a line are written escaped ("\r", "\n", "\t", "\xHH"), so one call is always one line. The
// first write that fails (a full disk) is said on standard error and marks the file failed.
class StatusFile : public imagelift::IStatusFile {
public:
    StatusFile() = default;
    ~StatusFile() override { Close(); }
    StatusFile(const StatusFile&) = delete;
    StatusFile& operator=(const StatusFile&) = delete;

    // Opens (and empties) the file at its native path; false when it cannot be opened or is a
    // symbolic link.
    bool Open(const std::string& nativePath);
    bool IsOpen() const { return file_ != nullptr; }
    void WriteStatusFileLine(const std::string& line) override;
    void Close();
    // True once a line (or the closing flush) could not be written.
    bool Failed() const { return failed_; }

    static std::string EscapeControls(const std::string& line);

private:
    void fail(int error);

    std::FILE* file_ = nullptr;
    std::string path_;
    bool failed_ = false;
};

// Flushes the status file and opens it with the desktop's program ("/S").
void ShowStatusFile();

}  // namespace basAutomation
