// Image download: one image of a firmware package goes into a target, with what it does told in
// the log. The package is checked here (model, record); the blocks go through the one transfer
// loop (bootloader/transfer.h).
#include "bootloader/download.h"
#include "bootloader/commands.h"
#include "bootloader/fwp.h"
#include "bootloader/transfer.h"
#include "bootloader/internal.h"

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/byte_utils.h"
#include "support/program_context.h"

#include <cstdio>

namespace basBootloader {

namespace {

const char* typeName(int32_t type) {
    switch (type) {
    case kImageApplication: return "Application Image";
    case kImageConfig: return "Config Data";
    case kImageDebugger: return "Debugger Image";
    case kImageBootloader: return "Bootloader Image";
    default: return nullptr;
    }
}

// Clears the download flag on every way out.
class DownloadFlag {
public:
    void Set() { imagelift::Ctx().DownloadInProgress = set_ = true; }
    void Clear() {
        if (set_) imagelift::Ctx().DownloadInProgress = false;
        set_ = false;
    }
    ~DownloadFlag() { Clear(); }

private:
    bool set_ = false;
};

// The transfer's events as log lines, and the caller's progress bar, if any.
class LogReporter final : public TransferReporter {
public:
    LogReporter(const std::string& fileName, IProgressBar* bar) : fileName_(fileName), bar_(bar) {}

