// The main window on real (offscreen) windows inside the frame: its menus and timers, the device
// grid and detail pane filled from hand-made node and target tables, the selection carried over a
// refill, the access library's text lines, the message route and the unattended-run scheduler.
#include <gtest/gtest.h>

#include <QMdiSubWindow>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "automation/automation.h"
#include "windows/status_window.h"
#include "tests/app_fixture.h"
#include "tests/maker_node.h"
#include "bootloader/fwp.h"
#include "bootloader/state.h"
#include "bus1394/access_library.h"
#include "bus1394/config_rom_texts.h"
#include "support/byte_utils.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/forms.h"
#include "forms/tests/text_fit.h"
#include "support/db_manager.h"
#include "tests/app/imagelift_process.h"

namespace {

basBootloader::ByteArray Field(const std::string& text) {
    basBootloader::ByteArray bytes(8, 0);
    for (size_t i = 0; i < text.size() && i < 8; ++i) bytes[i] = uint8_t(text[i]);
    return bytes;
}

class MainWindow : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        // The desktop's scale: the windows' twips hold the text of the font in use.
        forms::EnsureApplication();
        screen_ = forms::FixedScreen{1600, 1200, forms::DesktopTwipsPerPixelX(), forms::DesktopTwipsPerPixelY()};
        forms::SetScreen(&screen_);
        basApp::SetEndProcess([this](int) { ++ended_; });
        const std::filesystem::path folder = std::filesystem::path(root_) / "program";
        std::filesystem::create_directories(folder);
        dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
        ResetTables();
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        ASSERT_NE(frame_->MainWindow(), nullptr);
    }
    static void ResetTables() {
        bas1394::ResetNodeTable();
        bas1394::State.TopologyMap = {};
        bas1394::State.TopologyMap.Entries.assign(63, {});
        bas1394::State.LocalHostNode = 128;
        bas1394::State.TopologyReady = false;
        basBootloader::State.TargetList.assign(1, {});
        basBootloader::State.DebuggerNodes.assign(1, {});
        basBootloader::State.BootloaderListReady = {false, false, false};
    }

    frmMain& Main() { return *frame_->MainWindow(); }

    // A node of the maker with a readable config ROM and an active link.
    static bas1394::NodeRecord Node(int16_t number, bool linkActive = true) {
        bas1394::NodeRecord node = apptest::MakerNode(number);
        bas1394::State.TopologyMap.Entries[size_t(number)].LinkActive = linkActive ? 1 : 0;
        return node;
    }
    // A target in state `state` on `node`; a nonzero bootloader version means the bootloader runs.
    static basBootloader::BootloaderTarget Target(const bas1394::NodeRecord& node, int32_t state,
                                                  int32_t bootloaderVersion) {
        basBootloader::BootloaderTarget t;
        t.Handle = 63 + node.NodeNumber;
        t.Device = node;
        t.State = state;
        auto& i = t.Info;
        i.BootloaderVersion = bootloaderVersion;
        i.Guid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, uint8_t(node.NodeNumber)};
        i.HardwareModelId = 460;
        i.HardwareRevision = 0x00010200;
        i.SoftwareDate = Field("20230415");
        i.SoftwareTime = Field("101112");
        i.SoftwareRelease = 0x4A0;
        i.SoftwareVersion = 0x00010829;
        i.BootloaderDate = Field("20220101");
        i.BootloaderTime = Field("080910");
        i.DebugMonitorDate = Field("20210707");
        i.Reserved88 = Field("235958");
        i.DebugMonitorId = 7;
        i.DebugMonitorVersion = 0x00010003;
        return t;
    }
    std::vector<std::string> Row(int32_t r) {
        std::vector<std::string> cells;
        for (int32_t c = 0; c < 7; ++c) cells.push_back(Main().mfgDevices.TextMatrix(r, c));
        return cells;
    }
    // Lines shown in status window 0, newest last.
    std::vector<std::string> StatusLines() {
        std::vector<std::string> lines;
        frmStatus& s = *basApp::StatusWindows[0];
        for (int32_t r = 1; r < s.mfgStatus.Rows(); ++r) lines.push_back(s.mfgStatus.TextMatrix(r, 3));
        return lines;
    }

    forms::FixedScreen screen_{1600, 1200};
    int ended_ = 0;
};

