// Image download: one image of a firmware package goes into a target. The target is told what
// comes (DownloadStart; it erases its flash meanwhile), receives the image in blocks of at most
// 1024 bytes (each block sent at most three times in a row), and checks the whole image against
// the CRC it was announced (DownloadEnd).
#include "bootloader/download.h"
#include "bootloader/commands.h"
#include "bootloader/fwp.h"
#include "internal.h"

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/byte_utils.h"
#include "support/program_context.h"

#include <cstdio>

namespace basBootloader {

namespace {

constexpr int32_t kBlockLimit = 1024;
constexpr int32_t kAttemptsPerBlock = 3;
constexpr int32_t kDownloadStartTimeoutMs = 40000;
constexpr int32_t kDownloadEndTimeoutMs = 70000;
constexpr float kProgressUnit = 131072.0f;

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

int32_t ask(const std::string& prompt, int32_t buttons) { return forms::MsgBox(prompt, buttons, "Incompatible Image"); }

}  // namespace

int32_t DownloadImage(int32_t handle, int32_t imageType, const std::string& fileName, IProgressBar* progressBar,
                      int32_t window, int32_t configAddress) {
    int32_t result = -1;
    DownloadFlag flag;
    try {
        int32_t failures = 0;
        int32_t blockCounter = 0;
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
        // The record must lie inside the file before the target is told to erase its flash.
        // FileData holds the file and one extra zero byte from the read.
        const int64_t fileSize = int64_t(fwp.FileData.size()) - 1;
        if (record.FileOffset < 0 || int64_t(record.FileOffset) + record.Length > fileSize) {
            Log("DownloadImage Error: the " + typeText + " record of '" + fileName + "' (offset " +
                    Str(record.FileOffset) + ", length " + Str(record.Length) + ") lies outside the file (" +
                    Str(fileSize) + " bytes).  Nothing was sent to the target.",
                basDebug::ERROR_LEVEL);
            return -1;
        }
        if (imageType == kImageConfig) {
            Log("Loading new " + typeText + "(CNE) from '" + fileName + "' onto target...", basDebug::USER);
        } else {
            Log("Loading new " + typeText + "(Image1) from '" + fileName + "' onto target.  First erasing flash...",
                basDebug::USER);
            clk::DoEvents();
        }

        flag.Set();
        int32_t maxBlockSize = 0;
        int32_t r = DownloadStart(handle, uint8_t(imageType & 0xFF), h.Date, h.Time, h.SoftwareId, h.SoftwareVersion,
                                  targetAddress, record.Length, record.Crc, maxBlockSize, kDownloadStartTimeoutMs,
                                  progressBar, window);
        if (progressBar) progressBar->SetVisible(false);
        if (r != 1) {
            Log("cmdLoadSelected failed: DownloadStart command failed, code " + Str(r), basDebug::ERROR_LEVEL);
            return -1;
        }

        const int32_t limit = std::min(maxBlockSize, kBlockLimit);
        int64_t done = 0;
        int32_t fileOffset = record.FileOffset;
        if (progressBar) {
            progressBar->SetMin(0);
            progressBar->SetVisible(true);
            progressBar->SetMax(float(record.Length) / kProgressUnit);
            progressBar->SetValue(progressBar->Min());
        }

        bool loopFailed = false;
        int32_t lastBlockResult = 1;
        while (done < record.Length) {
            const int32_t currentAddress = int32_t(uint32_t(targetAddress) + uint32_t(done));
            if (progressBar && float(done) / kProgressUnit <= progressBar->Max()) {
                progressBar->SetValue(float(done) / kProgressUnit);
            }
            const int32_t blockSize = int32_t(std::min<int64_t>(record.Length - done, limit));
            ByteArray block;
            if (basUtils::CopyBytes(fwp.FileData, fileOffset, blockSize, block, 0) != 1) {
                Log("Failed to copy 0x" + Str(blockSize) + " byte block at address 0x" + Str(fileOffset) +
                        " in file '" + fileName + "' in Load Image function.",
                    basDebug::ERROR_LEVEL);
                loopFailed = true;
                lastBlockResult = -1;
                break;
            }
            r = DownloadBlock(handle, blockCounter, currentAddress, blockSize, block);
            if (r == 1) {
                failures = 0;
                ++blockCounter;
                done += blockSize;
                fileOffset += blockSize;
            } else {
                ++failures;
                const std::string tail = "basBootloader.DownloadBlock returned code " + Str(r) +
                                         " for block at address 0x" + vb::Hex(currentAddress) + ".";
                if (r == -3) {
                    Log("DownloadImage Warning: Failed to write data to flash on target.  " + tail, basDebug::WARNING);
                } else {
                    Log("DownloadImage Warning: Error loading '" + fileName + "'.  " + tail, basDebug::WARNING);
                }
                if (failures >= kAttemptsPerBlock) {
                    Log("DownloadImage ERROR: Failed to load '" + fileName +
                            "' onto target.  basBootloader.DownloadBlock returned code " + Str(r) + " after " +
                            Str(kAttemptsPerBlock) + " retries.  Aborting operation.",
                        basDebug::ERROR_LEVEL);
                    loopFailed = true;
                    lastBlockResult = r;
                    break;
                }
            }
            clk::DoEvents();
        }

        int32_t crc = 0, validity = 0;
        int32_t endResult = DownloadEnd(handle, crc, validity, kDownloadEndTimeoutMs);
        if (endResult != 1) {
            Log("Download end command failed while loading '" + fileName + "' onto target.", basDebug::ERROR_LEVEL);
        } else if (validity != 0) {
            endResult = -1;
            Log("CRC failure in Image Load process (CRC=0x" + vb::Hex(crc) + ", CRCvalidity=0x" + vb::Hex(validity) + ".",
                basDebug::ERROR_LEVEL);
        }

        const int32_t outcome = loopFailed ? lastBlockResult : endResult;
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
