// The download window: its public members, loading, sizing and unloading, the folder listing,
// the package display with its compatibility tests, the list's sorting and double-click, and the
// window's logger. The download commands are in download_commands.cpp.
#include "firmware/select_firmware.h"

#include <fnmatch.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string_view>

#include "windows/kit.h"
#include "fs/fs.h"
#include "bootloader/fwp.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "firmware/download_guard.h"
#include "firmware/package_texts.h"
#include "forms/dialogs.h"
#include "layout/layout_manager.h"
#include "firmware/progress_adapters.h"
#include "registry/registry.h"
#include "support/byte_utils.h"
#include "support/db_manager.h"
#include "support/file_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

namespace {

constexpr const char* kModule = "frmSelectFirmware";
// A package header is 352 bytes; the item click reads a little more.
constexpr int32_t kHeaderReadLimit = 512;

std::string appTitle() { return imagelift::Ctx().App.Title; }

std::string lower(const std::string& text) { return vb::LCase(text); }

// The regular files of `folder` whose names match `pattern` without regard to case, sorted the
// same way (the order the platform's directory enumeration gives on its file systems).
std::vector<std::string> listFiles(const std::string& folder, const std::string& pattern) {
    std::vector<std::string> names;
    std::error_code ec;
    const std::filesystem::path native = fs::ToNativePath(folder);
    for (const auto& e : std::filesystem::directory_iterator(
             native, std::filesystem::directory_options::skip_permission_denied, ec)) {
        if (!e.is_regular_file(ec)) continue;
        const std::string name = e.path().filename().string();
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const std::string la = lower(a), lb = lower(b);
        return la != lb ? la < lb : a < b;
    });
    return names;
}

// The same target fields the window reads, copied: the target list may be rebuilt while the
// window lets messages run.
struct TargetView {
    bool found = false;
    int16_t nodeNumber = bas1394::kNoNode;
    int32_t bootloaderVersion = 0;
    int32_t hardwareModelId = 0;
    basBootloader::ByteArray guid;
};

TargetView lookUpTarget(int32_t handle) {
    TargetView v;
    const int32_t index = basBootloader::GetTargetIndex(handle);
    if (index < 0 || size_t(index) >= basBootloader::State.TargetList.size()) return v;
    const auto& t = basBootloader::State.TargetList[size_t(index)];
    v.found = true;
    v.nodeNumber = t.Device.NodeNumber;
    v.bootloaderVersion = t.Info.BootloaderVersion;
    v.hardwareModelId = t.Info.HardwareModelId;
    v.guid = t.Info.Guid;
    return v;
}

}  // namespace

frmSelectFirmware::frmSelectFirmware() : forms::Form("frmSelectFirmware", true) {
    Drive1.Change = [this] { Drive1_Change(); };
    Dir1.Change = [this] { Dir1_Change(); };
    ListView1.ItemClick = [this](forms::ListItem& item) { ListView1_ItemClick(item); };
    ListView1.DblClick = [this] { ListView1_DblClick(); };
    ListView1.ColumnClick = [this](forms::ColumnHeader& column) { ListView1_ColumnClick(column); };
    lblPath.Change = [this] { lblPath.ToolTipText = lblPath.Caption(); };
    pgbReadFile.Click = [this] { Refresh(); };
    cmdLoadSelected.Click = [this] { cmdLoadSelected_Click(); };
    cmdLoadConfig.Click = [this] { cmdLoadConfig_Click(); };
    cmdLoadImageAndConfig.Click = [this] { cmdLoadImageAndConfig_Click(); };
    cmdViewConfig.Click = [this] { cmdViewConfig_Click(); };
    cmdPreferences.Click = [this] { cmdPreferences_Click(); };
    cmdClose.Click = [this] { cmdClose_Click(); };
}

frmSelectFirmware::~frmSelectFirmware() = default;

// ---------------------------------------------------------------- design

