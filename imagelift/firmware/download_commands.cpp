// The download window's commands: image only, configuration data only, both; the view of the
// configuration data; the preferences; and the window's own download procedure and package load.
//
// A download tells the target what comes (download start: the target erases its flash, which
// takes a while), sends the image in blocks of at most 1024 bytes, each tried at most three
// times in a row, and closes with download end, whose answer says whether the target found the
// image's CRC good.
#include "firmware/select_firmware.h"

#include <algorithm>

#include "app/bas_app.h"
#include "bootloader/commands.h"
#include "bootloader/fwp.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bus1394/state.h"
#include "clock/clock.h"
#include "firmware/download_guard.h"
#include "firmware/memory_viewer.h"
#include "firmware/package_texts.h"
#include "firmware/preferences.h"
#include "firmware/text_view.h"
#include "forms/dialogs.h"
#include "progress_adapters.h"
#include "support/byte_utils.h"
#include "support/file_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

constexpr int32_t kBlockLimit = 1024;
constexpr int32_t kAttemptsPerBlock = 3;
constexpr int32_t kDownloadStartTimeoutMs = 40000;
constexpr int32_t kDownloadEndTimeoutMs = 70000;
constexpr double kProgressUnit = 131072.0;
constexpr int32_t kPackageReadLimit = 10000000;
constexpr int32_t kHeaderCheckLimit = 1000;
constexpr uint32_t kSettleAfterDownloadMs = 200;
constexpr int64_t kProgressRepaintMs = 100;

}  // namespace

namespace imagelift_firmware {

namespace {
bool g_downloadRunning = false;
}

bool DownloadRunning() { return g_downloadRunning; }
DownloadRun::DownloadRun() { g_downloadRunning = true; }
DownloadRun::~DownloadRun() { g_downloadRunning = false; }

}  // namespace imagelift_firmware

// ---------------------------------------------------------------- the three commands

void frmSelectFirmware::cmdLoadSelected_Click() {
    runDownloadCommand("cmdLoadSelected_Click", "Beginning download of '", true,
                       "cmdLoadSelected failure: Download Image call failed, code ",
                       &frmSelectFirmware::downloadSelected);
}

void frmSelectFirmware::cmdLoadConfig_Click() {
    runDownloadCommand("cmdLoadConfig_Click", "Beginning Configuration Download from file '", false,
                       "cmdLoadConfig_Click_new failure: Download Image call failed, code ",
                       &frmSelectFirmware::downloadConfig);
}

void frmSelectFirmware::cmdLoadImageAndConfig_Click() {
    runDownloadCommand("cmdLoadImageAndConfig_Click", "Beginning download of '", true,
                       "cmdLoadImageAndConfig_Click failure: Download Image call failed, code ",
                       &frmSelectFirmware::downloadImageAndConfig);
}

int32_t frmSelectFirmware::downloadSelected(const std::string& file) {
    return DownloadImage(firmwareType_, Dir1.Path(), file);
}

int32_t frmSelectFirmware::downloadConfig(const std::string& file) {
    return DownloadImage(basBootloader::kImageConfig, Dir1.Path(), file);
}

int32_t frmSelectFirmware::downloadImageAndConfig(const std::string& file) {
    int32_t result = DownloadImage(firmwareType_, Dir1.Path(), file);
    if (result != 1 || firmwareType_ != basBootloader::kImageApplication) {
        lblStatus.Caption = "Failed to application image onto target from: " + file + "'";
    } else {
        result = DownloadImage(basBootloader::kImageConfig, Dir1.Path(), file);
        lblStatus.Caption = result != 1 ? "Failed to load config data onto target.  Application load OK.  From: '" + file + "'"
                                        : "Successfully loaded new application and CNE (configuration data) from '" + file +
                                              "' onto target.";
    }
    StatusDisplay(lblStatus.Caption, "USER");
    return result;
}