TEST_F(MainWindow, MenusTimersAndTheEmptyGridAtLoad) {
    frmMain& m = Main();
    EXPECT_EQ(m.Caption(), "Available Devices");
    EXPECT_EQ(basApp::MainChildForm, &m);
    EXPECT_EQ(ctx_.MainChildForm, &m);
    struct Item {
        forms::Menu& menu;
        const char* caption;
        bool enabled;
    };
    const Item items[] = {
        {m.mnuFile, "&File", true},
        {m.mnuExit, "E&xit", true},
        {m.mnuLaunchShell, "&Shell Window", false},
        {m.mnuStatusWindow, "S&tatus Window", true},
        {m.mnuReset, "&Reset Selected Device Hardware", false},
        {m.mnuResetToBootloader, "Run Selected Device in &Firmware Download Mode", false},
        {m.mnuRescanBus, "Res&can Bus", true},
        {m.mnuBootloader, "&Bootloader Expert Menu", false},
        {m.mnuFactoryDefaults, "&Factory Default Settings (experimental)", false},
        {m.mnuUpdateApplicationFirmware, "&Update Application Firmware", false},
        {m.mnuUpdateBootloaderFirmware, "U&pdate Bootloader Firmware", false},
        {m.mnuUpdateDebuggerFirmware, "Up&date Debugger Firmware", false},
        {m.mnuUseVskMarquentDriver, "&Use Vsk-Marquent Driver", true},
        {m.mnu1394DLLdebugLevel, "Set DLL Debug &Level", true},
        {m.mnuSwitchTo1394Shell, "Switch to &1394 Shell", true},
        {m.mnuUserGuide, "&Online User Guide", true},
        {m.mnuSendErrorReport, "&Send Error Report", true},
    };
    for (const Item& item : items) {
        SCOPED_TRACE(item.caption);
        EXPECT_EQ(item.menu.Caption(), item.caption);
        EXPECT_EQ(item.menu.Enabled(), item.enabled);
    }
    EXPECT_FALSE(m.mnuTest.Visible());
    EXPECT_FALSE(m.mnuCascade.Visible());
    EXPECT_EQ(m.mnuAutoScaleChildren.Checked(), frame_->mnuAutoScaleChildren.Checked());
    EXPECT_FALSE(m.mnuRemove1394VirtualDriverOnShutdown.Checked());

    EXPECT_EQ(m.tmrBusReset.Interval(), 20);
    EXPECT_TRUE(m.tmrBusReset.Enabled());
    EXPECT_EQ(m.tmrIncomingData.Interval(), 20);
    EXPECT_TRUE(m.tmrIncomingData.Enabled());
    EXPECT_EQ(m.tmrAutomationScheduler.Interval(), 1000);
    EXPECT_FALSE(m.tmrAutomationScheduler.Enabled());

    EXPECT_EQ(m.mfgDevices.Rows(), 1);
    EXPECT_EQ(Row(0), (std::vector<std::string>{"drv", "#", "ID", "State", "Manufacterer", "Model Name",
                                                "Firmware Version"}));
    EXPECT_EQ(m.lblGUID.Caption(), "ID (ConfigROM):   ");
    EXPECT_EQ(m.lblBootloaderGuidInfo.Caption(), "ID (InfoReg):    ");
    EXPECT_EQ(m.lblBootloaderGuidGet.Caption(), "ID (Bootloader): ");
    EXPECT_EQ(m.cmdUpdateApplicationImage.Caption(), "Update Application &Image...");
    EXPECT_EQ(m.cmdUpdateBootloader.Caption(), "&Update Bootloader Image...");
    EXPECT_EQ(m.cmdUpdateDebugMonitor.Caption(), "Update &Debug Monitor Image...");
}

