// Automation start with the real frame and main window: the status file, the disabled main window
// and the scheduler; the option table, the interpreter's reading of the tokens, the logger's
// filter, the bound on waiting for a device list, and the exit code.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "tests/app_fixture.h"
#include "automation/automation.h"
#include "automation/status_file.h"
#include "bootloader/state.h"
#include "bus1394/state.h"
#include "forms/forms.h"
#include "support/db_manager.h"

namespace {

namespace fsys = std::filesystem;
using namespace basAutomation;

std::string ReadFile(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

class Start : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
        basApp::SetEndProcess([this](int code) { ends_.push_back(code); });
        previousOpener_ = SetExternalOpener([this](const std::string& p) { opened_.push_back(p); });
        previousCwd_ = fsys::current_path();
        const fsys::path folder = fsys::path(root_) / "program";
        fsys::create_directories(folder);
        fsys::current_path(folder);
        dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
        InitializeCommandLineOptions();
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        ASSERT_NE(frame_->MainWindow(), nullptr);
        // The frame's status window took the logger's first place: the test's recorder takes it back.
        ctx_.StatusWindow0 = &status_;
    }
    void TearDown() override {
        if (frame_) frame_->Unload();
        frame_.reset();
        programState_.Teardown();
        SetExternalOpener(previousOpener_);
        fsys::current_path(previousCwd_);
        AppTest::TearDown();
    }
    frmMain& Main() { return *frame_->MainWindow(); }

    forms::FixedScreen screen_{1600, 1200};
    ExternalOpener previousOpener_;
    std::vector<int> ends_;
    std::vector<std::string> opened_;
    fsys::path previousCwd_;
};

TEST_F(Start, InitializeOpensAFreshStatusFileDisablesTheMainWindowAndStartsTheScheduler) {
    fsys::create_directories("script-data");
    std::ofstream("script-data/1394_write_status.txt") << "an old run\r\n";
    ASSERT_EQ(Initialize(), 1);
    EXPECT_TRUE(ctx_.AutomationMode);
    EXPECT_FALSE(Main().Enabled());
    EXPECT_TRUE(Main().Visible());
    EXPECT_TRUE(Main().tmrAutomationScheduler.Enabled());
    EXPECT_EQ(State.GuidFileName, "script-data\\GUID.txt");
    EXPECT_EQ(State.MacFileName, "script-data\\MACID.txt");

    // An ERROR line is in the file at once, while the file is still open; a WATCH line is not.
    StatusDisplay("kept", basDebug::ERROR_LEVEL);
    StatusDisplay("not kept", basDebug::WATCH);
    const std::string text = ReadFile("script-data/1394_write_status.txt");
    EXPECT_EQ(text.find("an old run"), std::string::npos);
    EXPECT_NE(text.find(", ERROR, basAutomation, kept\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("not kept"), std::string::npos);

    Shutdown();
    EXPECT_EQ(ctx_.StatusFile, nullptr);
    StatusDisplay("after the end", basDebug::ERROR_LEVEL);
    EXPECT_EQ(ReadFile("script-data/1394_write_status.txt"), text);
}

TEST_F(Start, AnAOrFLineAloneWritesItsOwnStatusFolder) {
    for (const char* line : {"/F", "/A"}) {
        basApp::CommandLineText = line;
        ASSERT_EQ(Initialize(), 1);
        EXPECT_EQ(State.StatusFileName, "1394_WRITE_STATUS\\1394_write_status.txt");
        EXPECT_TRUE(fsys::is_regular_file("1394_WRITE_STATUS/1394_write_status.txt"));
        Shutdown();
    }
    // Together with other options they name no folder of their own.
    basApp::CommandLineText = "/F /S";
    ASSERT_EQ(Initialize(), 1);
    EXPECT_EQ(State.StatusFileName, "script-data\\1394_write_status.txt");
}

TEST_F(Start, AStatusFileThatCannotBeMadeLeavesAutomationOff) {
    std::ofstream("script-data") << "a file where the folder should be";
    EXPECT_EQ(Initialize(), -1);
    EXPECT_FALSE(ctx_.AutomationMode);
    EXPECT_EQ(ctx_.StatusFile, nullptr);
    EXPECT_TRUE(Main().Enabled());
    EXPECT_FALSE(Main().tmrAutomationScheduler.Enabled());
    const auto line = status_.Find(" in Initialize");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->message.rfind("Error #", 0), 0u);
    EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
}

// A link in the status file's place (to a file elsewhere, or dangling) is replaced by the run's
// own file; what it pointed at is never written.
TEST_F(Start, TheStatusFileIsNeverWrittenThroughASymbolicLink) {
    fsys::create_directories("script-data");
    std::ofstream("elsewhere.txt") << "someone else's file\n";
    for (const char* target : {"../elsewhere.txt", "../created-by-the-link.txt"}) {
        SCOPED_TRACE(target);
        fsys::remove("script-data/1394_write_status.txt");
        fsys::create_symlink(target, "script-data/1394_write_status.txt");
        ASSERT_EQ(Initialize(), 1);
        StatusDisplay("a line", basDebug::ERROR_LEVEL);
        Shutdown();
        EXPECT_FALSE(fsys::is_symlink("script-data/1394_write_status.txt"));
        EXPECT_NE(ReadFile("script-data/1394_write_status.txt").find("a line"), std::string::npos);
    }
    EXPECT_EQ(ReadFile("elsewhere.txt"), "someone else's file\n");
    EXPECT_FALSE(fsys::exists("created-by-the-link.txt"));

    // Opened directly, a link is refused.
    fsys::create_symlink("elsewhere.txt", "link.txt");
    StatusFile file;
    EXPECT_FALSE(file.Open((fsys::current_path() / "link.txt").string()));
}

// One call is one line: a CR or LF in a message (a file name from the command line) cannot
// forge a line of its own.
TEST_F(Start, ControlCharactersInAStatusLineAreEscaped) {
    ASSERT_EQ(Initialize(), 1);
    StatusDisplay("ERROR: \"X.FWP\r\n0:00:01.000, USER, basAutomation, Successfully programmed\t\x01\x7F\" does not exist.",
                  basDebug::ERROR_LEVEL);
    Shutdown();
    const std::string text = ReadFile("script-data/1394_write_status.txt");
    EXPECT_NE(text.find(", ERROR, basAutomation, ERROR: \"X.FWP\\r\\n0:00:01.000, USER, basAutomation, Successfully "
                        "programmed\\t\\x01\\x7F\" does not exist.\r\n"),
              std::string::npos)
        << text;
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 1u) << text;
}