void frmSelectFirmware::runDownloadCommand(const char* procedure, const std::string& startText, bool downloadingText,
                                           const std::string& failureText,
                                           int32_t (frmSelectFirmware::*downloads)(const std::string&)) {
    if (refuseWhileDownloading()) return;
    try {
        {
            imagelift_firmware::DownloadRun run;
            downloading_ = true;
            struct Mark {
                bool& flag;
                ~Mark() { flag = false; }
            } mark{downloading_};

            forms::ListItem* item = ListView1.SelectedItem();
            if (!item) vb::Raise(91);  // no package selected
            const std::string file = item->Text();

            if (downloadingText) lblStatus.Caption = "Downloading new image...";
            for (forms::CommandButton* b :
                 {&cmdClose, &cmdLoadConfig, &cmdLoadSelected, &cmdLoadImageAndConfig, &cmdViewConfig, &cmdPreferences})
                b->Enabled = false;
            const std::string start = startText + file + "' to target...";
            if (downloads == &frmSelectFirmware::downloadConfig) StatusDisplay(start, "TRACE");
            else lblStatus.Caption = start;

            const int32_t result = (this->*downloads)(file);
            if (result != 1) StatusDisplay(failureText + vb::CStr(result), "ERROR");
            else bas1394::State.BusResetPending = true;

            // The target restarts its image check after a download; give it a moment.
            clk::Sleep(kSettleAfterDownloadMs);
            cmdClose.Enabled = true;
            pgbReadFile.Visible = false;
            cmdPreferences.Enabled = true;
        }
        // The download has ended: the item click sets the buttons anew.
        clickSelectedItem();
        MousePointer = forms::vbDefault;
        cmdClose.SetFocus();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), std::string(" in ") + procedure));
    }
}

// ---------------------------------------------------------------- the download procedure