void frmSelectFirmware::Form_Design() {
    Caption = "Select Firmware Image";
    FontName = "Courier New";

    // The window is no wider than the main window's client area (10860 twips), so that it fits
    // the frame, which is sized around the main window. The file finder takes the larger part:
    // its list shows a date of 27 characters, a size and a name on each line, where the package
    // properties beside it wrap onto a second line.
    fraFileFinder.Caption = "File Finder";
    fraFileFinder.Move(120, 120, 5880, 5400);
    Drive1.Move(120, 300, 5640);
    Dir1.Move(120, 720, 5640, 1800);
    ListView1.Move(120, 2640, 5640, 2640);
    // Sorted by the file name, ascending; a column click sorts by that column or turns the order.
    ListView1.Sorted = true;
    ListView1.SortKey = 0;
    ListView1.SortOrder = forms::lvwAscending;

    fraImageProperties.Caption = "Firmware Image Properties";
    fraImageProperties.Move(6120, 120, 4500, 5400);
    forms::Label* labels[] = {&lblPath,           &lblFilename,           &lblSoftwareInfo,        &lblSoftwareID,
                              &lblSoftwareBuiltOn, &lblFileCreatedOn,     &lblSoftwareVersion,     &lblCompatibleHardware,
                              &lblVendorCompatibility, &lblPackagesIncluded};
    const char* captions[] = {"Path:",         "Filename:",     "Software Info:", "Software ID:",
                              "File Created:", "File Created:", "Version:",       "Compatible Hardware Versions:",
                              "Vendor Compatibility:", "Packages Included:"};
    for (size_t i = 0; i < std::size(labels); ++i) {
        labels[i]->Caption = captions[i];
        labels[i]->WordWrap = true;
        labels[i]->Move(120, 300 + double(i) * 500, 4260, 480);
    }

    fraStatus.Caption = "Status";
    fraStatus.Move(120, 5640, 10560, 900);
    lblStatus.Caption = "Operation Status:";
    lblStatus.Move(120, 270, 10320, 300);
    pgbReadFile.Move(120, 600, 10320, 225);
    pgbReadFile.Visible = false;

    fraDownloadControls.Caption = "Download Controls";
    fraDownloadControls.Move(120, 6660, 10560, 1200);
    fraCommandSet.Caption = "Command Set";
    fraCommandSet.Move(120, 240, 10320, 840);
    // One row of buttons, each as wide as its caption: a character of the window's fixed-width
    // font takes at most 100 twips at the desktop's scale, and the button's frame 160. What the
    // row leaves over goes between the buttons.
    forms::CommandButton* buttons[] = {&cmdLoadSelected, &cmdLoadConfig,  &cmdLoadImageAndConfig,
                                       &cmdViewConfig,   &cmdPreferences, &cmdClose};
    const char* buttonCaptions[] = {"&Load Image Only", "Loa&d Config Only", "Load Image &And Config",
                                    "&View Config",     "&Preferences",      "&Close Window"};
    constexpr double kRowLeft = 120, kRowWidth = 10080;
    double widths[std::size(buttons)] = {};
    double taken = 0;
    for (size_t i = 0; i < std::size(buttons); ++i) {
        widths[i] = 160 + 100 * double(std::string_view(buttonCaptions[i]).size() - 1);  // less the "&"
        taken += widths[i];
    }
    const double gap = std::floor((kRowWidth - taken) / double(std::size(buttons) - 1));
    double left = kRowLeft;
    for (size_t i = 0; i < std::size(buttons); ++i) {
        buttons[i]->Caption = buttonCaptions[i];
        buttons[i]->Move(left, 300, widths[i], 420);
        left += widths[i] + gap;
    }
}

// ---------------------------------------------------------------- logger

void frmSelectFirmware::StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    // A level given as a number above ERROR stays out of the label; names and no level reach it.
    if (!(level.IsNumber() && level.Number() > 11)) lblStatus.Caption = message;
    basDebug::DebugLog(message, level, std::string(kModule));
}

// ---------------------------------------------------------------- public members

int32_t frmSelectFirmware::SetDefaultDownloadBehavior(int16_t DownloadType) {
    auto& store = imagelift::Ctx().DbManager;
    return store ? store->SetDefaultDownloadBehavior(DownloadType) : 0;
}

