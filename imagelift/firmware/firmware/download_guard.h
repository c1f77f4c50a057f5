// One download at a time in the whole program.
//
// A download lets window messages run between its blocks (the progress shows, the bus timers
// tick), so a click may arrive in the middle of one: on another download window, on the list of
// the same window, on the frame's close box. A second download inside the first would interleave
// its blocks with the first one's on the target, and a window closed under its own download would
// leave the target's flash erased. Every download command runs inside a DownloadRun; while one
// exists, download commands, double-clicks and item clicks refuse, and the download windows and
// the frame refuse to close.
#pragma once

namespace imagelift_firmware {

// True while a download command runs.
bool DownloadRunning();

// Marks a download command as running for its lifetime.
class DownloadRun {
public:
    DownloadRun();
    ~DownloadRun();
    DownloadRun(const DownloadRun&) = delete;
    DownloadRun& operator=(const DownloadRun&) = delete;
};

// The line a refused request shows and logs.
inline constexpr const char* kDownloadRunningText =
    "A firmware download is running.  Wait until it has ended.";

}  // namespace imagelift_firmware