TEST_F(MainWindow, GridRowsByNodeState) {
    bas1394::State.LocalHostNode = 0;
    auto local = Node(0);
    auto dead = Node(1, false);
    auto missing = Node(2);
    auto debugger = Node(3);
    auto app = Node(4);
    auto boot = Node(5);
    auto unread = Node(6);
    unread.ConfigRom.BusInfo.RawBytes.assign(1, 0);
    bas1394::State.NodeTable = {local, dead, missing, debugger, app, boot, unread};
    basBootloader::State.TargetList = {{}, Target(missing, 1, 0), Target(app, 2, 0), Target(boot, 2, 0x00020001),
                                 Target(dead, 2, 1)};
    basBootloader::State.DebuggerNodes = {basBootloader::DebuggerNode{debugger}};

    // While the bootloader list is being built, linked nodes read "<scanning...>".
    Main().IEEE1394Bus_NodesChanged();
    ASSERT_EQ(Main().mfgDevices.Rows(), 8);
    EXPECT_EQ(Row(5)[3], "<scanning...>");
    EXPECT_EQ(Row(5)[6], "<scanning...>");
    EXPECT_EQ(Row(5)[4], basConfigRom::GetVendorText(boot.ConfigRom));
    EXPECT_EQ(Main().mfgDevices.Row(), 0);  // no device row took the selection

    basBootloader::State.BootloaderListReady[0] = true;
    Main().IEEE1394Bus_NodesChanged();
    ASSERT_EQ(Main().mfgDevices.Rows(), 8);
    const std::string vendor = basConfigRom::GetVendorText(app.ConfigRom);
    const std::string model = basConfigRom::GetModelText(app.ConfigRom);
    const std::string guid = basConfigRom::GetGuidText(app.ConfigRom);
    const auto ti = [](const bas1394::NodeRecord& n) {
        for (auto& t : basBootloader::State.TargetList)
            if (t.Device.NodeNumber == n.NodeNumber && t.Handle) return t.Info;
        return basBootloader::InfoRegisters{};
    };
    const std::string appFw = basBootloader::VersionToString(0x00010829) + " " +
                              basBootloader::FormatFwpDate(ti(app).SoftwareDate) + " " +
                              basBootloader::FormatFwpTime(ti(app).SoftwareTime);
    const std::string bootFw = basBootloader::VersionToString(0x00020001) + " " +
                               basBootloader::FormatFwpDate(ti(boot).BootloaderDate) + " " +
                               basBootloader::FormatFwpTime(ti(boot).BootloaderTime);
    using V = std::vector<std::string>;
    EXPECT_EQ(Row(1), (V{"vdev", "0", " <unknown>", "Local PC Node", "No Local Config ROM", "No Local Config ROM",
                         "<unknown>"}));
    EXPECT_EQ(Row(2), (V{"vdev", "1", "<link not active>", "<link not active>", "<link not active>",
                         "<link not active>", "<unknown>"}));
    EXPECT_EQ(Row(3), (V{"vdev", "2", basConfigRom::GetGuidText(missing.ConfigRom), "missing", vendor, model,
                         "<unknown>"}));
    EXPECT_EQ(Row(4)[3], "Debugger Running");
    EXPECT_EQ(Row(5), (V{"vdev", "4", basConfigRom::GetGuidText(app.ConfigRom), "App Running", vendor, model, appFw}));
    EXPECT_EQ(Row(6), (V{"vdev", "5", basConfigRom::GetGuidText(boot.ConfigRom), "Bootloader Running", vendor, model,
                         bootFw}));
    EXPECT_EQ(Row(7)[2], "<read failed>");
    EXPECT_EQ(Row(7)[3], "Incompatible");
    (void)guid;

    // An empty table (first record "no node") leaves the header alone.
    bas1394::ResetNodeTable();
    Main().IEEE1394Bus_NodesChanged();
    EXPECT_EQ(Main().mfgDevices.Rows(), 1);
}