int16_t frmSelectFirmware::GetDefaultDownloadBehavior() {
    auto& store = imagelift::Ctx().DbManager;
    return store ? store->GetDefaultDownloadBehavior() : int16_t(0);
}

std::string frmSelectFirmware::FirmwareImageTypeLookup(int32_t newtype) {
    switch (newtype) {
    case 0: return "Application";
    case 1: return "Config";
    case 2: return "Debugger";
    case 3: return "Bootloader";
    default: return "Invalid";
    }
}

void frmSelectFirmware::FirmwareType(int32_t newtype) {
    firmwareType_ = newtype;
    if (newtype == -1) {
        Caption = "Select Firmware Image (PROGRAM ERROR - INVALID TYPE)";
    } else if (newtype < 0 || newtype > 3) {
        Caption = "Select Firmware Image (PROGRAM ERROR: type " + vb::CStr(newtype) + " unknown!)";
    } else {
        Caption = "Select " + FirmwareImageTypeLookup(newtype) + " Image...";
    }
}

void frmSelectFirmware::hDevice(int32_t NewDeviceHandle) {
    try {
        if (DeviceHandle != 0 && NewDeviceHandle != DeviceHandle) {
            // Rebinding: let go of the old device and open the new one's target.
            const int32_t old = DeviceHandle;
            if (basBootloader::CloseBootloaderDevice(old) != 1) {
                StatusDisplay("Failed to close bootloader device handle " + vb::CStr(old) + " (0x" + vb::Hex(old) +
                                  ") in property set hDevice",
                              "ERROR");
            }
            // The open hands back the target's handle; anything below 1 means no target.
            const bas1394::NodeRecord record = basBootloader::GetBootloaderDevice(NewDeviceHandle);
            if (basBootloader::OpenBootloaderDevice(record) < 1) {
                StatusDisplay("Failed to open bootloader for device handle " + vb::CStr(NewDeviceHandle) + " (0x" +
                                  vb::Hex(NewDeviceHandle) + ") in property set hDevice",
                              "ERROR");
                NewDeviceHandle = 0;
            }
        }
        DeviceHandle = NewDeviceHandle;
        if (NewDeviceHandle < 1) {
            StatusDisplay("frmSelectFirmware given an invalid device handle: " + vb::CStr(NewDeviceHandle),
                          "WARNING");
        } else {
            const TargetView target = lookUpTarget(NewDeviceHandle);
            if (!target.found) {
                lblStatus.Caption = "PROGRAM ERROR: Invalid Device Handle: 0x" + vb::Hex(NewDeviceHandle);
            } else {
                const std::string guid = basUtils::ByteArrayToHexString(target.guid);
                const std::string model = vb::CStr(target.hardwareModelId);
                lblStatus.Caption = "Select new image for Device '" + guid + "', H/W model ID=" + model;
                if (firmwareType_ >= 0 && firmwareType_ <= 3) {
                    Caption = "Select new " + FirmwareImageTypeLookup(firmwareType_) + " Image for device " + guid +
                              "', h/w model ID=" + model;
                } else {
                    Caption = "FWP File Browser - Cannot Load - Invalid Image Type: " + vb::CStr(firmwareType_);
                }
            }
        }
        clickSelectedItem();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in hDevice"), "ERROR");
    }
}

// ---------------------------------------------------------------- load, resize, unload