// A status file that cannot take its lines (a full disk) is said on standard error, and the run
// fails whatever its operations did.
TEST_F(Start, AStatusFileThatCannotBeWrittenFailsTheRunAndSaysSo) {
    auto full = std::make_shared<StatusFile>();
    ASSERT_TRUE(full->Open("/dev/full"));
    State.Status = full;
    ctx_.StatusFile = full.get();
    ctx_.AutomationMode = true;
    State.LastResult = 1;
    ::testing::internal::CaptureStderr();
    StatusDisplay("first", basDebug::ERROR_LEVEL);
    StatusDisplay("second", basDebug::ERROR_LEVEL);
    Shutdown();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said, "Imagelift: the status file '/dev/full' cannot be written (No space left on device).\n");
    EXPECT_EQ(ExitCode(), 1);
    ctx_.AutomationMode = false;
}

TEST_F(Start, OperationsAreNamedByTheirLetterAloneOrByAOrFExactly) {
    struct {
        std::vector<std::string> tokens;
        bool operation;
    } cases[] = {
        {{"", "/O"}, false},
        {{"", "/S"}, false},
        {{"", "/X 0A3C7E1000010002"}, false},
        {{"", "--DOWNLOAD X.FWP"}, false},
        {{"", "/O", "/DX.FWP"}, true},
        {{"", "/B BL.FWP"}, true},
        {{"", "/G 0A3C7E1000010002"}, true},
        {{"", "/M 001122334455"}, true},
        {{"", "/I"}, true},
        {{"", "/C C.FWP"}, true},
        {{"", "/Q Q.FWP"}, true},
        {{"", "/R K.TXT"}, true},
        {{"", "/A"}, true},
        {{"", "/F"}, true},
        {{"", "/AB"}, false},
        {{""}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(HasOperationOption(c.tokens), c.operation) << c.tokens.back();
    // Asked before the table is built (start-up does), the answer is the same.
    ResetState();
    EXPECT_TRUE(HasOperationOption({"", "/B BL.FWP"}));
}

TEST_F(Start, TheInterpreterReadsValuesAndChoosesTheWork) {
    // No target on the bus: each run stops at its first check, which tells what it chose.
    EXPECT_EQ(PerformUnattendedOperations({"", "/D \"MY PKG.FWP\"", "/G 0A3C7E10 00010002"}), 0);
    EXPECT_EQ(State.ImageFileName, "MY PKG.FWP");
    EXPECT_EQ(State.GuidText, "0A3C7E1000010002");
    EXPECT_TRUE(status_.Find("ERROR: \"MY PKG.FWP\" does not exist.  Can't perform operation!"));
    EXPECT_FALSE(status_.Find("WriteGuid")) << "with a download, the GUID is not acted on";

    status_.lines.clear();
    EXPECT_EQ(PerformUnattendedOperations({"", "/G \"0A3C 7E10 0001 0002\"", "/X \"0A3C7E10 00010003\""}), -1);
    EXPECT_EQ(State.ImageFileName, "");
    EXPECT_TRUE(status_.Find("WriteGuid: failed to find a match for device '0A3C7E1000010003' on the bus."));

    status_.lines.clear();
    basApp::CommandLineText = "/A /O";
    PerformUnattendedOperations({"", "/A", "/O"});
    EXPECT_TRUE(status_.Find("The /A command cannot be used with other command-line options!"));
    EXPECT_TRUE(State.ProgramGuidFromFileFlag && State.ProgramMacFromFileFlag);
    EXPECT_EQ(State.MacFileName, "DTCP\\GUID\\MACID\\MACID.txt");
    EXPECT_TRUE(status_.Find("ERROR: \"DTCP\\GUID\\MACID\\Config_Image.fwp\" does not exist."));
    EXPECT_TRUE(ctx_.OverrideHardwareCompatibility);
}

TEST_F(Start, TheStatusFileIsShownAfterTheFinalAttemptOnly) {
    ASSERT_EQ(Initialize(), 1);
    EXPECT_EQ(PerformUnattendedOperations({"", "/S", "/G 0A3C7E1000010002"}), 0);
    EXPECT_TRUE(State.ShowStatusOnExit);
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0], (fsys::current_path() / "script-data" / "1394_write_status.txt").string());
}

