// The download window on the simulated bus: browsing, the package display and its compatibility
// tests, downloads of an application image, configuration data and both (the device's flash
// checked through the bus's control state), the failures, and the guard against a second
// download or a close while one runs.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bootloader/transfer.h"
#include "firmware/crc_window.h"
#include "firmware/download_guard.h"
#include "firmware/memory_viewer.h"
#include "firmware/text_view.h"
#include "windows/open_windows.h"
#include "windows/text_viewer.h"
#include "tests/firmware_fixture.h"
#include "forms/tests/text_fit.h"
#include "registry/registry.h"
#include "support/byte_utils.h"

namespace fwtest {
namespace {

constexpr uint32_t kImageAddress = 0x10000000;

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

// Runs the test's body under a time zone an hour ahead of UTC in January.
class Berlin {
public:
    Berlin() {
        const char* tz = std::getenv("TZ");
        if (tz) old_ = tz;
        had_ = tz != nullptr;
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
    }
    ~Berlin() {
        if (had_) ::setenv("TZ", old_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

class DownloadWindow : public DownloadTest {
protected:
    std::string Guid() {
        const int32_t index = basBootloader::GetTargetIndex(handle_);
        return basUtils::ByteArrayToHexString(basBootloader::State.TargetList[size_t(index)].Info.Guid);
    }
    // The four download buttons: image, configuration, both, view.
    static std::vector<bool> Buttons(frmSelectFirmware& w) {
        return {w.cmdLoadSelected.Enabled(), w.cmdLoadConfig.Enabled(), w.cmdLoadImageAndConfig.Enabled(),
                w.cmdViewConfig.Enabled()};
    }
};

TEST_F(DownloadWindow, BrowsesTheFolderAndShowsEachPackageWithItsCompatibility) {
    Berlin zone;
    const auto app = Image(2500), config = Image(300, 9);
    Write("A.FWP", fwp::PackageBuilder().SoftwareId(1234).InfoText("Test image").Image1(app, kImageAddress).Config(config));
    Write("b.fwp", fwp::PackageBuilder().HardwareModel(461).SoftwareVersion(0xFFFFFF).Config(config));
    Write("m.fwp", fwp::PackageBuilder().SoftwareVersion(0).Vendor(0x123456).Image1(app, kImageAddress));
    std::ofstream(packages_ / "c.bin") << std::string(400, 'x');
    std::ofstream(packages_ / "notes.txt") << "not listed";

    frmSelectFirmware& w = Open(0);
    EXPECT_EQ(w.Caption(), "Select new Application Image for device " + Guid() + "', h/w model ID=460");
    EXPECT_EQ(w.lblStatus.Caption(), "Select new image for Device '" + Guid() + "', H/W model ID=460");
    ASSERT_EQ(w.ListView1.ListItems.Count(), 4);
    std::vector<std::string> names;
    for (int32_t i = 1; i <= 4; ++i) names.push_back(w.ListView1.ListItems.Item(i).Text());
    // Sorted by name from the start, whatever order the folder lists them in.
    EXPECT_EQ(names, (std::vector<std::string>{"A.FWP", "b.fwp", "c.bin", "m.fwp"}));
    EXPECT_EQ(w.FontName(), "Courier New");
    forms::ListItem& first = w.ListView1.ListItems.Item(1);
    EXPECT_TRUE(first.SubItems(1)().ends_with(" (local)")) << first.SubItems(1)();
    EXPECT_EQ(first.SubItems(2)(), "3 kB");  // 352 + 2500 + 300 bytes
    EXPECT_EQ(w.Path, packages_.string() + "\\");

    std::vector<std::string> captions;
    w.lblStatus.Change = [&] { captions.push_back(w.lblStatus.Caption()); };
    Select(w, "A.FWP");
    w.lblStatus.Change = nullptr;
    EXPECT_NE(std::find(captions.begin(), captions.end(), "Reading File 'A.FWP'..."), captions.end());
    EXPECT_EQ(w.lblFilename.Caption(), "Filename: A.FWP");
    EXPECT_EQ(w.lblPath.Caption(), "Path: " + packages_.string());
    EXPECT_EQ(w.lblPath.ToolTipText(), w.lblPath.Caption());
    EXPECT_EQ(w.lblSoftwareInfo.Caption(), "Info Text: Test image");
    EXPECT_EQ(w.lblSoftwareID.Caption(), "Software ID: 1234 (0x4D2)");
    EXPECT_EQ(w.lblSoftwareBuiltOn.Caption(), "Build date: 2026-01-05 12:00:00 utc / 13:00:00(local)");
    EXPECT_EQ(w.lblSoftwareVersion.Caption(), "Version: 16777216 (0x1000000)");
    EXPECT_EQ(w.lblCompatibleHardware.Caption(), "version 460 (0x1CC) is compatible with the device");
    EXPECT_EQ(w.lblVendorCompatibility.Caption(), "vendor ID 670846 (0xA3C7E) is compatible with the device");
    EXPECT_EQ(w.lblPackagesIncluded.Caption(), "Packages included:  Image1  CNE");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{true, true, true, true}));
    SavePicture(w, "download_window");

    // Another model: no download unless the override is on; the configuration can still be viewed.
    Select(w, "b.fwp");
    EXPECT_EQ(w.lblCompatibleHardware.Caption(), "version 461 (0x1CD) is NOT compatible with the device");
    EXPECT_EQ(w.lblSoftwareVersion.Caption(), "Version: 16777215 (0xFFFFFF) - private build");
    EXPECT_EQ(w.lblPackagesIncluded.Caption(), "Packages included:  CNE");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{false, false, false, true}));
    ctx_.OverrideHardwareCompatibility = true;
    Select(w, "b.fwp");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{false, true, false, true}));
    ctx_.OverrideHardwareCompatibility = false;

    // Another maker: not compatible either.
    Select(w, "m.fwp");
    EXPECT_EQ(w.lblVendorCompatibility.Caption(), "vendor ID 1193046 (0x123456) is NOT compatible with the device");
    EXPECT_EQ(w.lblSoftwareVersion.Caption(), "Version: 0 (0x0) - missing information");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{false, false, false, false}));

    // Not a package: its name, folder and file time; everything else as reset.
    Select(w, "c.bin");
    EXPECT_EQ(w.lblFilename.Caption(), "Filename: c.bin");
    EXPECT_EQ(w.lblPath.Caption(), packages_.string());
    EXPECT_TRUE(StartsWith(w.lblFileCreatedOn.Caption(), "File Last Updated: 20"));
    EXPECT_EQ(w.lblSoftwareID.Caption(), "Software ID: <unknown>");
    EXPECT_EQ(w.lblPackagesIncluded.Caption(), "Package included: <no image selected>");
    // The previous package's compatibility is gone with the rest.
    EXPECT_EQ(w.lblCompatibleHardware.Caption(), "Compatible Hardware Versions:");
    EXPECT_EQ(w.lblVendorCompatibility.Caption(), "Vendor Compatibility:");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{false, false, false, false}));

    // A click on the sort column turns the order; a click on another sorts by it, in that order.
    const auto listed = [&] {
        std::vector<std::string> texts;
        for (int32_t i = 1; i <= w.ListView1.ListItems.Count(); ++i) texts.push_back(w.ListView1.ListItems.Item(i).Text());
        return texts;
    };
    w.ListView1_ColumnClick(w.ListView1.ColumnHeaders.Item(1));
    EXPECT_EQ(listed(), (std::vector<std::string>{"m.fwp", "c.bin", "b.fwp", "A.FWP"}));
    w.ListView1_ColumnClick(w.ListView1.ColumnHeaders.Item(3));
    EXPECT_EQ(w.ListView1.SortKey(), 2);
    EXPECT_EQ(w.ListView1.SortOrder(), forms::lvwDescending);
    w.ListView1_ColumnClick(w.ListView1.ColumnHeaders.Item(1));
    w.ListView1_ColumnClick(w.ListView1.ColumnHeaders.Item(1));
    EXPECT_EQ(listed(), (std::vector<std::string>{"A.FWP", "b.fwp", "c.bin", "m.fwp"}));
}