TEST_F(MainWindow, TheSelectionFollowsItsDeviceAcrossRefills) {
    bas1394::State.LocalHostNode = 0;
    basBootloader::State.BootloaderListReady[0] = true;
    // The maker's IDs ("0A3C7E10 ..."): their leading decimal digits make no number above zero.
    auto a = Node(1), b = Node(2), c = Node(3);
    bas1394::State.NodeTable = {Node(0), a, b, c};
    basBootloader::State.TargetList = {{}, Target(a, 2, 1), Target(b, 2, 1), Target(c, 2, 1)};
    frmMain& m = Main();
    // With nothing chosen before, the first running device becomes the selection and stays.
    m.IEEE1394Bus_NodesChanged();
    EXPECT_EQ(m.mfgDevices.Row(), 2);
    EXPECT_EQ(m.lblNode.Caption(), "Node: 1");
    EXPECT_EQ(m.SelectedDeviceId, basConfigRom::GetGuidText(a.ConfigRom));

    // The user picks the middle device; after each bus reset it is still the selected one.
    m.mfgDevices.Row = 3;
    EXPECT_EQ(m.SelectedDeviceId, basConfigRom::GetGuidText(b.ConfigRom));
    for (int pass = 0; pass < 2; ++pass) {
        m.IEEE1394Bus_NodesChanged();
        EXPECT_EQ(m.mfgDevices.Row(), 3);
        EXPECT_EQ(m.lblNode.Caption(), "Node: 2");
    }
    // A placeholder row keeps the choice.
    m.mfgDevices.Row = 1;  // the local node: " <unknown>"
    EXPECT_EQ(m.SelectedDeviceId, basConfigRom::GetGuidText(b.ConfigRom));
    m.mfgDevices.Row = 3;
    // Once it has gone, the first running device takes the selection; the choice stays, and the
    // device is selected again when it comes back.
    bas1394::State.NodeTable = {Node(0), a, c};
    m.IEEE1394Bus_NodesChanged();
    EXPECT_EQ(m.mfgDevices.Row(), 2);
    EXPECT_EQ(m.lblNode.Caption(), "Node: 1");
    EXPECT_EQ(m.SelectedDeviceId, basConfigRom::GetGuidText(b.ConfigRom));
    bas1394::State.NodeTable = {Node(0), a, c, b};
    m.IEEE1394Bus_NodesChanged();
    EXPECT_EQ(m.mfgDevices.Row(), 4);
    EXPECT_EQ(m.lblNode.Caption(), "Node: 2");

    // A key going down on the grid makes the row in front of the user the choice, before the
    // key moves anything: here the first device, which the refill put there while the chosen one
    // was gone; it stays chosen when that one is back.
    bas1394::State.NodeTable = {Node(0), a, c};
    m.IEEE1394Bus_NodesChanged();
    ASSERT_EQ(m.mfgDevices.Row(), 2);
    QTest::keyClick(m.mfgDevices.Widget(), Qt::Key_F5);
    EXPECT_EQ(m.SelectedDeviceId, basConfigRom::GetGuidText(a.ConfigRom));
    bas1394::State.NodeTable = {Node(0), a, c, b};
    m.IEEE1394Bus_NodesChanged();
    EXPECT_EQ(m.mfgDevices.Row(), 2);
    EXPECT_EQ(m.lblNode.Caption(), "Node: 1");
}