TEST_F(Start, WarningsOfTheModuleAreDroppedWhileADownloadSendsBlocks) {
    ctx_.DownloadInProgress = true;
    StatusDisplay("a warning", basDebug::WARNING);
    StatusDisplay("a watch", basDebug::WATCH);
    StatusDisplay("an error", "ERROR");
    ctx_.DownloadInProgress = false;
    StatusDisplay("a later warning", "WARNING");
    EXPECT_EQ(status_.Messages("basAutomation"), (std::vector<std::string>{"a watch", "an error", "a later warning"}));
}

TEST_F(Start, ARunWithoutACompleteDeviceListEndsWithAFailure) {
    basApp::CommandLineText = "/D PKG.FWP";
    basApp::CommandLineTokens = {"", "/D PKG.FWP"};
    basAutomation::State.AttemptWaitLimitTicks = 5;
    ASSERT_EQ(Initialize(), 1);
    for (int i = 0; i < 5; ++i) Main().tmrAutomationScheduler_Timer();
    EXPECT_TRUE(frame_->IsLoaded());
    Main().tmrAutomationScheduler_Timer();
    EXPECT_FALSE(frame_->IsLoaded());
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0], 1);
    EXPECT_NE(ReadFile("script-data/1394_write_status.txt")
                  .find(", ERROR, unspecified, No complete device list after 5 s; aborting unattended run.\r\n"),
              std::string::npos);
}

TEST_F(Start, TheProcessEndsWithTheOutcomeOfTheLastAttempt) {
    basApp::CommandLineTokens = {"", "/G 0A3C7E1000010002"};
    ASSERT_EQ(Initialize(), 1);
    bas1394::State.TopologyReady = true;
    for (int i = 0; i < 4; ++i) Main().tmrAutomationScheduler_Timer();
    EXPECT_FALSE(frame_->IsLoaded());
    EXPECT_EQ(ends_, std::vector<int>{1}) << "no target: nothing was performed";

    // Only a last attempt that succeeded with no operation failing ends with 0.
    State.LastResult = 1;
    EXPECT_EQ(ExitCode(), 1);
    State.OperationFailed = false;
    EXPECT_EQ(ExitCode(), 0);
}

}  // namespace