TEST_F(DownloadWindow, TheButtonCaptionsAndTheListFitAtTheScaleOfTheFontInUse) {
    // The desktop's scale: the window's twips hold the text of the font in use.
    forms::FixedScreen desktop{1600, 1200, forms::DesktopTwipsPerPixelX(), forms::DesktopTwipsPerPixelY()};
    forms::SetScreen(&desktop);
    struct Restore {
        forms::FixedScreen& screen;
        ~Restore() { forms::SetScreen(&screen); }
    } restore{screen_};
    // Names of the usual length, and sizes up to five digits of kB.
    Write("A.FWP", fwp::PackageBuilder().Image1(Image(2500), kImageAddress).Config(Image(300, 9)));
    Write("Config_Image.fwp", fwp::PackageBuilder().Config(Image(300, 9)));
    std::ofstream(packages_ / "boot.bin") << std::string(400, 'x');
    std::ofstream(packages_ / "flash_dump.bin").close();
    std::filesystem::resize_file(packages_ / "flash_dump.bin", 99'999'999);
    frmSelectFirmware& w = Open(0);
    ASSERT_EQ(w.ListView1.ListItems.Count(), 4);
    Select(w, "A.FWP");
    for (const forms::CommandButton* button : {&w.cmdLoadSelected, &w.cmdLoadConfig, &w.cmdLoadImageAndConfig,
                                               &w.cmdViewConfig, &w.cmdPreferences, &w.cmdClose})
        EXPECT_TRUE(formstest::CaptionFits(*button));
    // Every name, date and size stands whole, also once the window is made wider.
    EXPECT_TRUE(formstest::ItemsFit(w.ListView1));
    SavePicture(w, "download_window_desktop_scale");
    w.Width = w.Width() * 1.2;
    forms::DoEvents();
    EXPECT_TRUE(formstest::ItemsFit(w.ListView1));
    w.Unload();
}

