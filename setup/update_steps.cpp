#include "setup/update_steps.h"

#include <cstdio>
#include <sstream>

#include "clock/clock.h"

namespace setup {

std::string GuidCommandLine(uint16_t random) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", unsigned(random & 0x7FFF));
    return std::string(".\\Imagelift.exe /G 0A3C7E10 0001") + digits;
}

bool RunSucceeded(const std::string& statusText, const std::string& successLine) {
    bool success = false;
    std::istringstream in(statusText);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // "time, LEVEL, module, message"
        const size_t a = line.find(", ");
        if (a != std::string::npos) {
            const size_t b = line.find(", ", a + 2);
            const std::string level = line.substr(a + 2, b == std::string::npos ? std::string::npos : b - a - 2);
            std::string module;
            if (b != std::string::npos) {
                const size_t c = line.find(", ", b + 2);
                module = line.substr(b + 2, c == std::string::npos ? std::string::npos : c - b - 2);
            }
            if (level == "FATAL") return false;
            if (level == "ERROR" && (module == "basAutomation" || module == "basBootloader")) return false;
        }
        if (line.find(successLine) != std::string::npos) success = true;
    }
    return success;
}

bool UpdateSteps::RecoverInterruptedUpdate() {
    // The move never replaces a target: it fails where ".\Imagelift.app" is in its place, or
    // where there is no ".\Imagelift.exe" to move.
    if (!env_.MoveFile(kDownloaderExe, kDownloaderApp)) return false;
    env_.Log(kRecoveredText);
    return true;
}

void UpdateSteps::Begin() {
    step_ = 0;
    view_.SetMessage(kWaitText);
    view_.SetProgressPos(0);
    view_.StartTimer();
}

bool UpdateSteps::RunInProgress() {
    if (step_ == 0 || finished_) return false;
    if (env_.CaptionWindowExists()) return true;
    return pid_ != 0 && env_.ProcessRunning(pid_);
}

void UpdateSteps::Tick() {
    if (finished_) return;
    if (env_.CaptionWindowExists()) {
        if (step_ > 0) {
            const int32_t pos = view_.ProgressPos();
            view_.SetProgressPos(pos < 1000 ? pos + 1 : 999);
        }
        return;
    }
    if (pid_ != 0) {
        if (env_.ProcessRunning(pid_)) {
            // The window is gone (or never came) but the process lives on: the run is not over.
            if (clk::ElapsedMsSince(runStart_) > kRunLimitMs) {
                failed_ = true;
                pid_ = 0;
                finish();
            }
            return;
        }
        pid_ = 0;
    }
    switch (step_) {
    case 0:
        view_.StopTimer();
        if (!env_.MoveFile(kDownloaderApp, kDownloaderExe)) {
            env_.ShowMessage(kUncompressText);
            return;  // a dead end: only closing the dialog is left
        }
        renamed_ = true;
        startRun(kDownloadCommandLine);
        view_.StartTimer();
        step_ = 2;
        break;
    case 2: {
        view_.StopTimer();
        const auto status = env_.ReadStatusFile();
        if (!status || !RunSucceeded(*status, kDownloadSuccessLine)) {
            failed_ = true;
            finish();
            return;
        }
        // The ended downloader's hidden window goes with its process.
        for (int i = 0; i < 11 && env_.HiddenWindowExists(); ++i) clk::Sleep(500);
        startRun(GuidCommandLine(env_.NextRandom()));
        view_.StartTimer();
        step_ = 3;
        break;
    }
    case 3: {
        const auto status = env_.ReadStatusFile();
        if (!status || !RunSucceeded(*status, kGuidSuccessLine)) failed_ = true;
        finish();
        break;
    }
    default:
        break;
    }
}

void UpdateSteps::startRun(const std::string& commandLine) {
    // Every run rewrites the status file; one left by an earlier run must not speak for this one.
    env_.DeleteFile(kStatusFile);
    started_.push_back(commandLine);
    pid_ = env_.StartProcess(commandLine);
    runStart_ = clk::Current().Counter();
    waitForCaption();
}

void UpdateSteps::waitForCaption() {
    for (int i = 0; i < 11 && !env_.CaptionWindowExists(); ++i) clk::Sleep(500);
}

void UpdateSteps::finish() {
    view_.SetProgressPos(1000);
    view_.SetMessage(failed_ ? kFailedText : kCompletedText);
    view_.StopTimer();
    finished_ = true;
    renameBack();
    env_.DeleteFile(kAccessLog);
    view_.OfferFinish();
    step_ = 0;
}

bool UpdateSteps::renameBack() {
    if (!renamed_) return true;
    for (int i = 0; i < kRenameAttempts; ++i) {
        clk::Sleep(kRenameSpacingMs);
        if (env_.MoveFile(kDownloaderExe, kDownloaderApp)) {
            renamed_ = false;
            return true;
        }
    }
    env_.ShowMessage(std::string("Could not rename ") + kDownloaderExe + " back to " + kDownloaderApp +
                     ".\nPlease rename it by hand before the next update.");
    return false;
}

void UpdateSteps::OnClose() {
    if (renamed_ && !RunInProgress()) renameBack();
}

}  // namespace setup