void frmSelectFirmware::Form_Load() {
    loading_ = true;
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("ERROR #", e, " in Form_Load.  Resuming next..."), "WARNING");
    });
    steps.Run([] {
        if (basApp::IMainWindow* main = basApp::MainWindow()) main->EnableInput(false);
    });
    steps.Run([this] {
        FirmwareType(-1);
        DeviceHandle = 0;
        SelectedFile.clear();
    });
    steps.Run([this] { ClearFileInfo(); });
    // The window takes its size and its layout manager when it first shows (Form_Activate): only
    // then does the window layer know the size of its frame and of its inside.
    fitted_ = false;
    steps.Run([this] {
        const double width = ListView1.Width;
        ListView1.ColumnHeaders.Add("Filename", width / 2, forms::lvwColumnLeft);
        ListView1.ColumnHeaders.Add("Last Updated", width / 4, forms::lvwColumnCenter);
        ListView1.ColumnHeaders.Add("Size", width / 4, forms::lvwColumnRight);
    });
    steps.Run([this] { Dir1.Path = registry::GetSetting(appTitle(), "Global", "DefaultFirmwarePath", fs::CurDir()); });
    steps.Run([this] { Drive1.Drive = Dir1.Path(); });
    loading_ = false;
    // The list shows the folder whether or not the steps above changed it (a folder that no
    // longer exists, or one that was already current, changes nothing).
    Dir1_Change();
}

void frmSelectFirmware::Form_Activate() {
    // The sizing and layout steps of the load, once the window is on screen.
    if (fitted_) return;
    fitted_ = true;
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("ERROR #", e, " in Form_Load.  Resuming next..."), "WARNING");
    });
    steps.Run([this] {
        // The inside of the window ends exactly at the download controls' bottom and right edges.
        Height = (Height - ScaleHeight) + fraDownloadControls.Top + fraDownloadControls.Height;
        Width = (Width - ScaleWidth) + fraDownloadControls.Left + fraDownloadControls.Width;
    });
    steps.Run([this] {
        layout_ = std::make_unique<clsLayoutManager>();
        layout_->LayoutForm(*this);
        layout_->RestoreLayout();
        layout_->VerifyFormPosition(*this);
    });
}

void frmSelectFirmware::Form_Resize() {
    try {
        if (layout_) layout_->ResizeForm();
        sizeColumns();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in Form_Resize"), "ERROR");
    }
}

void frmSelectFirmware::Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) {
    (void)UnloadMode;
    // Closing under a running download would leave the target half written and destroy the
    // window the download runs in.
    if (downloading_) {
        StatusDisplay("This window cannot close while its download runs.  " + std::string(imagelift_firmware::kDownloadRunningText),
                      "WARNING");
        Cancel = 1;
    }
}

void frmSelectFirmware::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("Error #", e, " in Form_Unload"), "ERROR");
    });
    steps.Run([this] { basBootloader::CloseBootloaderDevice(DeviceHandle); });
    steps.Run([this] { registry::SaveSetting(appTitle(), "Global", "DefaultFirmwarePath", Dir1.Path()); });
    steps.Run([this] {
        if (layout_) layout_->SaveLayout();
        layout_.reset();
    });
    steps.Run([] { forms::DoEvents(); });
    steps.Run([] {
        if (basApp::IMainWindow* main = basApp::MainWindow()) main->EnableInput(true);
    });
    steps.Run([this] {
        auto& windows = basApp::DownloadWindows;
        if (WindowIndex >= 0 && size_t(WindowIndex) < windows.size() && windows[size_t(WindowIndex)].get() == this)
            basApp::EmptySlot(windows, WindowIndex);
    });
}

void frmSelectFirmware::cmdClose_Click() { Unload(); }

// ---------------------------------------------------------------- drives and folders

void frmSelectFirmware::Drive1_Change() {
    // The folder list moves to the new drive unless its folder already lies on it.
    const std::string drive = Drive1.Drive();
    const std::string folder = Dir1.Path();
    if (folder.compare(0, drive.size(), drive) == 0) return;
    Dir1.Path = drive;
}

void frmSelectFirmware::Dir1_Change() {
    if (loading_) return;
    vb::ResumeNext steps([](const vb::Error& e) { forms::MsgBox(vb::ErrorLine("Error #", e, "")); });
    steps.Run([this] { ListView1.ListItems.Clear(); });
    for (const char* pattern : {"*.fwp", "*.bin"}) {
        steps.Run([this, pattern] {
            Path = vb::Trim(Dir1.Path());
            if (Path.empty() || (Path.back() != '\\' && Path.back() != '/')) Path += "\\";
            for (const std::string& name : listFiles(Path, pattern)) {
                forms::ListItem& item = ListView1.ListItems.Add(name);
                const std::string full = Path + name;
                item.SubItems(1) = imagelift_firmware::FileTimeText(fs::GetFileLastWriteTime(full));
                item.SubItems(2) = imagelift_firmware::FileSizeText(fs::GetFileSize64(full));
            }
        });
    }
    steps.Run([this] { sizeColumns(); });
    steps.Run([this] { registry::SaveSetting(appTitle(), "Global", "Last_Path", Path); });
}