TEST_F(DownloadWindow, AHandleWithoutTargetEnablesNothingAndTheMainWindowWaitsForTheFirstClose) {
    Write("app.fwp", fwp::PackageBuilder().Image1(Image(100), kImageAddress));
    frmSelectFirmware& w = Open(0, 9999);
    frmSelectFirmware& other = Open(3);
    EXPECT_EQ(other.Caption(), "Select new Bootloader Image for device " + Guid() + "', h/w model ID=460");
    EXPECT_FALSE(frame_->MainWindow()->Enabled());

    EXPECT_EQ(w.lblStatus.Caption(), "PROGRAM ERROR: Invalid Device Handle: 0x270F");
    Select(w, "app.fwp");
    EXPECT_EQ(w.lblCompatibleHardware.Caption(), "ERROR: Failed to get GUID from device Handle: 0x270F");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{false, false, false, false}));

    // The first window to close enables the main window again.
    EXPECT_TRUE(w.Unload());
    EXPECT_TRUE(frame_->MainWindow()->Enabled());
}

TEST_F(DownloadWindow, ListsTheFolderAtLoadWhenTheSavedOneIsCurrentOrMissing) {
    Write("app.fwp", fwp::PackageBuilder().Image1(Image(100), kImageAddress));
    const fsys::path cwd = fsys::current_path();
    fsys::current_path(packages_);
    for (const std::string& saved : {packages_.string(), (fsys::path(root_) / "gone").string()}) {
        registry::SaveSetting("Imagelift", "Global", "DefaultFirmwarePath", saved);
        const int32_t slot = frame_->CreateDownloadWindow("frmSelectFirmware");
        ASSERT_GE(slot, 0);
        frmSelectFirmware& w = *basApp::DownloadWindows[size_t(slot)];
        EXPECT_EQ(w.ListView1.ListItems.Count(), 1) << saved;
        EXPECT_EQ(w.Dir1.Path(), packages_.string());
        w.Unload();
    }
    fsys::current_path(cwd);
    // The folder of the last window is kept for the next.
    EXPECT_EQ(registry::GetSetting("Imagelift", "Global", "DefaultFirmwarePath", ""), packages_.string());
}

