// The main window's device commands against a simulated Lumarel 460 on a bus where another
// maker's node comes first: identity programming in the byte order the device stores, answers
// of the wrong length refused before anything is sent, resets, starts, persistent parameters,
// factory defaults, the console switch, the download and shell windows it opens, and the key
// batch that starts an unattended run.
#include <gtest/gtest.h>

#include <array>

#include "bootloader/state.h"
#include "support/byte_utils.h"
#include "tests/program_on_bus.h"
#include "vbrt/convert.h"

namespace {

using apptest::ProgramOnBus;
namespace fsys = std::filesystem;
using Guid = std::array<uint8_t, 8>;
using Mac = std::array<uint8_t, 6>;

const Guid kFactoryGuid{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x01};
const Mac kFactoryMac{0x00, 0x0A, 0x3C, 0x00, 0x00, 0x01};

class DeviceCommands : public ProgramOnBus {
protected:
    void StartWithDevice(const std::string& deviceExtra = "") {
        Start(Description(deviceExtra));
        ASSERT_TRUE(SelectNode(1));
    }
    Guid DeviceGuid() {
        Guid g{};
        Dev([&](sim::lumarel::Lumarel460& d) { g = d.guid(); });
        return g;
    }
    Mac DeviceMac() {
        Mac m{};
        Dev([&](sim::lumarel::Lumarel460& d) { m = d.mac(); });
        return m;
    }
    uint64_t Requests() {
        uint64_t n = 0;
        Dev([&](sim::lumarel::Lumarel460& d) { n = d.RequestsTaken(); });
        return n;
    }
    sim::lumarel::Mode Mode() {
        auto m = sim::lumarel::Mode::Bootloader;
        Dev([&](sim::lumarel::Lumarel460& d) { m = d.mode(); });
        return m;
    }
    // An application image the device starts: its slot holds it as downloaded and verified.
    std::string WithApplication() {
        const fsys::path image = fsys::path(root_) / "app.bin";
        std::ofstream(image, std::ios::binary) << std::string(256, '\x5A');
        return R"(, "images": [{"type": 0, "file": ")" + image.string() + R"("}])";
    }
    const forms::ScriptedPresenter::Asked& LastAsked() { return boxes_.asked().back(); }
};

TEST_F(DeviceCommands, ProgramsGuidAndMacInTheOrderTheDeviceStores) {
    StartWithDevice();
    boxes_.AnswerInput("00 11 22 33 44 55 66 77");
    boxes_.AnswerMessage(forms::vbYes);
    bas1394::State.BusResetPending = false;
    Main().mnuSetBootloaderGUID_Click();
    ASSERT_EQ(boxes_.asked().size(), 2u);
    // The input box offers the device's current debug GUID.
    const auto& input = boxes_.asked()[0];
    EXPECT_EQ(input.title, "Input New GUID");
    EXPECT_EQ(input.prompt,
              "Please enter a new 8-byte value for the GUID in the hex format '00 00 00 00 00 00 00 00' (without "
              "quotes).  ");
    Dev([&](sim::lumarel::Lumarel460& d) {
        const auto& g = d.debugGuid();
        EXPECT_EQ(input.defaultText, basUtils::ByteArrayToHexString(basUtils::ByteArray(g.begin(), g.end())));
    });
    const auto& confirm = boxes_.asked()[1];
    EXPECT_EQ(confirm.title, "Confirm New GUID for Node 1");
    EXPECT_EQ(confirm.prompt, "Are you sure you want to set the GUID of node 1 to 00 11 22 33 44 55 66 77?");
    EXPECT_EQ(confirm.buttons, forms::vbYesNo);
    EXPECT_EQ(DeviceGuid(), (Guid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}));
    EXPECT_TRUE(Logged("Successfully set new GUID"));
    EXPECT_TRUE(bas1394::State.BusResetPending.load());
    ASSERT_TRUE(WaitForList());

    // Twelve digits without blanks are confirmed as six pairs and stored in that order.
    boxes_.AnswerInput("0a1B2c3D4e5F");
    boxes_.AnswerMessage(forms::vbYes);
    ASSERT_TRUE(SelectNode(1));
    Main().mnuSetMACaddress_Click();
    ASSERT_EQ(boxes_.asked().size(), 4u);
    EXPECT_EQ(boxes_.asked()[2].title, "Input New MAC");
    EXPECT_EQ(boxes_.asked()[2].defaultText, "00 00 00 00 00 00");
    EXPECT_EQ(LastAsked().title, "Confirm New MAC for Node 1");
    EXPECT_EQ(LastAsked().prompt, "Are you sure you want to set the MAC address of node 1 to 0A 1B 2C 3D 4E 5F?");
    EXPECT_EQ(DeviceMac(), (Mac{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}));
    EXPECT_EQ(boxes_.unscripted(), 0);
}

