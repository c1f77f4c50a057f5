// frmSelectFirmware: the download window, an MDI child bound to one device handle and one image
// type. The user walks drives and folders, the list shows the package files (".fwp", then
// ".bin") of the folder, a click on one reads its header and shows whether it suits the device,
// and the command buttons download its application image, its configuration data or both.
//
// The main window's update command has the frame create and load it (CreateDownloadWindow),
// then sets FirmwareType and hDevice and shows it. While any download window is loaded the
// main window is disabled (the first one to unload enables it again).
//
// Downloads: one at a time in the whole program. The window lets window messages run while it
// reads files and while blocks go out, so clicks and timers run in the middle of a download; the
// program-wide download guard (download_guard.h) makes every download command, double-click and
// item click refuse while a download runs, and the window (and the frame) refuse to close then.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bootloader/records.h"
#include "forms/controls.h"
#include "forms/file_controls.h"
#include "forms/form.h"
#include "forms/views.h"
#include "support/debug_log.h"

class clsLayoutManager;

class frmSelectFirmware : public forms::Form {
public:
    frmSelectFirmware();
    ~frmSelectFirmware() override;

    // ------------------------------------------------------------ controls (tab order)
    forms::Frame fraFileFinder{this, "fraFileFinder"};
    forms::DriveListBox Drive1{&fraFileFinder, "Drive1"};
    forms::DirListBox Dir1{&fraFileFinder, "Dir1"};
    forms::ListView ListView1{&fraFileFinder, "ListView1"};

    forms::Frame fraImageProperties{this, "fraImageProperties"};
    forms::Label lblPath{&fraImageProperties, "lblPath"};
    forms::Label lblFilename{&fraImageProperties, "lblFilename"};
    forms::Label lblSoftwareInfo{&fraImageProperties, "lblSoftwareInfo"};
    forms::Label lblSoftwareID{&fraImageProperties, "lblSoftwareID"};
    forms::Label lblSoftwareBuiltOn{&fraImageProperties, "lblSoftwareBuiltOn"};
    forms::Label lblFileCreatedOn{&fraImageProperties, "lblFileCreatedOn"};
    forms::Label lblSoftwareVersion{&fraImageProperties, "lblSoftwareVersion"};
    forms::Label lblCompatibleHardware{&fraImageProperties, "lblCompatibleHardware"};
    forms::Label lblVendorCompatibility{&fraImageProperties, "lblVendorCompatibility"};
    forms::Label lblPackagesIncluded{&fraImageProperties, "lblPackagesIncluded"};

    forms::Frame fraStatus{this, "fraStatus"};
    forms::Label lblStatus{&fraStatus, "lblStatus"};
    forms::ProgressBar pgbReadFile{&fraStatus, "pgbReadFile"};

    forms::Frame fraDownloadControls{this, "fraDownloadControls"};
    forms::Frame fraCommandSet{&fraDownloadControls, "fraCommandSet"};
    forms::CommandButton cmdLoadSelected{&fraCommandSet, "cmdLoadSelected"};
    forms::CommandButton cmdLoadConfig{&fraCommandSet, "cmdLoadConfig"};
    forms::CommandButton cmdLoadImageAndConfig{&fraCommandSet, "cmdLoadImageAndConfig"};
    forms::CommandButton cmdViewConfig{&fraCommandSet, "cmdViewConfig"};
    forms::CommandButton cmdPreferences{&fraCommandSet, "cmdPreferences"};
    forms::CommandButton cmdClose{&fraCommandSet, "cmdClose"};

    // ------------------------------------------------------------ public members
    int32_t WindowIndex = 0;
    std::string SelectedFile;
    // The folder listed last, always ending in "\".
    std::string Path;
    // The device handle behind hDevice.
    int32_t DeviceHandle = 0;

    // 1 image only, 2 configuration data only, 0 both: what a double-click downloads.
    int32_t SetDefaultDownloadBehavior(int16_t DownloadType);
    int16_t GetDefaultDownloadBehavior();
    // 0 "Application", 1 "Config", 2 "Debugger", 3 "Bootloader", else "Invalid".
    static std::string FirmwareImageTypeLookup(int32_t newtype);

    int32_t FirmwareType() const { return firmwareType_; }
    void FirmwareType(int32_t newtype);
    int32_t hDevice() const { return DeviceHandle; }
    void hDevice(int32_t NewDeviceHandle);

    // ------------------------------------------------------------ handlers
    void Dir1_Change();
    void Drive1_Change();
    void ListView1_ItemClick(forms::ListItem& item);
    void ListView1_DblClick();
    void ListView1_ColumnClick(forms::ColumnHeader& column);
    void cmdLoadSelected_Click();
    void cmdLoadConfig_Click();
    void cmdLoadImageAndConfig_Click();
    void cmdViewConfig_Click();
    void cmdPreferences_Click();
    void cmdClose_Click();

    // The window's download procedure: one image of the package `file` in `folder` into the
    // window's device. 1 success, -1 failure.
    int32_t DownloadImage(int32_t imageType, const std::string& folder, const std::string& file);
    // The whole package (trimmed folder, "\" appended); an empty package when it cannot be
    // read or is not a package.
    basBootloader::FwpStruct LoadFWP(std::string& folder, const std::string& file);

    // True while this window runs a download.
    bool Downloading() const { return downloading_; }

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) override;
    void Form_Unload(int32_t& Cancel) override;
    void Form_Resize() override;

private:
    // What a running download's transfer shows in this window.
    class TransferView;

    void StatusDisplay(const std::string& message, const basDebug::LevelArg& level = {});
    void ClearFileInfo();
    // Runs the item click for the selected item, when there is one.
    void clickSelectedItem();
    // Sizes the package list's columns to the list and to the texts they show.
    void sizeColumns();
    // The download commands' frame: the steps every command shares around its downloads.
    void runDownloadCommand(const char* procedure, const std::string& startText, bool downloadingText,
                            const std::string& failureText, int32_t (frmSelectFirmware::*downloads)(const std::string&));
    int32_t downloadSelected(const std::string& file);
    int32_t downloadConfig(const std::string& file);
    int32_t downloadImageAndConfig(const std::string& file);
    // True (after telling the user) when a download runs somewhere in the program.
    bool refuseWhileDownloading();

    int32_t firmwareType_ = -1;
    basBootloader::FwpStruct held_;
    std::unique_ptr<clsLayoutManager> layout_;
    bool loading_ = false;
    bool fitted_ = false;
    bool downloading_ = false;
};