TEST_F(DownloadWindow, DownloadsTheImageTheConfigurationAndBothIntoTheDevice) {
    const auto app = Image(2500), config = Image(300, 9);
    Write("app.fwp", fwp::PackageBuilder().Image1(app, kImageAddress).Config(config));
    frmSelectFirmware& w = Open(0);
    Select(w, "app.fwp");
    // The main window's rescan would take up the request at once: it stays to be seen here.
    frame_->MainWindow()->tmrBusReset.Enabled = false;

    // A 2500-byte image goes as 1024, 1024 and 452 bytes.
    w.cmdLoadSelected_Click();
    const std::string done = w.lblStatus.Caption();
    EXPECT_TRUE(StartsWith(done, "Successfully loaded new Application Image 'app.fwp' onto target at ")) << done;
    // Elapsed time on the manual clock may be 0: the rate is still a number.
    const double rate = std::atof(done.substr(done.rfind(" at ") + 4).c_str());
    EXPECT_TRUE(std::isfinite(rate) && rate > 0) << done;
    EXPECT_TRUE(done.ends_with(" kB/sec."));
    EXPECT_TRUE(bas1394::State.BusResetPending.load());
    nlohmann::json slot = Slot(0);
    EXPECT_EQ(slot["length"], 2500);
    EXPECT_EQ(slot["crc32"], Crc(app));
    EXPECT_EQ(slot["valid"], true);
    EXPECT_EQ(slot["load_address"], "0x10000000");
    EXPECT_EQ(Buttons(w), (std::vector<bool>{true, true, true, true}));  // back after the download
    EXPECT_TRUE(w.cmdClose.Enabled());
    EXPECT_FALSE(imagelift_firmware::DownloadRunning());
    EXPECT_FALSE(ctx_.DownloadInProgress);
    // The window's own procedure: its bar repaints at most every 100 ms, yet ends where the last
    // block began (the command above reads the package again afterwards, which moves the bar).
    ASSERT_EQ(w.DownloadImage(basBootloader::kImageApplication, w.Dir1.Path(), "app.fwp"), 1);
    EXPECT_DOUBLE_EQ(w.pgbReadFile.Value(), 2048.0 / basBootloader::kTransferProgressUnit);

    // Configuration data goes to address 0 of its own area.
    bas1394::State.BusResetPending = false;
    w.cmdLoadConfig_Click();
    EXPECT_TRUE(StartsWith(w.lblStatus.Caption(), "Successfully loaded new Config Data 'app.fwp' onto target at "));
    slot = Slot(1);
    EXPECT_EQ(slot["length"], 300);
    EXPECT_EQ(slot["crc32"], Crc(config));
    EXPECT_EQ(slot["valid"], true);
    EXPECT_EQ(slot["load_address"], "0x00000000");
    EXPECT_TRUE(Logged("Beginning Configuration Download from file 'app.fwp' to target..."));

    // Both, from another package.
    const auto app2 = Image(5000, 3), config2 = Image(64, 4);
    Write("both.fwp", fwp::PackageBuilder().Image1(app2, kImageAddress).Config(config2));
    w.Dir1_Change();
    Select(w, "both.fwp");
    w.cmdLoadImageAndConfig_Click();
    EXPECT_EQ(w.lblStatus.Caption(),
              "Successfully loaded new application and CNE (configuration data) from 'both.fwp' onto target.");
    EXPECT_EQ(Slot(0)["crc32"], Crc(app2));
    EXPECT_EQ(Slot(1)["crc32"], Crc(config2));
    EXPECT_EQ(Slot(1)["valid"], true);
}

TEST_F(DownloadWindow, ADoubleClickRunsTheDefaultDownloadExceptInABootloaderWindow) {
    const auto config = Image(200, 5);
    Write("cfg.fwp", fwp::PackageBuilder().HardwareModel(460).Config(config));
    ctx_.DbManager->SetDefaultDownloadBehavior(2);
    frmSelectFirmware& boot = Open(3);
    Select(boot, "cfg.fwp");
    boot.ListView1_DblClick();
    EXPECT_EQ(Slot(1)["length"], 0);

    frmSelectFirmware& w = Open(0);
    Select(w, "cfg.fwp");
    w.ListView1_DblClick();
    EXPECT_EQ(Slot(1)["crc32"], Crc(config));
}

TEST_F(DownloadWindow, ACrcTheTargetRejectsFailsTheDownload) {
    Write("bad.fwp", fwp::PackageBuilder().Image1(Image(1500), kImageAddress).WrongCrc(fwp::Record::Image1));
    frmSelectFirmware& w = Open(0);
    frame_->MainWindow()->tmrBusReset.Enabled = false;
    Select(w, "bad.fwp");
    w.cmdLoadSelected_Click();
    EXPECT_TRUE(Logged("CRC failure in Image Load process (CRC=0x"));
    EXPECT_TRUE(Logged("Load new Application Image operation failed."));
    EXPECT_EQ(w.lblStatus.Caption(), "cmdLoadSelected failure: Download Image call failed, code -1");
    EXPECT_FALSE(bas1394::State.BusResetPending.load());
    EXPECT_EQ(Slot(0)["valid"], false);
}