TEST_F(MainWindow, DetailPaneOfARunningBootloaderAndAnApplication) {
    bas1394::State.LocalHostNode = 0;
    basBootloader::State.BootloaderListReady[0] = true;
    auto boot = Node(1);
    bas1394::State.NodeTable = {Node(0), boot};
    auto target = Target(boot, 2, 0x00020001);
    target.Info.SoftwareVersion = basBootloader::kPrivateBuildVersion;
    basBootloader::State.TargetList = {{}, target};
    frmMain& m = Main();
    m.IEEE1394Bus_NodesChanged();
    ASSERT_EQ(m.mfgDevices.Row(), 2);
    const auto& i = target.Info;
    EXPECT_EQ(m.lblDriver.Caption(), "Driver: vdev");
    EXPECT_EQ(m.lblDriver.ToolTipText(), "Driver: vdev");
    EXPECT_EQ(m.lblNode.Caption(), "Node: 1");
    EXPECT_EQ(m.lblGUID.Caption(), "ID (ConfigROM):  0A3C7E10 00010001");
    EXPECT_EQ(m.lblDeviceState.Caption(), "Device State: 2");
    EXPECT_EQ(m.txtApplicationImageVersion.Text(),
              " ID=0x4A0 <private build> Date: " + basBootloader::FormatFwpLocalDateTime(i.SoftwareDate, i.SoftwareTime));
    EXPECT_EQ(m.txtBootloaderVersion.Text(), " Ver=" + basBootloader::VersionToString(0x00020001) + " Date: " +
                                                 basBootloader::FormatFwpLocalDateTime(i.BootloaderDate, i.BootloaderTime));
    // The debug monitor's date goes with its own time field, not the application's.
    const std::string monitor = basBootloader::FormatFwpLocalDateTime(i.DebugMonitorDate, i.Reserved88);
    ASSERT_NE(monitor, basBootloader::FormatFwpLocalDateTime(i.DebugMonitorDate, i.SoftwareTime));
    EXPECT_EQ(m.txtDebugMonitorVersion.Text(),
              " ID=7 Ver=" + basBootloader::VersionToString(0x00010003) + " Date: " + monitor);
    EXPECT_EQ(m.lblBootloaderGuidInfo.Caption(), "ID (InfoReg):    " + basUtils::ByteArrayToHexString(i.Guid, 4));
    EXPECT_EQ(m.lblBootloaderGuidGet.Caption(), "ID (Bootloader): " + basUtils::ByteArrayToHexString(i.Guid, 4));
    EXPECT_EQ(m.lblModelID.Caption(),
              "Info Registers Hardware Model ID = 460 / Version: " + basBootloader::VersionToString(0x00010200));
    for (forms::Control* c : std::initializer_list<forms::Control*>{
             &m.mnuLaunchShell, &m.mnuReset, &m.mnuResetToBootloader, &m.mnuFactoryDefaults, &m.mnuBootloader,
             &m.mnuUpdateApplicationFirmware, &m.mnuUpdateBootloaderFirmware, &m.mnuUpdateDebuggerFirmware,
             &m.cmdUpdateApplicationImage, &m.cmdUpdateBootloader, &m.cmdUpdateDebugMonitor})
        EXPECT_TRUE(c->Enabled()) << c->Name;
    EXPECT_EQ(m.GetSelectedBootloaderHandle(), target.Handle);

    // The same device running its application: the target commands only.
    basBootloader::State.TargetList[1].Info.BootloaderVersion = 0;
    basBootloader::State.TargetList[1].Info.SoftwareVersion = 0x00010829;
    m.mfgDevices_RowColChange();
    EXPECT_EQ(m.lblBootloaderGuidGet.Caption(), "ID (Bootloader): <not applicable>");
    EXPECT_EQ(m.txtApplicationImageVersion.Text().substr(0, 20),
              " ID=0x4A0 Ver=" + basBootloader::VersionToString(0x00010829).substr(0, 6));
    for (forms::Control* c : std::initializer_list<forms::Control*>{&m.mnuLaunchShell, &m.mnuReset,
                                                                    &m.mnuResetToBootloader, &m.mnuFactoryDefaults})
        EXPECT_TRUE(c->Enabled()) << c->Name;
    for (forms::Control* c : std::initializer_list<forms::Control*>{
             &m.mnuBootloader, &m.mnuUpdateApplicationFirmware, &m.cmdUpdateBootloader, &m.cmdUpdateDebugMonitor})
        EXPECT_FALSE(c->Enabled()) << c->Name;

    // The local adapter's row, then a row whose node went away.
    m.mfgDevices.Row = 1;
    EXPECT_EQ(m.lblNode.Caption(), "Node: 0 (Local 1394 Adapter Node)");
    EXPECT_EQ(m.lblDeviceState.Caption(), "Device State: INCOMPATIBLE");
    EXPECT_FALSE(m.mnuReset.Enabled());
    bas1394::State.NodeTable = {Node(0)};
    m.mfgDevices.Row = 2;
    EXPECT_EQ(m.lblNode.Caption(), "The selected device has disappeared from the bus.");
}

TEST_F(MainWindow, ATargetInTheListsFirstElementIsFoundForThePane) {
    // The bootloader layer puts its first target into element 0 of the list.
    bas1394::State.LocalHostNode = 0;
    basBootloader::State.BootloaderListReady[0] = true;
    auto boot = Node(1);
    bas1394::State.NodeTable = {Node(0), boot};
    const auto target = Target(boot, 2, 0x00020001);
    basBootloader::State.TargetList = {target};
    frmMain& m = Main();
    m.IEEE1394Bus_NodesChanged();
    ASSERT_EQ(m.mfgDevices.Row(), 2);
    EXPECT_EQ(Row(2)[3], "Bootloader Running");
    EXPECT_EQ(m.lblDeviceState.Caption(), "Device State: 2");
    EXPECT_TRUE(m.mnuBootloader.Enabled());
    EXPECT_EQ(m.GetSelectedBootloaderHandle(), target.Handle);
}