TEST_F(DeviceCommands, RefusesIdentityAnswersOfTheWrongLengthAndSendsNothing) {
    StartWithDevice();
    struct Case {
        bool guid;
        const char* answer;
    };
    const Case cases[] = {
        {true, "00 11 22 33 44 55 66 7"},      // odd digit count
        {true, "00 11 22 33 44 55 66"},        // 7 bytes
        {true, "00 11 22 33 44 55 66 77 88"},  // 9 bytes
        {true, "zz"},
        {false, "00 11 22 33 44"},             // 5 bytes
        {false, "00112233445"},                // odd digit count
        {false, "00 11 22 33 44 55 66"},       // 7 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer);
        ASSERT_TRUE(SelectNode(1));
        const size_t asked = boxes_.asked().size();
        const uint64_t requests = Requests();
        bas1394::State.BusResetPending = false;
        boxes_.AnswerInput(std::string(c.answer));
        boxes_.AnswerMessage(forms::vbOK);
        if (c.guid)
            Main().mnuSetBootloaderGUID_Click();
        else
            Main().mnuSetMACaddress_Click();
        // The input box, then one OK box that says why; no confirmation.
        ASSERT_EQ(boxes_.asked().size(), asked + 2);
        EXPECT_EQ(LastAsked().buttons, forms::vbOKOnly);
        EXPECT_NE(LastAsked().prompt.find(c.answer), std::string::npos);
        EXPECT_EQ(boxes_.unscripted(), 0);
        // The GUID command read the current GUID first; neither programmed anything.
        EXPECT_EQ(Requests(), requests + (c.guid ? 1 : 0));
        EXPECT_FALSE(bas1394::State.BusResetPending.load());
    }
    EXPECT_EQ(DeviceGuid(), kFactoryGuid);
    EXPECT_EQ(DeviceMac(), kFactoryMac);
}

TEST_F(DeviceCommands, AGuidNotConfirmedStillRescansACancelledOneDoesNot) {
    StartWithDevice();
    const uint64_t before = Requests();
    bas1394::State.BusResetPending = false;
    boxes_.AnswerInput(std::nullopt);
    Main().mnuSetBootloaderGUID_Click();
    EXPECT_FALSE(bas1394::State.BusResetPending.load());

    boxes_.AnswerInput("00 11 22 33 44 55 66 77");
    boxes_.AnswerMessage(forms::vbNo);
    Main().mnuSetBootloaderGUID_Click();
    EXPECT_TRUE(bas1394::State.BusResetPending.load());
    const auto line = Logged("Rescanning bus to refresh internal data structures after operation...");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, 13);
    EXPECT_EQ(line->module, "frmMain");
    EXPECT_EQ(Requests(), before + 2);  // the two reads of the current GUID
    EXPECT_EQ(DeviceGuid(), kFactoryGuid);

    // A MAC not confirmed sends nothing and rescans nothing.
    bas1394::State.BusResetPending = false;
    boxes_.AnswerInput("00 11 22 33 44 55");
    boxes_.AnswerMessage(forms::vbNo);
    Main().mnuSetMACaddress_Click();
    EXPECT_EQ(Requests(), before + 2);
    EXPECT_FALSE(bas1394::State.BusResetPending.load());
}