int32_t frmSelectFirmware::DownloadImage(int32_t imageType, const std::string& folder, const std::string& file) {
    int32_t result = -1;
    // Every way out gives back the pointer and the download flag.
    struct Restore {
        frmSelectFirmware& window;
        ~Restore() {
            try {
                window.MousePointer = forms::vbDefault;
            } catch (...) {
            }
            imagelift::Ctx().DownloadInProgress = false;
        }
    } restore{*this};
    try {
        const char* typeName = imagelift_firmware::DownloadTypeName(imageType);
        if (!typeName) {
            StatusDisplay("DownloadImage Error: unknown ImageType '" + vb::CStr(imageType) + "'", "ERROR");
            return result;
        }
        const std::string type = typeName;
        MousePointer = forms::vbHourglass;

        std::string dir = folder;
        const basBootloader::FwpStruct fwp = LoadFWP(dir, file);
        if (fwp.FileData.size() < 97) {
            StatusDisplay("Load " + type + " failed: could not load FWP file '" + file + "'", "ERROR");
            return result;
        }
        const basBootloader::FwpHeader& h = fwp.Header;

        // Compatibility of the package just loaded (the file may have changed since it was
        // clicked) with the target as the last device list saw it.
        const int32_t index = basBootloader::GetTargetIndex(DeviceHandle);
        if (index >= 0 && size_t(index) < basBootloader::State.TargetList.size()) {
            const int32_t targetModel = basBootloader::State.TargetList[size_t(index)].Info.HardwareModelId;
            if (h.HardwareModelId != targetModel) {
                const std::string intro = "The selected FWP file indicates hardware compatibility with Model ID " +
                                          vb::CStr(h.HardwareModelId) + " (0x" + vb::Hex(h.HardwareModelId) +
                                          ").  \r\nThe selected hardware indicates a Model ID of " +
                                          vb::CStr(targetModel) + ".  \r\n";
                bool go = false;
                if (imagelift::Ctx().OverrideHardwareCompatibility) {
                    go = forms::MsgBox(intro +
                                           "The application is configured to ignore this compatibility test.\r\n"
                                           "Are you sure you want to continue?",
                                       forms::vbYesNo, "Incompatible Image") == forms::vbYes;
                } else {
                    forms::MsgBox(intro +
                                      "This FWP file is not intended for this hardware platform.  However, you can "
                                      "over-ride this check by clicking the \"Preferences\" button and checking the "
                                      "\"Override Hardware Compatibility\" checkbox.\r\nDANGER: USE THE \"Override "
                                      "Hardware Compatibility\" OPTION ONLY IF YOU'RE ABSOLUTELY CERTAIN THAT YOU KNOW "
                                      "WHAT YOU'RE DOING.  YOU COULD RENDER YOUR HARDWARE USELESS.",
                                  forms::vbOKOnly, "Incompatible Image");
                }
                if (!go) {
                    StatusDisplay("Operation aborted due to hardware incompatibility", "ERROR");
                    return result;
                }
            }
        }

        pgbReadFile.Visible = true;
        Refresh();

        // Configuration data goes to address 0 of its flash area; the images to their own address.
        const bool config = imageType == basBootloader::kImageConfig;
        const basBootloader::FwpImageRecord& record = config ? h.Cne : h.Image1;
        const int32_t startAddress = config ? 0 : record.TargetAddress;
        if (record.Length < 1) {
            StatusDisplay(config ? "DownloadImage (CNE): '" + file + "' contains no CNE.  Exiting..."
                                 : "DownloadImage: '" + file + "' contains no image.  Exiting...",
                          "USER");
            return result;
        }
        // The start command erases the target's flash: the image must lie wholly inside the file
        // before it is sent. (The file data holds one more byte than the file, from the read.)
        const int64_t fileBytes = int64_t(fwp.FileData.size()) - 1;
        if (record.FileOffset < 0 || int64_t(record.FileOffset) + record.Length > fileBytes) {
            StatusDisplay("Load " + type + " failed: could not load FWP file '" + file + "': its " +
                              (config ? "CNE" : "Image1") + " record (offset " + vb::CStr(record.FileOffset) +
                              ", length " + vb::CStr(record.Length) + ") runs outside the file (" +
                              vb::CStr(fileBytes) + " bytes).  Nothing was sent to the target.",
                          "ERROR");
            return result;
        }
        if (config) {
            StatusDisplay("Loading new " + type + "(CNE) from '" + file + "' onto target...", "USER");
        } else {
            StatusDisplay("Loading new " + type + "(Image1) from '" + file + "' onto target.  First erasing flash...",
                          "USER");
            forms::DoEvents();
            Refresh();
        }

        int64_t startCounter = clk::QueryPerformanceCounter();
        imagelift::Ctx().DownloadInProgress = true;

        imagelift_firmware::CommandProgress progress(pgbReadFile);
        int32_t maxBlockSize = 0;
        int32_t r = basBootloader::DownloadStart(DeviceHandle, uint8_t(imageType & 0xFF), h.Date, h.Time, h.SoftwareId,
                                                 h.SoftwareVersion, startAddress, record.Length, record.Crc,
                                                 maxBlockSize, kDownloadStartTimeoutMs, &progress, int32_t(hWnd()));
        pgbReadFile.Visible = false;
        if (r != 1) {
            StatusDisplay("cmdLoadSelected failed: DownloadStart command failed, code " + vb::CStr(r), "WATCH");
            return result;
        }
        if (maxBlockSize < 1) {
            StatusDisplay("Load " + type + " failed: Download start returned invalid block size: " +
                          vb::CStr(maxBlockSize));
            return result;
        }
        lblStatus.Caption = "Loading new " + type + " from '" + file + "' to target...";
        maxBlockSize = std::min(maxBlockSize, kBlockLimit);
        pgbReadFile.Min = 0;
        pgbReadFile.Visible = true;
        pgbReadFile.Max = double(record.Length) / kProgressUnit;
        pgbReadFile.Value = pgbReadFile.Min();

        const int64_t length = record.Length;
        int64_t sent = 0;
        int32_t fileOffset = record.FileOffset;
        int32_t blockNumber = 0;
        int32_t failures = 0;
        bool blockFailed = false;
        int32_t blockResult = 1;
        basBootloader::ByteArray block;
        int64_t shownAtMs = 0;
        while (sent < length) {
            const int32_t currentAddress = int32_t(uint32_t(startAddress) + uint32_t(sent));
            // The bar follows the blocks, repainted at most every kProgressRepaintMs: a repaint
            // per block would cost more than the block's own transaction.
            const double done = double(sent) / kProgressUnit;
            const int64_t now = clk::TickCountMs();
            if (done <= pgbReadFile.Max() && (sent == 0 || now - shownAtMs >= kProgressRepaintMs)) {
                pgbReadFile.Value = done;
                pgbReadFile.Refresh();
                shownAtMs = now;
            }
            const int32_t blockSize = int32_t(std::min<int64_t>(length - sent, maxBlockSize));
            if (basUtils::CopyBytes(fwp.FileData, fileOffset, blockSize, block, 0) != 1) {
                StatusDisplay("Failed to copy 0x" + vb::Hex(blockSize) + " byte block at address 0x" + vb::Hex(fileOffset) +
                                  " in file '" + file + "' in Load Image function.",
                              "ERROR");
                blockFailed = true;
                blockResult = -1;
                break;
            }
            block.resize(size_t(blockSize));
            r = basBootloader::DownloadBlock(DeviceHandle, blockNumber, currentAddress, blockSize, block);
            if (r == 1) {
                failures = 0;
                ++blockNumber;
                sent += blockSize;
                fileOffset += blockSize;
                continue;
            }
            ++failures;
            const std::string tail = "basBootloader.DownloadBlock returned code " + vb::CStr(r) +
                                     " for block at address 0x" + vb::Hex(currentAddress) + ".";
            StatusDisplay(r == -3 ? "DownloadImage ERROR: Failed to write data to flash on target.  " + tail
                                  : "DownloadImage ERROR: Failed to load '" + file + "' onto target.  " + tail,
                          "ERROR");
            if (failures >= kAttemptsPerBlock) {
                blockFailed = true;
                blockResult = r;
                break;
            }
        }

        // The end command goes out however the blocks went: the target closes its session.
        int32_t crc = record.Crc, validity = 0;
        int32_t endResult = basBootloader::DownloadEnd(DeviceHandle, crc, validity, kDownloadEndTimeoutMs);
        if (endResult != 1) {
            lblStatus.Caption = "Download end command failed while loading '" + file + "' onto target.";
        } else if (validity != 0) {
            endResult = -1;
            StatusDisplay("CRC failure in Image Load process (CRC=0x" + vb::Hex(crc) + ", CRCvalidity=0x" +
                              vb::Hex(validity) + ".",
                          "ERROR");
        }
        const int32_t outcome = blockFailed ? blockResult : endResult;
        if (outcome != 1) {
            StatusDisplay("Load new " + type + " operation failed.", "ERROR");
        } else {
            result = 1;
            const double elapsed = imagelift::ElapsedMs(startCounter);
            StatusDisplay("Successfully loaded new " + type + " '" + file + "' onto target at " +
                              imagelift_firmware::RateText(length, elapsed) + " kB/sec.",
                          "USER");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("ERROR #", vb::CurrentException(), " in frmSelectFirmware.DownloadImage.  Resuming next..."),
                      "WARNING");
    }
    return result;
}