TEST_F(MainWindow, LibraryTextLinesAreLoggedOnlyWhenShownAndTheBoxEmpties) {
    frmMain& m = Main();
    struct Case {
        bool show;
        std::vector<std::string> logged;
    };
    for (const Case& c : {Case{false, {}}, Case{true, {"first piece", "second piece"}}}) {
        m.mnuShowDllMessages.Checked = c.show;
        const size_t before = StatusLines().size();
        m.txtDebugSpew.Text = std::string("first piece\r\nsecond piece\r\nthird, unfinished");
        std::vector<std::string> lines = StatusLines();
        lines.erase(lines.begin(), lines.begin() + long(before));
        EXPECT_EQ(lines, c.logged);
        EXPECT_EQ(m.txtDebugSpew.Text(), "");
    }
}

TEST_F(MainWindow, StatusDisplayReachesEveryStatusWindowWithItsLevelAndModule) {
    frame_->mnuStatusWindow_Click();
    ASSERT_EQ(basApp::StatusWindows.size(), 2u);
    for (auto& w : basApp::StatusWindows) w->DebugMessageLevel = 0;
    int beeps = 0;
    ctx_.Beep = [&] { ++beeps; };
    struct Case {
        basDebug::LevelArg level;
        std::optional<std::string> module;
        std::string levelName, moduleText;
        int beeps;
    };
    const Case cases[] = {
        {{}, std::nullopt, "TRACE(5)", "unspecified", 0},
        {"ERROR", std::nullopt, "ERROR(11)", "unspecified", 0},
        {15, std::string("frmTest"), "FATAL(15)", "frmTest", 3},
    };
    for (const Case& c : cases) {
        beeps = 0;
        Main().StatusDisplay("a line", c.level, c.module);
        for (auto& w : basApp::StatusWindows) {
            const int32_t r = w->mfgStatus.Rows() - 1;
            EXPECT_EQ(w->mfgStatus.TextMatrix(r, 3)(), "a line");
            EXPECT_EQ(w->mfgStatus.TextMatrix(r, 1)(), c.levelName);
            EXPECT_EQ(w->mfgStatus.TextMatrix(r, 2)(), c.moduleText);
        }
        EXPECT_EQ(beeps, c.beeps);
    }
    // A level of 0 shows as "unspecified" and reaches the status log as level 5.
    ctx_.DebugLoggingLevel = 5;
    Main().StatusDisplay("level zero", 0);
    frmStatus& first = *basApp::StatusWindows[0];
    EXPECT_EQ(first.mfgStatus.TextMatrix(first.mfgStatus.Rows() - 1, 1)(), "unspecified");
    const auto log = imagelifttest::ReadStatusLog(std::filesystem::path(root_) / "program" / "db1.mdb");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().message, "level zero");
    EXPECT_EQ(log.back().level, 5);
}

TEST_F(MainWindow, SchedulerWaitsForTheDeviceListAndEndsAfterSixResets) {
    // An unattended run: its failures reach the status file.
    struct StatusFile : imagelift::IStatusFile {
        std::vector<std::string> lines;
        void WriteStatusFileLine(const std::string& line) override { lines.push_back(line); }
    } file;
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &file;
    frmMain& m = Main();
    // Every attempt ends in a reset of the target.
    int runs = 0;
    const frmMain::UnattendedRun resets{[](const std::vector<std::string>&) { return true; },
                                        [&](const std::vector<std::string>&) {
                                            ++runs;
                                            return 2;
                                        }};
    // No complete device list: the count starts again on every tick.
    for (int i = 0; i < 10; ++i) m.SchedulerTick(resets);
    EXPECT_EQ(runs, 0);
    EXPECT_EQ(m.SchedulerState.TickCount, 0);

    bas1394::State.TopologyReady = true;
    for (int i = 0; i < 3; ++i) m.SchedulerTick(resets);
    EXPECT_EQ(runs, 0);
    m.SchedulerTick(resets);  // the fourth tick runs the operations
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(m.SchedulerState.ResetAttempts, 1);
    // Five more runs that each end in a reset: the sixth aborts and ends the program.
    for (int i = 0; i < 5 * 4; ++i)
        if (frame_->IsLoaded()) m.SchedulerTick(resets);
    EXPECT_EQ(runs, 6);
    ASSERT_FALSE(file.lines.empty());
    EXPECT_NE(file.lines.front().find(
                  ", ERROR, unspecified, Performed 6 attempts to reset the device and resume the operation(s).  Aborting."),
              std::string::npos)
        << file.lines.front();
    EXPECT_FALSE(frame_->IsLoaded());
    EXPECT_EQ(ended_, 1);
}

