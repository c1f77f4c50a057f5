// The update's step machine, driven by the dialog's 100 ms timer.
//
// Step 0 renames ".\Imagelift.app" to ".\Imagelift.exe" and starts the download run; step 2
// judges that run and starts the GUID run; step 3 judges the GUID run and finishes: the
// downloader is renamed back, the access library's log deleted and the button offers "Finish".
// A run is followed by its frame's exact caption and by the process started for it: the next
// step waits until the caption is gone and the process has ended (bounded). A run succeeded
// when its status file holds its success line and no line of failure (see RunSucceeded).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace setup {

inline constexpr char kDownloaderCaption[] =
    "Downloader / Shell Application v1.8.41 (Engineering Version) (NRX Custom Build)";
inline constexpr char kHiddenWindowClass[] = "ThunderRT6Main";
inline constexpr char kDownloaderApp[] = ".\\Imagelift.app";
inline constexpr char kDownloaderExe[] = ".\\Imagelift.exe";
inline constexpr char kAccessLog[] = ".\\vsk1394api.log";
inline constexpr char kStatusFile[] = ".\\script-data\\1394_write_status.txt";
inline constexpr char kDownloadCommandLine[] =
    ".\\Imagelift.exe /O /B bl1394_nrxLumarel_20040606_rc1__build2538.fwp /D Lumarel_20040623_rc2_build2632.fwp";
inline constexpr char kDownloadSuccessLine[] = "Successfully programmed new bootloader firmware image.";
inline constexpr char kGuidSuccessLine[] = "Successfully set the GUID to the new value.";

inline constexpr char kWaitText[] =
    "Please wait while the firmware is updated.\nThis may take several minutes.\n \nWarning: Do not turn off or "
    "un-plug the Firewire cable during \nthe update or your unit could be damaged.";
inline constexpr char kUncompressText[] = "Please uncompress the downloaded file, and run LRUpdate.exe again!!";
inline constexpr char kCompletedText[] =
    "The firmware update completed successfully.\nYou need to install the latest Lumarel 460 driver software now.";
// Logged when the dialog opens and finds the downloader as ".\Imagelift.exe" only.
inline constexpr char kRecoveredText[] =
    "Renamed .\\Imagelift.exe back to .\\Imagelift.app: an earlier update ended during a run and left it renamed.";
inline constexpr char kFailedText[] =
    "The firmware update failed.\nPlease check the FireWire connection and run the update again.";

// The GUID run's command line: ".\Imagelift.exe /G 0A3C7E10 0001" + four upper-case hex digits.
std::string GuidCommandLine(uint16_t random);

// True when a status file's text shows a successful run: a line containing `successLine`, no
// FATAL line, and no ERROR line of the modules that carry the unattended operations
// (basAutomation, basBootloader). Lines are "time, LEVEL, module, message". The bus layer logs
// ERROR lines of its own when a bus reset cuts its device scan short, and the device's restarts
// during a download cause such resets; the run goes on, so those lines do not decide it.
bool RunSucceeded(const std::string& statusText, const std::string& successLine);

// What the steps do to the machine: files, processes, windows, messages.
class UpdateEnvironment {
public:
    virtual ~UpdateEnvironment() = default;
    virtual bool CaptionWindowExists() = 0;
    virtual bool HiddenWindowExists() = 0;
    // Fails when the source is missing or the target exists.
    virtual bool MoveFile(const std::string& from, const std::string& to) = 0;
    virtual bool DeleteFile(const std::string& path) = 0;
    // Starts a program from a command line; its process id, 0 when it did not start.
    virtual int64_t StartProcess(const std::string& commandLine) = 0;
    virtual bool ProcessRunning(int64_t pid) = 0;
    // The status file's text (bounded), nullopt when it cannot be read.
    virtual std::optional<std::string> ReadStatusFile() = 0;
    virtual void ShowMessage(const std::string& text) = 0;
    // A line of the program's own account of what it did (no box).
    virtual void Log(const std::string& line) = 0;
    // 0 to 32767, from a real random source.
    virtual uint16_t NextRandom() = 0;
};

// The dialog's side: progress bar, message text, timer, button.
class UpdateView {
public:
    virtual ~UpdateView() = default;
    virtual int32_t ProgressPos() = 0;
    virtual void SetProgressPos(int32_t pos) = 0;
    virtual void SetMessage(const std::string& text) = 0;
    virtual void StartTimer() = 0;
    virtual void StopTimer() = 0;
    // The button reads "Finish" and is enabled.
    virtual void OfferFinish() = 0;
};

// How long a run may take, caption and process together, before it counts as failed.
inline constexpr int32_t kRunLimitMs = 10 * 60 * 1000;
// Rename-back attempts and their spacing.
inline constexpr int kRenameAttempts = 20;
inline constexpr uint32_t kRenameSpacingMs = 500;

class UpdateSteps {
public:
    UpdateSteps(UpdateEnvironment& env, UpdateView& view) : env_(env), view_(view) {}

    // The dialog opens: a downloader found as ".\Imagelift.exe" without ".\Imagelift.app" was left
    // renamed by an update that ended during a run (the program killed, the machine switched
    // off); every later update would stop at the uncompress message. It is renamed back and that
    // is logged. True when it was.
    bool RecoverInterruptedUpdate();
    // The update click, once the device was found: step 0, the wait text, the bar at 0, timer on.
    void Begin();
    // One tick of the 100 ms timer.
    void Tick();
    // Closing the dialog: when no run is in progress, a downloader this update renamed is
    // renamed back (bounded).
    void OnClose();

    int32_t Step() const { return step_; }
    bool Finished() const { return finished_; }
    bool Failed() const { return failed_; }
    // A started run whose caption still shows or whose process still runs.
    bool RunInProgress();
    // The command lines of the runs started, in order.
    const std::vector<std::string>& Started() const { return started_; }

private:
    void startRun(const std::string& commandLine);
    void waitForCaption();
    void finish();
    bool renameBack();

    UpdateEnvironment& env_;
    UpdateView& view_;
    int32_t step_ = 0;
    bool finished_ = false;
    bool failed_ = false;
    bool renamed_ = false;
    int64_t pid_ = 0;
    int64_t runStart_ = 0;
    std::vector<std::string> started_;
};

}  // namespace setup