TEST_F(DownloadWindow, AnotherModelIsRefusedOrConfirmedAsTheOverrideSays) {
    const auto app = Image(700);
    Write("other.fwp", fwp::PackageBuilder().HardwareModel(461).Image1(app, kImageAddress));
    frmSelectFirmware& w = Open(0);
    Select(w, "other.fwp");
    const nlohmann::json before = Slot(0);

    // Without the override: the warning, and nothing reaches the device.
    boxes_.AnswerMessage(forms::vbOK);
    w.cmdLoadSelected_Click();
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].title, "Incompatible Image");
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbOKOnly);
    EXPECT_TRUE(StartsWith(boxes_.asked()[0].prompt,
                           "The selected FWP file indicates hardware compatibility with Model ID 461 (0x1CD).  \r\n"
                           "The selected hardware indicates a Model ID of 460.  \r\nThis FWP file is not intended"));
    EXPECT_TRUE(Logged("Operation aborted due to hardware incompatibility"));
    EXPECT_EQ(Slot(0), before);

    // With it: No sends nothing, Yes downloads.
    ctx_.OverrideHardwareCompatibility = true;
    boxes_.AnswerMessage(forms::vbNo);
    w.cmdLoadSelected_Click();
    EXPECT_EQ(boxes_.asked().back().buttons, forms::vbYesNo);
    EXPECT_TRUE(boxes_.asked().back().prompt.ends_with("Are you sure you want to continue?"));
    EXPECT_EQ(Slot(0), before);
    boxes_.AnswerMessage(forms::vbYes);
    w.cmdLoadSelected_Click();
    EXPECT_EQ(Slot(0)["crc32"], Crc(app));
    EXPECT_EQ(boxes_.unscripted(), 0);
}

TEST_F(DownloadWindow, AnImageRecordOutsideTheFileIsRefusedBeforeTheDeviceIsTouched) {
    const auto good = Image(1200);
    Write("good.fwp", fwp::PackageBuilder().Image1(good, kImageAddress));
    Write("past.fwp", fwp::PackageBuilder().Image1(Image(1200, 2), kImageAddress).PastEnd(fwp::Record::Image1, 10));
    Write("negative.fwp", fwp::PackageBuilder().Image1(Image(1200, 3), kImageAddress).NegativeOffset(fwp::Record::Image1));
    Write("negative-length.fwp", fwp::PackageBuilder().Config(Image(300, 4)).Length(fwp::Record::Image1, -5));
    frmSelectFirmware& w = Open(0);
    Select(w, "good.fwp");
    w.cmdLoadSelected_Click();
    const nlohmann::json loaded = Slot(0);
    ASSERT_EQ(loaded["crc32"], Crc(good));

    // A download start would erase the good image: the device must still hold it.
    for (const char* name : {"past.fwp", "negative.fwp"}) {
        Select(w, name);
        w.cmdLoadSelected_Click();
        EXPECT_EQ(w.lblStatus.Caption(), "cmdLoadSelected failure: Download Image call failed, code -1") << name;
        EXPECT_EQ(Slot(0), loaded) << name;
    }
    EXPECT_EQ(status_.Count("runs outside the file"), 2);

    // A record of length 0 or less holds no image, whatever else it says: a package whose
    // application record has a negative length is configuration data alone, and "Load Config
    // Only" sends it; so does a bootloader package whose configuration record is all 0xFF.
    Select(w, "negative-length.fwp");
    w.cmdLoadConfig_Click();
    EXPECT_EQ(Slot(1)["crc32"], Crc(Image(300, 4)));
    EXPECT_EQ(Slot(0), loaded);
    const auto boot = Image(900, 6);
    Write("boot.fwp", fwp::PackageBuilder().Image1(boot, 0).AllOnes(fwp::Record::Config));
    frmSelectFirmware& bootWindow = Open(3);
    Select(bootWindow, "boot.fwp");
    bootWindow.cmdLoadSelected_Click();
    EXPECT_EQ(Slot(3)["crc32"], Crc(boot));
    EXPECT_EQ(status_.Count("Nothing was sent to the target."), 2) << "only past.fwp and negative.fwp";
}