TEST_F(MainWindow, SchedulerWithoutAnOperationSwitchesItselfOff) {
    frmMain& m = Main();
    m.tmrAutomationScheduler.Enabled = true;
    bas1394::State.TopologyReady = true;
    for (int i = 0; i < 3; ++i) m.tmrAutomationScheduler_Timer();
    EXPECT_TRUE(m.tmrAutomationScheduler.Enabled());
    m.tmrAutomationScheduler_Timer();
    EXPECT_FALSE(m.tmrAutomationScheduler.Enabled());
    EXPECT_TRUE(frame_->IsLoaded());
}

// Disabled (a download window open, an unattended run) the main window takes no input: its
// close box does nothing; enabled again, it closes the program.
TEST_F(MainWindow, ADisabledMainWindowIgnoresItsCloseBox) {
    // The close box closes the MDI sub-window, which asks the window inside it.
    auto* sub = qobject_cast<QMdiSubWindow*>(Main().WindowWidget()->parentWidget());
    ASSERT_NE(sub, nullptr);
    Main().Enabled = false;
    sub->close();
    EXPECT_TRUE(Main().IsLoaded());
    EXPECT_TRUE(frame_->IsLoaded());
    EXPECT_EQ(ended_, 0);
    Main().Enabled = true;
    sub->close();
    EXPECT_FALSE(frame_->IsLoaded());
    EXPECT_EQ(ended_, 1);
}

TEST_F(MainWindow, ClosingTheMainWindowClosesTheProgramOnce) {
    Main().Unload();
    EXPECT_FALSE(frame_->IsLoaded());
    EXPECT_EQ(basApp::MainChildForm, nullptr);
    EXPECT_EQ(ctx_.MainChildForm, nullptr);
    EXPECT_EQ(ended_, 1);
}

TEST_F(MainWindow, PictureOfTheWindowWithADeviceRow) {
    bas1394::State.LocalHostNode = 0;
    basBootloader::State.BootloaderListReady[0] = true;
    auto boot = Node(1);
    bas1394::State.NodeTable = {Node(0), boot};
    basBootloader::State.TargetList = {{}, Target(boot, 2, 0x00020001)};
    Main().IEEE1394Bus_NodesChanged();
    // Each column shows its texts whole in the font in use.
    EXPECT_TRUE(formstest::CellsFit(Main().mfgDevices));
    const char* bin = std::getenv("LUMAREL_BIN");
    const std::filesystem::path out =
        bin ? std::filesystem::path(bin) / ".." / "test-output" : std::filesystem::path(root_) / "test-output";
    std::filesystem::create_directories(out);
    EXPECT_TRUE(frame_->SaveImage((out / "main_window.png").string()));
    EXPECT_TRUE(Main().SaveImage((out / "main_window_alone.png").string()));
    // Disabled, as during a download or an unattended run.
    Main().Enabled = false;
    EXPECT_TRUE(Main().SaveImage((out / "main_window_disabled.png").string()));
    Main().Enabled = true;
}

