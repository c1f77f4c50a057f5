// The memory viewer, the preferences dialog and the about box, and the texts the windows build.
#include <sys/stat.h>
#include <utime.h>

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <fstream>

#include "firmware/about_box.h"
#include "firmware/memory_viewer.h"
#include "firmware/package_texts.h"
#include "firmware/preferences.h"
#include "tests/firmware_fixture.h"

namespace fwtest {
namespace {

using basBootloader::ByteArray;
using WindowsFixture = WindowsTest;

TEST(PackageTexts, ConfigurationDataAsIndentedText) {
    struct Case {
        std::string bytes, text;
    } cases[] = {
        {std::string("[Audio\0Rate\0" "48000\0]\0", 20), "+Audio\r\n  | Rate=48000\r\n"},
        // Nested groups: each level adds one "| "; the inner group's end leaves the outer one's
        // line start behind.
        {std::string("[Dev\0Name\0A\0[Ch\0Gain\0" "3\0]\0]\0", 27),
         "+Dev\r\n  | Name=A\r\n  | +Ch\r\n  | | Gain=3\r\n  | \r\n"},
        // A closing bracket without its group only goes; outside a group lines stay lines.
        {std::string("x\0y\0]\0", 6), "x\r\ny\r\n"},
        {"", ""},
    };
    for (const auto& c : cases) {
        const ByteArray bytes(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(imagelift_firmware::ConfigDataText(bytes), c.text) << c.text;
    }
}

TEST(PackageTexts, SizesVersionsRatesAndCrcVerdicts) {
    EXPECT_EQ(imagelift_firmware::FileSizeText({2047, 0}), "1 kB");
    EXPECT_EQ(imagelift_firmware::FileSizeText({-1, 0}), "4194303 kB");  // just under 4 GiB
    EXPECT_EQ(imagelift_firmware::FileSizeText({0, 1}), "overflow");
    EXPECT_EQ(imagelift_firmware::FileSizeText({-1, -1}), "error");

    EXPECT_EQ(imagelift_firmware::VersionText(0xFFFFFF), "Version: 16777215 (0xFFFFFF) - private build");
    EXPECT_EQ(imagelift_firmware::VersionText(0), "Version: 0 (0x0) - missing information");
    EXPECT_EQ(imagelift_firmware::VersionText(0x01020304), "Version: 16909060 (0x1020304)");

    // An elapsed time of 0 counts as one millisecond.
    EXPECT_EQ(imagelift_firmware::RateText(262144, 0), "262144.00");
    EXPECT_EQ(imagelift_firmware::RateText(1000, 3), "333.33");

    EXPECT_EQ(imagelift_firmware::CrcResultText(1, 0x1A2B, 0), "CRC ok!  0x00001A2B");
    EXPECT_EQ(imagelift_firmware::CrcResultText(1, 0x1A2B, 1), "Invalid CRC indicated by target");
    EXPECT_EQ(imagelift_firmware::CrcResultText(-5, 0, 0), "Read CRC failed, code -5");
}

TEST(PackageTexts, TheLocalBuildTimeOnlyWhenItConverts) {
    basBootloader::FwpHeader h;
    h.Date = {'2', '0', '2', '6', '0', '1', '0', '5'};
    h.Time = {'1', '2', '0', '0', '0', '0', 0, 0};
    EXPECT_TRUE(imagelift_firmware::BuildDateText(h).starts_with("Build date: 2026-01-05 12:00:00 utc / "));
    EXPECT_TRUE(imagelift_firmware::BuildDateText(h).ends_with("(local)"));
    h.Date.resize(7);  // a date that cannot be converted
    EXPECT_EQ(imagelift_firmware::BuildDateText(h).find("(local)"), std::string::npos);
}

TEST_F(WindowsFixture, TheMemoryViewerDumpsAndReflowsToItsWidth) {
    for (auto [width, columns] : std::vector<std::pair<double, int32_t>>{{3000, 4}, {4639, 4}, {4640, 8}, {6559, 8}, {6560, 12}})
        EXPECT_EQ(frmViewMemory::ColumnsForWidth(width), columns) << width;

    frmViewMemory viewer;
    viewer.Load();
    viewer.BaseAddress(4096);
    viewer.ByteData(ByteArray{'A', 'B', 'C', 'D', 'E'});
    EXPECT_EQ(viewer.txtNodeMemory.Text(), "0x1000: 41 42 43 44 ABCD\r\n0x1004: 45          E\r\n");
    // Bytes that print nothing (zero, CR, LF, other controls) show as dots, rows stay rows.
    viewer.ByteData(ByteArray{0, 'a', 0x0D, 0x0A, 0x15, 0x7F, 0xE9});
    EXPECT_EQ(viewer.txtNodeMemory.Text(), "0x1000: 00 61 0D 0A .a..\r\n0x1004: 15 7F E9    ..\xE9\r\n");

    // A longer array follows the width; a single byte is shown once and left alone.
    ByteArray bytes(4000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t('a' + i % 26);
    viewer.ByteData(bytes);
    viewer.Show();
    viewer.Width = viewer.Width() + 2000;
    EXPECT_EQ(viewer.Columns(), frmViewMemory::ColumnsForWidth(viewer.txtNodeMemory.Width()));
    EXPECT_GT(viewer.Columns(), 4);
    const std::string firstLine = viewer.txtNodeMemory.Text().substr(0, viewer.txtNodeMemory.Text().find("\r\n"));
    EXPECT_EQ(firstLine.size(), 8 + 4u * size_t(viewer.Columns()));  // "0x1000: ", "HH " and a character each
    viewer.ByteData(ByteArray{0});
    const std::string one = viewer.txtNodeMemory.Text();
    viewer.Width = viewer.Width() / 2;
    EXPECT_EQ(viewer.txtNodeMemory.Text(), one);
    viewer.Unload();
}

TEST_F(WindowsFixture, ThePreferencesShowAndStoreTheDefaultsAtOnce) {
    const auto stored = [&] { return ctx_.DbManager->GetSetting("Imagelift", "frmSelectFirmware", "DefaultLoadBehavior", "?"); };
    struct Case {
        std::string value;
        bool image, config, both;
    } cases[] = {{"1", true, false, false}, {"2", false, true, false}, {"0", false, false, true}, {"5", false, false, false}};
    for (const auto& c : cases) {
        ctx_.DbManager->SaveSetting("Imagelift", "frmSelectFirmware", "DefaultLoadBehavior", c.value);
        frmSelectFirmwarePreferences dialog;
        dialog.Load();
        EXPECT_EQ(dialog.optDefaultLoadImage.Value(), c.image) << c.value;
        EXPECT_EQ(dialog.optDefaultLoadConfig.Value(), c.config) << c.value;
        EXPECT_EQ(dialog.optDefaultLoadImageAndConfig.Value(), c.both) << c.value;
        EXPECT_EQ(stored(), c.value);
        EXPECT_FALSE(dialog.chkAlwaysLoadConfig.Visible());
        dialog.Unload();
    }

    frmSelectFirmwarePreferences dialog;
    dialog.Load();
    dialog.optDefaultLoadImage.Value = true;
    EXPECT_EQ(stored(), "1");
    dialog.chkOverrideHardwareCompatibility.Value = 1;
    EXPECT_TRUE(ctx_.OverrideHardwareCompatibility);
    dialog.chkAlwaysLoadConfig.Value = 1;
    EXPECT_EQ(ctx_.DbManager->GetSetting("Imagelift", "frmSelectFirmware", "AlwaysLoadConfig", "?"), "1");
    dialog.Show();
    SavePicture(dialog, "preferences");
    dialog.cmdClose_Click();
    EXPECT_FALSE(dialog.IsLoaded());

    // The switch lasts for the run: the dialog shows it ticked when it opens again.
    frmSelectFirmwarePreferences again;
    again.Load();
    EXPECT_EQ(again.chkOverrideHardwareCompatibility.Value(), 1);
    again.chkOverrideHardwareCompatibility.Value = 0;
    EXPECT_FALSE(ctx_.OverrideHardwareCompatibility);
    again.Unload();

    // Without a store the dialog closes at once.
    ctx_.DbManager.reset();
    frmSelectFirmwarePreferences closed;
    closed.Load();
    EXPECT_FALSE(closed.IsLoaded());
}

TEST_F(WindowsFixture, TheAboutBoxShowsTheProgramAndItsBuildDateInUniversalTime) {
    const char* tz = std::getenv("TZ");
    const std::string oldTz = tz ? tz : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();

    const fsys::path program = fsys::path(root_) / "bin" / "Imagelift";
    fsys::create_directories(program.parent_path());
    std::ofstream(program) << "program";
    // 2004-03-15 09:05:07 UTC.
    struct utimbuf times {};
    times.actime = times.modtime = 1079341507;
    ASSERT_EQ(::utime(program.c_str(), &times), 0);

    frmAbout about;
    about.ProgramFile = program.string();
    about.Load();
    EXPECT_EQ(about.lblApplicationName.Caption(), "Application Name: Imagelift");
    EXPECT_EQ(about.lblVersion.Caption(), "Version: 1.8.41");
    EXPECT_EQ(about.lblExeFilename.Caption(), "Exe Filename: Imagelift");
    EXPECT_EQ(about.lblBuildDate.Caption(), "Build Date: 2004-03-15 09:05:07 utc");
    EXPECT_EQ(about.lblExePath.Caption(), "Application Path: " + program.parent_path().string());
    EXPECT_EQ(about.lblDataPath.Caption(), "Data Path: " + fsys::current_path().string());
    about.Show();
    SavePicture(about, "about_box");
    about.cmdClose_Click();
    EXPECT_FALSE(about.IsLoaded());

    // The frame's About menu opens it modally (closed here from a timer, as a user would).
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible() && w->windowTitle() == "About") w->close();
    });
    frame_->mnuAbout_Click();

    if (tz) ::setenv("TZ", oldTz.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
}

}  // namespace
}  // namespace fwtest