// The window's own block loop on its failure paths, the device misbehaving on purpose: the
// captions the window shows on the way, the outcome, and whether the end command closed the
// device's download session (a session left open means no end command came).
TEST_F(DownloadWindow, TheBlockLoopRetriesEachBlockTwiceAndAlwaysEndsTheTransfer) {
    const auto app = Image(2500);
    Write("app.fwp", fwp::PackageBuilder().Image1(app, kImageAddress));
    Write("cfg.fwp", fwp::PackageBuilder().Config(Image(100, 5)));
    frmSelectFirmware& w = Open(0);
    frame_->MainWindow()->tmrBusReset.Enabled = false;
    std::vector<std::string> captions;
    w.lblStatus.Change = [&] { captions.push_back(w.lblStatus.Caption()); };
    const std::string writeFailed =
        "DownloadImage ERROR: Failed to write data to flash on target.  basBootloader.DownloadBlock returned code -3 "
        "for block at address 0x10000000.";
    struct Case {
        const char* why;
        const char* file;
        nlohmann::json device;  // the device's faults and timing for this case
        int32_t result;
        int writeFailures;       // failed blocks logged
        bool stored;             // the image is in the device's flash, valid
        std::vector<std::string> shown;  // captions shown, in this order
    };
    const Case cases[] = {
        {"two failed blocks, then success", "app.fwp", {{"device_faults", {{"flash_write_failures", 2}}}}, 1, 2, true,
         {"Successfully loaded new Application Image 'app.fwp' onto target at "}},
        {"the third failure of a block ends the transfer", "app.fwp", {{"device_faults", {{"flash_write_failures", 3}}}}, -1,
         3, false, {"Load new Application Image operation failed."}},
        // The device finishes its check and stores the image, but answers after the window gave up.
        {"a failed download end", "app.fwp", {{"timing", {{"verify_time_ms", 200000}}}}, -1, 0, true,
         {"Download end command failed while loading 'app.fwp' onto target.",
          "Load new Application Image operation failed."}},
        {"a package without an image sends nothing", "cfg.fwp", nlohmann::json::object(), -1, 0, false,
         {"DownloadImage: 'cfg.fwp' contains no image.  Exiting..."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        Control({{"cmd", "device"}, {"id", "lumarel460"},
                 {"device_faults", {{"flash_write_failures", 0}}}, {"timing", {{"verify_time_ms", 0}}}});
        nlohmann::json command = c.device;
        command["cmd"] = "device";
        command["id"] = "lumarel460";
        Control(command);
        Control({{"cmd", "device"}, {"id", "lumarel460"}, {"corrupt_slot", 0}});
        captions.clear();
        status_.lines.clear();

        EXPECT_EQ(w.DownloadImage(0, packages_.string(), c.file), c.result);
        const auto logged = status_.Messages("frmSelectFirmware");
        EXPECT_EQ(std::count(logged.begin(), logged.end(), writeFailed), c.writeFailures);
        size_t at = 0;
        for (const std::string& part : c.shown) {
            while (at < captions.size() && captions[at].find(part) == std::string::npos) ++at;
            EXPECT_LT(at, captions.size()) << "not shown: " << part;
            ++at;
        }
        const nlohmann::json slot = Slot(0);
        EXPECT_EQ(slot["valid"] == true, c.stored) << slot.dump();
        if (c.stored) {
            EXPECT_EQ(slot["crc32"], Crc(app));
        }
        // The device's download session: closed by the end command, or never opened.
        const nlohmann::json state = Control({{"cmd", "state"}});
        for (const auto& node : state["nodes"]) {
            if (node.contains("state")) {
                EXPECT_FALSE(node["state"].contains("download")) << node["state"].dump();
            }
        }
        EXPECT_FALSE(ctx_.DownloadInProgress);
    }
}

TEST_F(DownloadWindow, AFailedDownloadStartSendsNoBlockAndNoEnd) {
    Write("app.fwp", fwp::PackageBuilder().Image1(Image(2500), kImageAddress));
    frmSelectFirmware& w = Open(0);
    frame_->MainWindow()->tmrBusReset.Enabled = false;
    std::vector<std::string> captions;
    w.lblStatus.Change = [&] { captions.push_back(w.lblStatus.Caption()); };
    // The erase takes longer than the start command waits.
    Control({{"cmd", "device"}, {"id", "lumarel460"}, {"timing", {{"erase_time_ms", 120000}}}});
    EXPECT_EQ(w.DownloadImage(0, packages_.string(), "app.fwp"), -1);
    ASSERT_FALSE(captions.empty());
    EXPECT_TRUE(StartsWith(captions.back(), "cmdLoadSelected failed: DownloadStart command failed, code ")) << captions.back();
    for (const auto& caption : captions) EXPECT_FALSE(StartsWith(caption, "Loading new Application Image from '"));
    // The device opened its session for the late start, and no block came into it.
    const nlohmann::json state = Control({{"cmd", "state"}});
    for (const auto& node : state["nodes"]) {
        if (node.contains("state") && node["state"].contains("download")) {
            EXPECT_EQ(node["state"]["download"]["received"], 0);
        }
    }
    EXPECT_FALSE(ctx_.DownloadInProgress);
}

// A device whose download start offers blocks of no bytes.
class DownloadWindowWithoutBlocks : public DownloadWindow {
protected:
    void SetUp() override {
        description_ = std::filesystem::temp_directory_path() / ("no-blocks-" + std::to_string(::getpid()) + ".json");
        std::ofstream(description_) << R"({"nodes": [{"id": "host", "kind": "host"},
            {"id": "lumarel460", "kind": "lumarel460", "mode": "bootloader", "max_block_size": 0}]})";
        busDescription_ = description_.string();
        DownloadWindow::SetUp();
    }
    void TearDown() override {
        DownloadWindow::TearDown();
        std::filesystem::remove(description_);
    }
    std::filesystem::path description_;
};