// ---------------------------------------------------------------- package load

basBootloader::FwpStruct frmSelectFirmware::LoadFWP(std::string& folder, const std::string& file) {
    try {
        folder = vb::Trim(folder);
        if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) folder += "\\";
        const std::string full = folder + file;

        basBootloader::ByteArray bytes;
        if (basUtils::ReadFileToByteArray(full, bytes, kHeaderCheckLimit) != 1) {
            StatusDisplay("Load FWP error: failed to load file '" + full + "' into memory.", "ERROR");
            return {};
        }
        if (!basBootloader::IsValidFwp(basBootloader::ByteArrayToFwpStruct(bytes))) {
            StatusDisplay("Load FWP error: Failed to validate file '" + file + "'!", "ERROR");
            return {};
        }
        lblStatus.Caption = "Reading '" + file + "' into memory.";
        pgbReadFile.Visible = true;
        Refresh();
        imagelift_firmware::ReadProgress progress(pgbReadFile);
        if (basUtils::ReadFileToByteArray(full, bytes, kPackageReadLimit, &progress, int32_t(hWnd())) != 1) {
            StatusDisplay("Load FWP error: failed to load file '" + full + "' into memory.", "ERROR");
            return {};
        }
        basBootloader::FwpStruct package = basBootloader::ByteArrayToFwpStruct(bytes);
        if (!basBootloader::IsValidFwp(package)) {
            StatusDisplay("Load FWP error: Failed to validate file '" + file + "'!", "ERROR");
            return {};
        }
        pgbReadFile.Visible = false;
        return package;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in LoadFWP"));
        return {};
    }
}

// ---------------------------------------------------------------- view configuration

void frmSelectFirmware::cmdViewConfig_Click() {
    try {
        forms::ListItem* item = ListView1.SelectedItem();
        if (!item) vb::Raise(91);
        const std::string file = item->Text();
        MousePointer = forms::vbHourglass;
        std::string dir = Dir1.Path();
        const basBootloader::FwpStruct package = LoadFWP(dir, file);
        const int32_t slot = basApp::TakeSlot(basApp::MemoryWindows);
        if (package.FileData.size() < 98) {
            StatusDisplay("ERROR: could not read file '" + file + "'");
            MousePointer = forms::vbDefault;
            return;
        }
        const basBootloader::FwpImageRecord& cne = package.Header.Cne;
        auto viewer = std::make_shared<frmViewMemory>();
        basApp::MemoryWindows[size_t(slot)] = viewer;
        viewer->Load();
        viewer->Caption = "View Memory - CNE data from '" + file + "'";
        viewer->WindowIndex(slot);
        viewer->BaseAddress(cne.FileOffset);
        basBootloader::ByteArray data;
        const bool copied = basUtils::CopyBytes(package.FileData, cne.FileOffset, cne.Length, data, 0) == 1;
        viewer->ByteData(data);
        if (copied) viewer->Show();
        else StatusDisplay("View Config Error: failed to copy CNE data to local array", "USER");
        Refresh();
        forms::DoEvents();

        imagelift_firmware::ShowConfigText("Config (CNE) data from '" + file + "'",
                                           imagelift_firmware::ConfigDataText(data));
        MousePointer = forms::vbDefault;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("ERROR #", vb::CurrentException(), ".  Exiting..."), "ERROR");
        MousePointer = forms::vbDefault;
    }
}

// ---------------------------------------------------------------- preferences

void frmSelectFirmware::cmdPreferences_Click() {
    try {
        frmSelectFirmwarePreferences preferences;
        preferences.Show(forms::vbModal, this);
        // A changed override takes effect on the buttons at once.
        clickSelectedItem();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in cmdPreferences"));
    }
}