void frmSelectFirmware::sizeColumns() {
    // Half of the list for the names, a quarter each for the dates and the sizes, and each column
    // at least as wide as its heading and its texts: a date or a size cut short reads as another
    // one. A name longer than the list has room for beside them is the one that is cut.
    static const std::vector<double> kShares = {0.5, 0.25, 0.25};
    const int32_t count = ListView1.ColumnHeaders.Count();
    if (count != int32_t(kShares.size())) return;
    std::vector<double> need;
    for (int32_t c = 1; c <= count; ++c) need.push_back(ListView1.ColumnTextWidth(c));
    const double room = ListView1.ColumnsRoom();
    need[0] = std::min(need[0], std::max(0.0, room - need[1] - need[2]));
    const std::vector<double> width = forms::ShareColumnWidths(kShares, need, room);
    for (int32_t c = 1; c <= count; ++c) ListView1.SetColumnWidth(c, width[size_t(c - 1)]);
}

// ---------------------------------------------------------------- package display

void frmSelectFirmware::ClearFileInfo() {
    lblSoftwareInfo.Caption = "Software Info: <unknown>";
    lblFilename.Caption = "Filename: <none selected>";
    lblSoftwareID.Caption = "Software ID: <unknown>";
    lblSoftwareBuiltOn.Caption = "Build date: <not applicable>";
    lblFileCreatedOn.Caption = "File Last Updated: <none selected>";
    lblSoftwareVersion.Caption = "Version: <unknown>";
    lblPackagesIncluded.Caption = "Package included: <no image selected>";
    // The previous package's compatibility must not be read as this one's.
    lblCompatibleHardware.Caption = "Compatible Hardware Versions:";
    lblVendorCompatibility.Caption = "Vendor Compatibility:";
}

bool frmSelectFirmware::refuseWhileDownloading() {
    if (!imagelift_firmware::DownloadRunning()) return false;
    StatusDisplay(imagelift_firmware::kDownloadRunningText, "WARNING");
    return true;
}

void frmSelectFirmware::clickSelectedItem() {
    if (forms::ListItem* item = ListView1.SelectedItem()) ListView1_ItemClick(*item);
}