// The bootloader layer refuses the start answer itself, so the window reports a failed start.
TEST_F(DownloadWindowWithoutBlocks, ABlockSizeBelowOneFailsBeforeAnyBlock) {
    Write("app.fwp", fwp::PackageBuilder().Image1(Image(2500), kImageAddress));
    frmSelectFirmware& w = Open(0);
    frame_->MainWindow()->tmrBusReset.Enabled = false;
    EXPECT_EQ(w.DownloadImage(0, packages_.string(), "app.fwp"), -1);
    EXPECT_EQ(w.lblStatus.Caption(), "cmdLoadSelected failed: DownloadStart command failed, code -1");
    EXPECT_TRUE(Logged("Bootloader returned invalid parameter to DownloadStart command!"));
    // The session stands open with nothing in it: no block and no end command were sent.
    bool open = false;
    const nlohmann::json state = Control({{"cmd", "state"}});
    for (const auto& node : state["nodes"]) {
        if (!node.contains("state") || !node["state"].contains("download")) continue;
        open = true;
        EXPECT_EQ(node["state"]["download"]["received"], 0);
    }
    EXPECT_TRUE(open);
    EXPECT_FALSE(ctx_.DownloadInProgress);
}

TEST_F(DownloadWindow, NoSecondDownloadAndNoCloseWhileADownloadRuns) {
    const auto app = Image(3000), config = Image(100, 7);
    Write("app.fwp", fwp::PackageBuilder().Image1(app, kImageAddress).Config(config));
    frmSelectFirmware& w = Open(0);
    frmSelectFirmware& other = Open(0);
    Select(w, "app.fwp");
    Select(other, "app.fwp");

    // While the download lets window messages run, everything a user could click arrives.
    bool ran = false, windowClosed = true, frameClosed = true, closeEnabled = true;
    QTimer::singleShot(0, [&] {
        ran = true;
        EXPECT_TRUE(imagelift_firmware::DownloadRunning());
        other.cmdLoadConfig_Click();
        other.ListView1_DblClick();
        w.ListView1_DblClick();
        Select(w, "app.fwp");  // an item click would enable the buttons again
        closeEnabled = w.cmdClose.Enabled();
        windowClosed = w.Unload() || !w.IsLoaded();
        frameClosed = frame_->Unload() || !frame_->IsLoaded();
    });
    w.cmdLoadSelected_Click();

    ASSERT_TRUE(ran);
    EXPECT_FALSE(closeEnabled);
    EXPECT_FALSE(windowClosed);
    EXPECT_FALSE(frameClosed);
    EXPECT_TRUE(frame_->IsLoaded());
    EXPECT_EQ(other.lblStatus.Caption(), imagelift_firmware::kDownloadRunningText);
    EXPECT_EQ(Slot(1)["length"], 0);  // no configuration went in the middle
    EXPECT_EQ(Slot(0)["crc32"], Crc(app));
    EXPECT_EQ(Slot(0)["valid"], true);
    EXPECT_TRUE(Logged("cannot close while"));

    // Once it has ended, the window closes.
    EXPECT_TRUE(w.Unload());
}