    void StartAnswered(int32_t code) override {
        if (bar_) bar_->SetVisible(false);
        if (code != 1) Log("cmdLoadSelected failed: DownloadStart command failed, code " + Str(code), basDebug::ERROR_LEVEL);
    }
    void BadBlockSize(int32_t maxBlockSize) override {
        Log("DownloadImage Error: Download start returned invalid block size: " + Str(maxBlockSize),
            basDebug::ERROR_LEVEL);
    }
    void BlocksBegin(int64_t length) override {
        if (!bar_) return;
        bar_->SetMin(0);
        bar_->SetVisible(true);
        bar_->SetMax(float(double(length) / kTransferProgressUnit));
        bar_->SetValue(bar_->Min());
    }
    void Sending(int64_t sent) override {
        // The bus-reset timer and the window run while the blocks go.
        clk::DoEvents();
        const float done = float(double(sent) / kTransferProgressUnit);
        if (bar_ && done <= bar_->Max()) bar_->SetValue(done);
    }
    void CopyFailed(int32_t blockSize, int32_t fileOffset) override {
        Log("Failed to copy 0x" + Str(blockSize) + " byte block at address 0x" + Str(fileOffset) + " in file '" +
                fileName_ + "' in Load Image function.",
            basDebug::ERROR_LEVEL);
    }
    void BlockFailed(int32_t code, int32_t address, bool last) override {
        const std::string tail = "basBootloader.DownloadBlock returned code " + Str(code) +
                                 " for block at address 0x" + vb::Hex(address) + ".";
        if (code == -3) {
            Log("DownloadImage Warning: Failed to write data to flash on target.  " + tail, basDebug::WARNING);
        } else {
            Log("DownloadImage Warning: Error loading '" + fileName_ + "'.  " + tail, basDebug::WARNING);
        }
        if (last) {
            Log("DownloadImage ERROR: Failed to load '" + fileName_ +
                    "' onto target.  basBootloader.DownloadBlock returned code " + Str(code) + " after " +
                    Str(kTransferAttemptsPerBlock) + " retries.  Aborting operation.",
                basDebug::ERROR_LEVEL);
        }
    }
    void EndFailed() override {
        Log("Download end command failed while loading '" + fileName_ + "' onto target.", basDebug::ERROR_LEVEL);
    }
    void CrcFailed(int32_t crc, int32_t validity) override {
        Log("CRC failure in Image Load process (CRC=0x" + vb::Hex(crc) + ", CRCvalidity=0x" + vb::Hex(validity) + ".",
            basDebug::ERROR_LEVEL);
    }

private:
    const std::string& fileName_;
    IProgressBar* bar_;
};

int32_t ask(const std::string& prompt, int32_t buttons) { return forms::MsgBox(prompt, buttons, "Incompatible Image"); }

}  // namespace

int32_t DownloadImage(int32_t handle, int32_t imageType, const std::string& fileName, IProgressBar* progressBar,
                      int32_t window, int32_t configAddress) {
    int32_t result = -1;
    DownloadFlag flag;
    try {
        int64_t start = clk::QueryPerformanceCounter();
        imagelift::ProgramContext& ctx = imagelift::Ctx();

        const char* name = typeName(imageType);
        if (!name) {
            Log("DownloadImage Error: unknown ImageType '" + Str(imageType) + "'", basDebug::ERROR_LEVEL);
            return -1;
        }
        const std::string typeText = name;

        FwpStruct fwp = LoadFWP(fileName);
        if (int64_t(fwp.FileData.size()) - 1 < 96) {
            Log("Load " + typeText + " failed: could not load FWP file '" + fileName + "'", basDebug::ERROR_LEVEL);
            return -1;
        }
        const FwpHeader& h = fwp.Header;
        // A record that cannot be what it says refuses the whole package before the target hears
        // of it: the start command would have it erase its flash.
        // FileData holds the file and one extra zero byte from the read.
        const std::string impossible =
            ImpossiblePackageRecords(h, int64_t(fwp.FileData.size()) - 1, configAddress);
        if (!impossible.empty()) {
            Log("DownloadImage Error: '" + fileName + "': its " + impossible + ".  Nothing was sent to the target.",
                basDebug::ERROR_LEVEL);
            return -1;
        }

        int32_t index = GetDeviceIndex(handle);
        if (index >= 0 && h.HardwareModelId != State.TargetList[index].Info.HardwareModelId) {
            const int32_t packageModel = h.HardwareModelId;
            const int32_t targetModel = State.TargetList[index].Info.HardwareModelId;
            const std::string intro = "The selected FWP file indicates hardware compatibility with Model ID " +
                                      Str(packageModel) + ".  \r\nThe selected hardware indicates a Model ID of " +
                                      Str(targetModel) + ".  \r\n";
            if (ctx.OverrideHardwareCompatibility) {
                if (!ctx.AutomationMode) {
                    auto answer = ask(intro +
                                          "The application is configured to ignore this compatibility test.\r\n"
                                          "Are you sure you want to continue?",
                                      forms::vbYesNo);
                    if (answer != forms::vbYes) {
                        Log("Operation aborted due to hardware incompatibility", basDebug::ERROR_LEVEL);
                        return -1;
                    }
                }
            } else {
                if (!ctx.AutomationMode) {
                    ask(intro +
                            "This FWP file is not intended for this hardware platform.  However, you can over-ride "
                            "this check by clicking the \"Preferences\" button and checking the \"Override Hardware "
                            "Compatibility\" checkbox.\r\nDANGER: USE THE \"Override Hardware Compatibility\" OPTION "
                            "ONLY IF YOU'RE ABSOLUTELY CERTAIN THAT YOU KNOW WHAT YOU'RE DOING.  YOU COULD RENDER "
                            "YOUR HARDWARE USELESS.",
                        forms::vbOKOnly);
                }
                Log("Operation aborted due to hardware incompatibility", basDebug::ERROR_LEVEL);
                Log("Operation aborted due to hardware incompatibility: FWP Hardware ID = " + Str(packageModel) +
                        " (0x" + vb::Hex(packageModel) + ")  Target Hardware ID = " + Str(targetModel) + "(0x" +
                        vb::Hex(targetModel) + ")",
                    basDebug::ERROR_LEVEL);
                return -1;
            }
        }

        if (progressBar) progressBar->SetVisible(true);

        FwpImageRecord record;
        int32_t targetAddress = 0;
        if (imageType == kImageConfig) {
            record = h.Cne;
            targetAddress = configAddress;
            if (record.Length < 1) {
                Log("DownloadImage (CNE): '" + fileName + "' contains no CNE.  Exiting...", basDebug::USER);
                return -1;
            }
        } else {
            record = h.Image1;
            targetAddress = record.TargetAddress;
            if (record.Length < 1) {
                Log("DownloadImage: '" + fileName + "' contains no image.  Exiting...", basDebug::USER);
                return -1;
            }
        }
        if (imageType == kImageConfig) {
            Log("Loading new " + typeText + "(CNE) from '" + fileName + "' onto target...", basDebug::USER);
        } else {
            Log("Loading new " + typeText + "(Image1) from '" + fileName + "' onto target.  First erasing flash...",
                basDebug::USER);
            clk::DoEvents();
        }

        flag.Set();
        LogReporter reporter(fileName, progressBar);
        const TransferResult transfer = TransferImage({.handle = handle,
                                               .imageType = imageType,
                                               .header = &h,
                                               .fileData = &fwp.FileData,
                                               .record = record,
                                               .targetAddress = targetAddress,
                                               .startProgress = progressBar,
                                               .window = window},
                                              reporter);
        if (!transfer.reachedBlocks) return -1;
        const int32_t outcome = transfer.code;
        if (outcome != 1) {
            Log("Load new " + typeText + " operation failed.", basDebug::USER);
        } else {
            result = 1;
            // A tiny image on a fast bus can take no measurable time.
            float elapsed = std::max(imagelift::ElapsedMs(start), 1.0f);
            char rate[32];
            std::snprintf(rate, sizeof rate, "%.2f", double(record.Length) / double(elapsed));
            Log("Successfully loaded new " + typeText + " '" + fileName + "' onto target at " + rate + " kB/sec.",
                basDebug::USER);
        }
    } catch (...) {
        LogTrapped(" in frmSelectFirmware.DownloadImage.  Resuming next...");
    }
    return result;
}

}  // namespace basBootloader