TEST_F(DeviceCommands, ResetsAndStartsReachTheDevice) {
    StartWithDevice(WithApplication());
    // Reset into the application: the device restarts with its image.
    Main().mnuReset.Choose();
    RunFor(200);
    EXPECT_EQ(Mode(), sim::lumarel::Mode::Application);
    EXPECT_TRUE(Logged("Reset to application mode commanded."));
    ASSERT_TRUE(WaitForList());
    // The application serves the reset too: into the bootloader for a download.
    ASSERT_TRUE(SelectNode(1));
    Main().mnuResetToBootloader.Choose();
    RunFor(200);
    EXPECT_EQ(Mode(), sim::lumarel::Mode::Bootloader);
    ASSERT_TRUE(WaitForList());

    // Start the application from the bootloader.
    ASSERT_TRUE(SelectNode(1));
    Main().mnuStartApplication.Choose();
    RunFor(200);
    EXPECT_EQ(Mode(), sim::lumarel::Mode::Application);
    ASSERT_TRUE(WaitForList());
    ASSERT_TRUE(SelectNode(1));
    Main().mnuResetToBootloader.Choose();
    RunFor(200);
    ASSERT_TRUE(WaitForList());

    // No debugger image: the device answers with its bad-CRC flag and stays.
    ASSERT_TRUE(SelectNode(1));
    Main().mnuStartDebugger.Choose();
    RunFor(200);
    EXPECT_EQ(Mode(), sim::lumarel::Mode::Bootloader);
    EXPECT_TRUE(Logged("StartImage Failed: bad CRC of debugger image on embedded target!"));

    // A device that does not answer: the window says why that may be harmless.
    Dev([](sim::lumarel::Lumarel460& d) { d.faults().silent = true; });
    Main().mnuStartApplication_Click();
    const auto silent = Logged("mnuStartApplication failure: StartApplication call failed, code ");
    ASSERT_TRUE(silent);
    EXPECT_EQ(silent->level, 7);
    EXPECT_EQ(silent->module, "frmMain");
    const std::string tail =
        "), CRC flag=0 (0x0).  Don't worry, this is probably because the bootloader is no longer running in order "
        "to respond.";
    ASSERT_GE(silent->message.size(), tail.size());
    EXPECT_EQ(silent->message.substr(silent->message.size() - tail.size()), tail);
}

TEST_F(DeviceCommands, PersistentParametersFactoryDefaultsAndTheShellSwitch) {
    StartWithDevice();
    Dev([](sim::lumarel::Lumarel460& d) {
        d.SetGuid({1, 2, 3, 4, 5, 6, 7, 8});
        d.SetMac({9, 9, 9, 9, 9, 9});
    });
    Main().mnuInitializePersistentParameters.Choose();
    Dev([](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.persistent().initializations, 1u); });
    EXPECT_EQ(DeviceGuid(), kFactoryGuid);
    EXPECT_EQ(DeviceMac(), kFactoryMac);
    EXPECT_FALSE(Logged("mnuInitializePersistentParameters failure"));

    Main().mnuFactoryDefaults.Choose();
    Dev([](sim::lumarel::Lumarel460& d) { EXPECT_EQ(d.persistent().factoryDefaultLoads, 1u); });
    const auto done = Logged("Initialized bootloader config to factory defaults.");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->module, "frmMain");

    Main().mnuSwitchTo1394Shell.Choose();
    Dev([](sim::lumarel::Lumarel460& d) { EXPECT_TRUE(d.ShellRouted()); });
    EXPECT_FALSE(Logged("mnuSwitchTo1394Shell failure"));
}

TEST_F(DeviceCommands, UpdateOpensOneStaggeredDownloadWindowPerRequest) {
    StartWithDevice();
    // An open download window disables the main window (its menus then take no choice): the
    // requests come from code.
    Main().cmdUpdateBootloader_Click();
    Main().mnuUpdateApplicationFirmware_Click();
    Main().cmdUpdateDebugMonitor_Click();
    auto& windows = basApp::DownloadWindows;
    ASSERT_EQ(windows.size(), 3u);
    const int32_t types[] = {3, 0, 2};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(windows[i]);
        EXPECT_EQ(windows[i]->FirmwareType(), types[i]);
        EXPECT_GE(windows[i]->hDevice(), 63);
        EXPECT_TRUE(windows[i]->Visible());
        // 20 twips apart, as near as whole pixels come.
        EXPECT_NEAR(windows[i]->Top(), 20.0 * double(i), 15.0);
    }
    EXPECT_TRUE(Logged("Updating firmare image (type = 3)"));

    // The frame makes download windows only: another kind uses no slot.
    ASSERT_NE(basApp::Frame(), nullptr);
    EXPECT_EQ(basApp::Frame()->CreateDownloadWindow("frmShell"), -1);
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(), [](auto& w) { return bool(w); }), 3);
    EXPECT_FALSE(Logged("in UpdateImage"));
}

TEST_F(DeviceCommands, TheShellWindowOfADeviceIsShownAgainInsteadOfASecond) {
    StartWithDevice();
    Main().mnuLaunchShell.Choose();
    ASSERT_EQ(ShellWindowsMade(), 1);
    ASSERT_FALSE(basApp::ShellWindows.empty());
    std::shared_ptr<frmShell> shell = basApp::ShellWindows[0];
    ASSERT_TRUE(shell);
    EXPECT_GE(shell->CurrentHandle(), 63);
    EXPECT_EQ(shell->WindowIndex, 0);
    EXPECT_TRUE(shell->Visible());

    Main().mnuLaunchShell_Click();
    EXPECT_EQ(ShellWindowsMade(), 1);
    // Closed, it keeps its slot and comes back with its handle.
    shell->Unload();
    Main().mnuLaunchShell_Click();
    EXPECT_EQ(ShellWindowsMade(), 1);
    EXPECT_TRUE(shell->IsLoaded());
    EXPECT_EQ(basApp::ShellWindows[0], shell);
}