TEST_F(DownloadWindow, ViewConfigShowsTheConfigurationDataAsDumpAndAsText) {
    const std::string text = std::string("[Audio\0Rate\0" "48000\0]\0", 20);
    const std::vector<uint8_t> config(text.begin(), text.end());
    const auto app = Image(16);
    Write("cfg.fwp", fwp::PackageBuilder().Image1(app, kImageAddress).Config(config));
    frmSelectFirmware& w = Open(0);
    Select(w, "cfg.fwp");
    w.cmdViewConfig_Click();

    // The program's text viewer shows the text.
    ASSERT_FALSE(basApp::OpenWindows().empty());
    auto* textViewer = dynamic_cast<frmConfig*>(basApp::OpenWindows().back().get());
    ASSERT_NE(textViewer, nullptr);
    EXPECT_EQ(textViewer->Caption(), "Config (CNE) data from 'cfg.fwp'");
    EXPECT_EQ(textViewer->RTB1.Text(), "+Audio\r\n  | Rate=48000\r\n");
    textViewer->Unload();
    ASSERT_GE(basApp::MemoryWindows.size(), 1u);
    frmViewMemory* viewer = basApp::MemoryWindows[0].get();
    ASSERT_NE(viewer, nullptr);
    EXPECT_EQ(viewer->Caption(), "View Memory - CNE data from 'cfg.fwp'");
    // The configuration data follows the header and the 16-byte image in the file.
    EXPECT_EQ(viewer->BaseAddress(), 352 + 16);
    EXPECT_EQ(viewer->ByteData(), config);
    EXPECT_TRUE(StartsWith(viewer->txtNodeMemory.Text(), "0x170: 5B 41 75 64 "));
    SavePicture(*viewer, "memory_viewer");
}

TEST_F(DownloadWindow, TheCrcWindowShowsTheTargetsVerdictOnEachImage) {
    const auto app = Image(2000), config = Image(120, 6);
    Write("app.fwp", fwp::PackageBuilder().Image1(app, kImageAddress).Config(config));
    frmSelectFirmware& w = Open(0);
    Select(w, "app.fwp");
    w.cmdLoadImageAndConfig_Click();
    Control({{"cmd", "device"}, {"id", "lumarel460"}, {"corrupt_slot", 1}});

    frmCRCs crcs;
    crcs.Load();
    crcs.hDevice(handle_);
    crcs.txtDeviceDetails.Text = "Lumarel 460 in its bootloader";
    // The bootloader and debugger slots of this device are empty: no image matches its CRC.
    EXPECT_EQ(crcs.lblBootloaderCRC.Caption(), "  Bootloader: Invalid CRC indicated by target");
    EXPECT_EQ(crcs.lblApplicationCRC.Caption(), " Application: CRC ok!  " + Crc(app));
    EXPECT_EQ(crcs.lblCNE_CRC.Caption(), "Config (CNE): Invalid CRC indicated by target");
    EXPECT_EQ(crcs.lblDebuggerCRC.Caption(), "    Debugger: Invalid CRC indicated by target");
    crcs.Show();
    SavePicture(crcs, "crc_window");
    crcs.Unload();

    frmCRCs none;
    none.Load();
    none.hDevice(0);
    EXPECT_EQ(none.lblBootloaderCRC.Caption(), "  Bootloader CRC: <failed to read>");
    EXPECT_EQ(none.lblApplicationCRC.Caption(), " Application CRC: <failed to read>");
    EXPECT_EQ(none.lblCNE_CRC.Caption(), "Config (CNE) CRC: <failed to read>");
    EXPECT_EQ(none.lblDebuggerCRC.Caption(), "    Debugger CRC: <failed to read>");
    none.Unload();
}

TEST_F(DownloadWindow, TheShellWindowsCrcCommandShowsTheVerdictsInAModalDialog) {
    std::vector<std::string> shown;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (!w->isVisible() || w->windowTitle() != "Firmware Image CRCs on Device") continue;
            for (QLabel* label : w->findChildren<QLabel*>()) shown.push_back(label->text().toStdString());
            w->close();
        }
    });
    imagelift_firmware::ShowFirmwareCrcs(handle_, "Lumarel 460 in its bootloader");
    // The CRCs were read before the dialog showed: the empty bootloader slot has its verdict.
    EXPECT_NE(std::find(shown.begin(), shown.end(), "  Bootloader: Invalid CRC indicated by target"), shown.end());
}

}  // namespace
}  // namespace fwtest