// The frame sizes itself around the main and status windows as they were last left. However
// short they were left, the main window's details stand inside their group, below its caption and
// clear of its edges, and a picture shows it at the smallest such size.
TEST_F(MainWindow, TheDetailsStandInsideTheirGroupHoweverShortTheWindowsWereLeft) {
    const std::filesystem::path folder = std::filesystem::path(root_) / "program";
    const struct {
        const char* name;
        int mainBottom, statusBottom;  // pixels, both windows at the top left; 0: nothing saved
    } cases[] = {{"as first started", 0, 0}, {"left 604 px tall", 428, 585}, {"left as short as can be", 60, 90}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        frame_->Unload();
        frame_.reset();
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
        for (const char* window : {"frmMain", "frmStatus"})
            for (const char* edge : {"Top", "Left", "Bottom", "Right"}) ctx_.DbManager->RemoveSetting(ctx_.App.Title, window, edge);
        if (c.mainBottom > 0) {
            const auto save = [&](const char* window, int top, int bottom) {
                ctx_.DbManager->SaveSetting(ctx_.App.Title, window, "Top", std::to_string(top));
                ctx_.DbManager->SaveSetting(ctx_.App.Title, window, "Left", "0");
                ctx_.DbManager->SaveSetting(ctx_.App.Title, window, "Bottom", std::to_string(bottom));
                ctx_.DbManager->SaveSetting(ctx_.App.Title, window, "Right", "800");
            };
            save("frmMain", 0, c.mainBottom);
            save("frmStatus", c.mainBottom, c.statusBottom);
        }
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        ASSERT_NE(frame_->MainWindow(), nullptr);
        forms::DoEvents();
        frmMain& m = Main();
        auto* group = static_cast<QWidget*>(m.fraSelectedDevice.Widget());
        const QRect inside = group->contentsRect();
        for (forms::Control* c : std::initializer_list<forms::Control*>{
                 &m.lblDriver, &m.lblNode, &m.lblGUID, &m.lblDeviceState, &m.lblHardwareVersion, &m.lblManufacturer,
                 &m.lblModelID, &m.lblModelName, &m.lblBootloaderGuidInfo, &m.lblBootloaderGuidGet,
                 &m.lblApplicationImage, &m.txtApplicationImageVersion, &m.cmdUpdateApplicationImage,
                 &m.lblBootloader, &m.txtBootloaderVersion, &m.cmdUpdateBootloader, &m.lblDebugMonitor,
                 &m.txtDebugMonitorVersion, &m.cmdUpdateDebugMonitor}) {
            const QRect at = c->Widget()->geometry();
            EXPECT_TRUE(inside.contains(at)) << c->Name << " at " << at.y() << " to " << at.bottom()
                                             << ", the group's inside " << inside.y() << " to " << inside.bottom();
        }
    }
    bas1394::State.LocalHostNode = 0;
    basBootloader::State.BootloaderListReady[0] = true;
    const auto boot = Node(1);
    bas1394::State.NodeTable = {Node(0), boot};
    basBootloader::State.TargetList = {{}, Target(boot, 2, 0x00020001)};
    Main().IEEE1394Bus_NodesChanged();
    const char* bin = std::getenv("LUMAREL_BIN");
    const std::filesystem::path out =
        bin ? std::filesystem::path(bin) / ".." / "test-output" : std::filesystem::path(root_) / "test-output";
    std::filesystem::create_directories(out);
    EXPECT_TRUE(frame_->SaveImage((out / "main_window_shortest.png").string()));
}

// The grid keeps its rows between refills: after a pass that adds its nodes one at a time, and
// after a list that shrinks and changes, it shows the device list cell for cell, with the column
// widths that sizing every column again would give.
TEST_F(MainWindow, ARefillShowsTheListWhateverTheGridHeldBefore) {
    bas1394::State.LocalHostNode = 0;
    frmMain& m = Main();
    auto showsTheList = [&](const char* when) {
        SCOPED_TRACE(when);
        const auto& rows = m.Devices.Rows();
        ASSERT_EQ(m.mfgDevices.Rows(), int32_t(rows.size()) + 1);
        for (size_t i = 0; i < rows.size(); ++i)
            EXPECT_EQ(Row(int32_t(i) + 1), std::vector<std::string>(rows[i].Cells.begin(), rows[i].Cells.end()));
        std::vector<double> widths;
        for (int32_t c = 0; c < 7; ++c) widths.push_back(m.mfgDevices.ColWidth(c));
        m.ResizeMFG(m.mfgDevices);
        for (int32_t c = 0; c < 7; ++c) EXPECT_EQ(m.mfgDevices.ColWidth(c), widths[size_t(c)]) << c;
    };
    bas1394::State.NodeTable.clear();
    for (int16_t n = 0; n < 6; ++n) {
        bas1394::State.NodeTable.push_back(Node(n));
        m.IEEE1394Bus_NodesChanged();
        showsTheList("a pass adding node by node");
    }
    basBootloader::State.BootloaderListReady[0] = true;
    auto dev = Node(4);
    dev.ConfigRom.BusInfo.ChipIdLo = 0x7FFF0004;
    bas1394::State.NodeTable = {Node(0), dev};
    basBootloader::State.TargetList = {{}, Target(dev, 2, 0x00020001)};
    m.IEEE1394Bus_NodesChanged();
    showsTheList("a shorter list with a running device");
    EXPECT_EQ(Row(2)[3], "Bootloader Running");
    EXPECT_EQ(m.mfgDevices.Row(), 2);
    bas1394::ResetNodeTable();
    m.IEEE1394Bus_NodesChanged();
    showsTheList("an empty list");
    EXPECT_EQ(m.mfgDevices.Row(), 0);
}

}  // namespace
