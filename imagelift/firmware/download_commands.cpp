// The download window's commands: image only, configuration data only, both; the view of the
// configuration data; the preferences; and the window's own download procedure and package load.
//
// A download checks the package against the target, then sends the image through the bootloader
// layer's transfer loop (bootloader/transfer.h), which reports to this window what it does.
#include "firmware/select_firmware.h"

#include <algorithm>
#include <optional>

#include "windows/kit.h"
#include "bootloader/commands.h"
#include "bootloader/fwp.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/transfer.h"
#include "bus1394/state.h"
#include "clock/clock.h"
#include "firmware/download_guard.h"
#include "firmware/memory_viewer.h"
#include "firmware/package_texts.h"
#include "firmware/preferences.h"
#include "firmware/text_view.h"
#include "forms/dialogs.h"
#include "firmware/progress_adapters.h"
#include "support/byte_utils.h"
#include "support/file_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

constexpr int32_t kPackageReadLimit = 10000000;
constexpr int32_t kHeaderCheckLimit = 1000;
constexpr uint32_t kSettleAfterDownloadMs = 200;
constexpr int64_t kProgressRepaintMs = 100;

}  // namespace

// The transfer's events as the window shows them: the status line, the status display and the
// progress bar.
class frmSelectFirmware::TransferView final : public basBootloader::TransferReporter {
public:
    TransferView(frmSelectFirmware& window, const std::string& type, const std::string& file)
        : window_(window), type_(type), file_(file) {}

    void StartAnswered(int32_t code) override {
        window_.pgbReadFile.Visible = false;
        if (code != 1) window_.StatusDisplay("cmdLoadSelected failed: DownloadStart command failed, code " + vb::CStr(code), "WATCH");
    }
    void BadBlockSize(int32_t maxBlockSize) override {
        window_.StatusDisplay("Load " + type_ + " failed: Download start returned invalid block size: " + vb::CStr(maxBlockSize));
    }
    void BlocksBegin(int64_t length) override {
        window_.lblStatus.Caption = "Loading new " + type_ + " from '" + file_ + "' to target...";
        forms::ProgressBar& bar = window_.pgbReadFile;
        bar.Min = 0;
        bar.Visible = true;
        bar.Max = double(length) / basBootloader::kTransferProgressUnit;
        bar.Value = bar.Min();
    }
    void Sending(int64_t sent) override {
        // The bar follows the blocks. Setting its value repaints it at once whenever its drawing
        // changes, which costs more than a block's own transactions: it is set in the pause after
        // a block's answer (time the block waits anyway), at most every kProgressRepaintMs, and
        // the last value is shown when the blocks end.
        const double done = double(sent) / basBootloader::kTransferProgressUnit;
        if (done > window_.pgbReadFile.Max()) return;
        if (sent == 0) {
            window_.pgbReadFile.Value = done;
            shownAtMs_ = clk::TickCountMs();
            heldBack_.reset();
        } else {
            heldBack_ = done;
        }
    }
    void Paused() override {
        const int64_t now = clk::TickCountMs();
        if (heldBack_ && now - shownAtMs_ >= kProgressRepaintMs) {
            window_.pgbReadFile.Value = *heldBack_;
            shownAtMs_ = now;
            heldBack_.reset();
        }
    }
    // Shows the last value the blocks reached, if it was held back.
    void ShowLastProgress() {
        if (heldBack_) window_.pgbReadFile.Value = *heldBack_;
        heldBack_.reset();
    }
    void CopyFailed(int32_t blockSize, int32_t fileOffset) override {
        window_.StatusDisplay("Failed to copy 0x" + vb::Hex(blockSize) + " byte block at address 0x" + vb::Hex(fileOffset) +
                          " in file '" + file_ + "' in Load Image function.",
                      "ERROR");
    }
    void BlockFailed(int32_t code, int32_t address, bool) override {
        const std::string tail = "basBootloader.DownloadBlock returned code " + vb::CStr(code) +
                                 " for block at address 0x" + vb::Hex(address) + ".";
        window_.StatusDisplay(code == -3 ? "DownloadImage ERROR: Failed to write data to flash on target.  " + tail
                                 : "DownloadImage ERROR: Failed to load '" + file_ + "' onto target.  " + tail,
                      "ERROR");
    }
    void EndFailed() override {
        window_.lblStatus.Caption = "Download end command failed while loading '" + file_ + "' onto target.";
    }
    void CrcFailed(int32_t crc, int32_t validity) override {
        window_.StatusDisplay("CRC failure in Image Load process (CRC=0x" + vb::Hex(crc) + ", CRCvalidity=0x" +
                          vb::Hex(validity) + ".",
                      "ERROR");
    }

private:
    frmSelectFirmware& window_;
    const std::string& type_;
    const std::string& file_;
    int64_t shownAtMs_ = 0;
    std::optional<double> heldBack_;
};


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
                // Nothing may leave a destructor; the pointer is cosmetic.
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
        // The start command erases the target's flash: a package with an image whose record
        // cannot be what it says (bytes before the file or inside its header, past the end of
        // the file, an image running past the address space) is refused whole before the target
        // hears of it; a record of length 0 or less holds no image. (The file data holds one more
        // byte than the file, from the read; the window sends configuration data to address 0,
        // below.)
        const std::string impossible =
            basBootloader::ImpossiblePackageRecords(h, int64_t(fwp.FileData.size()) - 1, /*configAddress=*/0);
        if (!impossible.empty()) {
            StatusDisplay("Load " + type + " failed: could not load FWP file '" + file + "': its " + impossible +
                              ".  Nothing was sent to the target.",
                          "ERROR");
            return result;
        }

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
        if (config) {
            StatusDisplay("Loading new " + type + "(CNE) from '" + file + "' onto target...", "USER");
        } else {
            StatusDisplay("Loading new " + type + "(Image1) from '" + file + "' onto target.  First erasing flash...",
                          "USER");
            forms::DoEvents();
        }
        // The bar and the line above are seen before the target is busy.
        Refresh();

        int64_t startCounter = clk::QueryPerformanceCounter();
        imagelift::Ctx().DownloadInProgress = true;

        imagelift_firmware::CommandProgress progress(pgbReadFile);
        TransferView reporter(*this, type, file);
        const basBootloader::TransferResult transfer = basBootloader::TransferImage({.handle = DeviceHandle,
                                                              .imageType = imageType,
                                                              .header = &h,
                                                              .fileData = &fwp.FileData,
                                                              .record = record,
                                                              .targetAddress = startAddress,
                                                              .startProgress = &progress,
                                                              .window = int32_t(hWnd())},
                                                             reporter);
        reporter.ShowLastProgress();
        if (!transfer.reachedBlocks) return result;
        const int32_t outcome = transfer.code;
        if (outcome != 1) {
            StatusDisplay("Load new " + type + " operation failed.", "ERROR");
        } else {
            result = 1;
            const double elapsed = imagelift::ElapsedMs(startCounter);
            StatusDisplay("Successfully loaded new " + type + " '" + file + "' onto target at " +
                              imagelift_firmware::RateText(record.Length, elapsed) + " kB/sec.",
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