TEST_F(DeviceCommands, ARowWithoutATargetGetsTheInvalidNodeMessage) {
    StartWithDevice();
    ASSERT_TRUE(SelectNode(2));  // the local host: no bootloader target
    auto& grid = Main().mfgDevices;
    const int32_t row = grid.Row();
    const std::string expected = "Invalid Node: 2  GUID=" + std::string(grid.TextMatrix(row, 2)) +
                                 " Mfg=" + std::string(grid.TextMatrix(row, 4)) +
                                 " Model=" + std::string(grid.TextMatrix(row, 5));
    Main().mnuLaunchShell_Click();
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(LastAsked().prompt, expected);
    EXPECT_EQ(ShellWindowsMade(), 0);

    Main().mnuResetToBootloader_Click();
    ASSERT_EQ(boxes_.asked().size(), 2u);
    EXPECT_EQ(LastAsked().prompt, expected);

    // Nobody answers a box in an unattended run: the message goes to its status file.
    struct File : imagelift::IStatusFile {
        void WriteStatusFileLine(const std::string& line) override { lines.push_back(line); }
        std::vector<std::string> lines;
    } file;
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &file;
    Main().mnuReset_Click();
    EXPECT_EQ(boxes_.asked().size(), 2u);
    EXPECT_EQ(file.lines, std::vector<std::string>{expected});

    Main().mnuUpdateBootloaderFirmware_Click();
    EXPECT_TRUE(Logged("Update Image error: failed to open device (node number 2 )"));
    EXPECT_TRUE(basApp::DownloadWindows.empty() || !basApp::DownloadWindows[0]);
}

TEST_F(DeviceCommands, TheKeyBatchStartsAnUnattendedRun) {
    StartWithDevice();
    Main().mnuExecuteKeyBatch_Click();
    EXPECT_TRUE(basAutomation::State.ShowStatusOnExit);
    EXPECT_EQ(basApp::CommandLineTokens, (std::vector<std::string>{"", "/R BATCH-OPERATIONS\\KEYBATCH.HTML"}));
    // Started: its status file is open, the main window takes no input, the scheduler runs.
    EXPECT_TRUE(ctx_.AutomationMode);
    EXPECT_NE(ctx_.StatusFile, nullptr);
    EXPECT_FALSE(Main().Enabled());
    EXPECT_TRUE(Main().tmrAutomationScheduler.Enabled());
    EXPECT_TRUE(ends_.empty());

    // A run that cannot start (its status file cannot be opened) stays off: the program stays
    // open for its user.
    basAutomation::Shutdown();
    fsys::remove_all(fsys::current_path() / "script-data" / "1394_write_status.txt");
    fsys::create_directories(fsys::current_path() / "script-data" / "1394_write_status.txt" / "occupied");
    Main().mnuExecuteKeyBatch_Click();
    EXPECT_FALSE(ctx_.AutomationMode);
    EXPECT_EQ(ctx_.StatusFile, nullptr);
    EXPECT_TRUE(ends_.empty());
}

TEST_F(DeviceCommands, TheErrorReportGoesOutThroughTheMainWindowsMailControls) {
    Start();
    forms::FakeMailHandover mailer;
    forms::SetMailer(&mailer);
    boxes_.AnswerMessage(forms::vbNo);  // no support address to add
    Main().mnuSendErrorReport.Choose();
    ASSERT_EQ(mailer.sent.size(), 1u);
    EXPECT_FALSE(mailer.sent[0].attachmentPath.empty());
    EXPECT_FALSE(Logged("Failed to send error report"));

    // No mail program: the user is told, and the window logs the result.
    mailer.available = false;
    Main().MAPISession1.SignOff();
    Main().MAPIMessages1.SessionID = 0;
    boxes_.AnswerMessage(forms::vbNo);
    boxes_.AnswerMessage(forms::vbOK);
    Main().mnuSendErrorReport_Click();
    forms::SetMailer(nullptr);
    const auto failed = Logged("Failed to send error report, code 0x");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->message, "Failed to send error report, code 0xFFFFFFFF");
    EXPECT_EQ(failed->level, 11);
    EXPECT_EQ(boxes_.unscripted(), 0);
}

}  // namespace