void frmSelectFirmware::ListView1_ItemClick(forms::ListItem& item) {
    // While a download runs, the buttons stay as the download left them.
    if (refuseWhileDownloading()) return;
    try {
        cmdLoadSelected.Enabled = false;
        cmdLoadConfig.Enabled = false;
        cmdLoadImageAndConfig.Enabled = false;
        cmdViewConfig.Enabled = false;
        held_.Header.Magic = 0;
        ClearFileInfo();

        const std::string name = item.Text();
        lblFilename.Caption = "Filename: " + name;
        if (name.empty()) return;
        const std::string folder = Dir1.Path();
        lblPath.Caption = folder;
        const std::string full = folder + "\\" + name;
        if (!fs::FileExists(std::string_view(full))) return;

        pgbReadFile.Visible = true;
        const std::string remembered = lblStatus.Caption;
        lblStatus.Caption = "Reading File '" + name + "'...";
        Refresh();
        forms::DoEvents();

        lblFileCreatedOn.Caption =
            "File Last Updated: " + basUtils::FormatWinDateTime(fs::GetFileLastWriteTime(full), "yyyy-mm-dd hh:nn:ss");

        basBootloader::ByteArray bytes;
        imagelift_firmware::ReadProgress progress(pgbReadFile);
        const int32_t read = basUtils::ReadFileToByteArray(full, bytes, kHeaderReadLimit, &progress, int32_t(hWnd()));
        lblStatus.Caption = remembered;

        bool shown = false;
        if (read == 1) {
            held_ = basBootloader::ByteArrayToFwpStruct(bytes);
            if (held_.Header.Magic == basBootloader::FwpMagic) {
                const auto& h = held_.Header;
                // The text ends at its first NUL, as a label shows it.
                lblSoftwareInfo.Caption = "Info Text: " + h.InfoText.substr(0, h.InfoText.find('\0'));
                lblFilename.Caption = "Filename: " + name;
                lblPath.Caption = "Path: " + folder;
                lblSoftwareID.Caption = "Software ID: " + vb::CStr(h.SoftwareId) + " (0x" + vb::Hex(h.SoftwareId) + ")";
                lblSoftwareBuiltOn.Caption = imagelift_firmware::BuildDateText(h);
                lblSoftwareVersion.Caption = imagelift_firmware::VersionText(h.SoftwareVersion);
                shown = true;
            }
        }

        if (shown) {
            const auto& h = held_.Header;
            const TargetView target = lookUpTarget(DeviceHandle);
            if (!target.found) {
                lblCompatibleHardware.Caption = "ERROR: Failed to get GUID from device Handle: 0x" + vb::Hex(DeviceHandle);
            } else {
                const bool modelOk = h.HardwareModelId == target.hardwareModelId;
                lblCompatibleHardware.Caption = "version " + vb::CStr(h.HardwareModelId) + " (0x" +
                                                vb::Hex(h.HardwareModelId) + ") is " + (modelOk ? "" : "NOT ") +
                                                "compatible with the device";
                // The device's vendor: the company ID in the first three bytes of its GUID.
                basBootloader::ByteArray guid = target.guid;
                guid.resize(std::max<size_t>(guid.size(), 3), 0);
                const int32_t deviceVendor = basUtils::ByteArrayToLong(guid, 0, 2, true);
                const bool vendorOk = h.VendorId == deviceVendor;
                lblVendorCompatibility.Caption = "vendor ID " + vb::CStr(h.VendorId) + " (0x" + vb::Hex(h.VendorId) +
                                                 ") is " + (vendorOk ? "" : "NOT ") + "compatible with the device";
                const bool compatible = modelOk && vendorOk;
                const bool loadable = target.nodeNumber >= 0 && target.nodeNumber <= 62 && target.bootloaderVersion != 0 &&
                                      (compatible || imagelift::Ctx().OverrideHardwareCompatibility);

                std::string included = "Packages included:";
                if (h.Image1.Length > 0) {
                    included += "  Image1";
                    cmdLoadSelected.Enabled = loadable;
                }
                if (h.Image2.Length > 0) included += "  Image2 (not used)";
                if (h.Cne.Length > 0) {
                    included += "  CNE";
                    cmdLoadConfig.Enabled = loadable;
                    cmdViewConfig.Enabled = true;
                }
                cmdLoadImageAndConfig.Enabled = cmdLoadSelected.Enabled() && cmdLoadConfig.Enabled();
                lblPackagesIncluded.Caption = included;
            }
        }
        pgbReadFile.Visible = false;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ListView1_ItemClick"));
    }
}

void frmSelectFirmware::ListView1_ColumnClick(forms::ColumnHeader& column) {
    try {
        if (!ListView1.Sorted) return;
        const int32_t key = column.Index - 1;
        if (ListView1.SortKey == key) {
            ListView1.SortOrder = ListView1.SortOrder == forms::lvwAscending ? forms::lvwDescending : forms::lvwAscending;
        } else {
            ListView1.SortKey = key;
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ListView1_ColumnClick"));
    }
}

void frmSelectFirmware::ListView1_DblClick() {
    // The default download runs whether or not its button is enabled, but never inside another.
    if (refuseWhileDownloading()) return;
    if (firmwareType_ == basBootloader::kImageBootloader) return;
    switch (GetDefaultDownloadBehavior()) {
    case 1: cmdLoadSelected_Click(); break;
    case 2: cmdLoadConfig_Click(); break;
    case 0: cmdLoadImageAndConfig_Click(); break;
    default: break;
    }
}
