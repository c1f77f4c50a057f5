// Start-up and shut-down with the real frame and main window, the real access library hosting
// the default bus (the local host and one Lumarel 460 in its bootloader) in this process, and
// the manual clock: every step in order, the first device list, one shut-down whichever window
// starts it, a refused second instance, stored values that are not numbers, the data folder of
// a program run from a network path, and messages that wait for nobody when the command line
// asks for an unattended run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QCoreApplication>
#include <filesystem>
#include <fstream>

#include "app/bas_app.h"
#include "windows/config_rom_viewer.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "automation/automation.h"
#include "tests/app_fixture.h"
#include "bootloader/module.h"
#include "bus1394/node_records.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "forms/forms.h"
#include "kernel/mutex.h"
#include "support/db_manager.h"
#include "tests/app/imagelift_process.h"

namespace {

namespace fsys = std::filesystem;

const char kCaption[] = "Downloader / Shell Application v1.8.41 (Engineering Version) (NRX Custom Build)";

class Startup : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        status_.lines.clear();
        ctx_.StatusWindow0 = nullptr;  // the program's own status window 0 takes the lines
        ctx_.DebugLoggingLevel = 5;
        cwd_ = fsys::current_path();
        program_ = fsys::path(root_) / "bin";
        fsys::create_directories(program_);
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr);
        fsys::copy_file(fsys::path(bin) / "db1_clean.mdb", program_ / "db1_clean.mdb");
        fsys::create_symlink(fsys::path(bin) / "Vsk1394api.dll", program_ / "Vsk1394api.dll");
        fs::OverrideProgramFolder(program_.string());
        ::setenv("LUMAREL_BUS_INPROCESS", "default", 1);
        basApp::SetEndProcess([this](int code) { ends_.push_back(code); });
    }

    void TearDown() override {
        // A start-up that ended half-way leaves its frame, the module and the library to close:
        // the program state's teardown does, before the program folder goes.
        programState_.Teardown();
        fs::OverrideProgramFolder("");
        ::unsetenv("LUMAREL_BUS_INPROCESS");
        fsys::current_path(cwd_);
        AppTest::TearDown();
    }

    // Lets the program run for `ms` of its clock: timers tick, posted messages are delivered.
    void RunFor(int ms) {
        for (int t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            forms::DoEvents();
        }
    }

    // The status log as stored in the program folder's "db1.mdb".
    std::vector<imagelifttest::LogRow> Log() const { return imagelifttest::ReadStatusLog(program_ / "db1.mdb"); }
    bool Logged(const std::string& part) const { return imagelifttest::FindRow(Log(), part).has_value(); }

    void StoreSetting(const std::string& key, const std::string& value) {
        clsDbManager store(program_, nullptr);
        store.SaveSetting("Imagelift", "Global", key, value);
    }

    fsys::path cwd_, program_;
    std::vector<int> ends_;
};

TEST_F(Startup, RunsEveryStepListsTheBusAndShutsDownOnceFromTheFrame) {
    basApp::Main("");
    ASSERT_TRUE(ends_.empty());
    MDIForm1* frame = basApp::Frame();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->Caption(), kCaption);
    // Published for the update utility: the frame by its caption.
    EXPECT_TRUE(user::FindTopWindow(std::nullopt, std::string(kCaption)).has_value());
    EXPECT_NE(basApp::MainChildForm, nullptr);
    EXPECT_EQ(fsys::current_path(), program_);
    ASSERT_NE(ctx_.DbManager, nullptr);
    EXPECT_NE(bas1394::State.LibraryModule, 0);
    EXPECT_TRUE(basApp::CommandLineText.empty());
    EXPECT_EQ(basApp::CommandLineTokens, std::vector<std::string>{""});
    EXPECT_TRUE(boxes_.asked().empty());

    // The first device list comes with the bus-reset timer's first ticks.
    EXPECT_TRUE(bas1394::State.BusResetPending.load());
    RunFor(3000);
    EXPECT_TRUE(bas1394::State.TopologyReady.load());
    EXPECT_FALSE(bas1394::State.BusResetPending.load());
    const auto rows = Log();
    EXPECT_TRUE(imagelifttest::HasDeviceList(rows, imagelifttest::kLumarelInBootloader));

    // The program's file name (here the test's) names it in the start line.
    const auto started = imagelifttest::FindRow(rows, "Started " + ctx_.App.EXEName + " version 1.8.41 at ");
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->level, 13);
    EXPECT_EQ(started->module, "basApp");
    EXPECT_FALSE(imagelifttest::FindRow(rows, "Command line options = ").has_value());
    EXPECT_TRUE(imagelifttest::FindRow(rows, "Default 1394 transaction timeout = 200").has_value());
    for (const char* line : {"Initializing the bootloader module...", "The bootloader module has been initialized.",
                             "Initializing the debugger module...", "The debugger module has been initialized."})
        EXPECT_TRUE(imagelifttest::FindRow(rows, line).has_value()) << line;
    EXPECT_FALSE(imagelifttest::FindRow(rows, "HookSystemModule failed").has_value());

    frame->mnuExit_Click();
    EXPECT_EQ(ends_, std::vector<int>{0});
    EXPECT_EQ(bas1394::State.LibraryModule, 0);
    EXPECT_EQ(ctx_.DbManager, nullptr);
    EXPECT_EQ(basApp::MainChildForm, nullptr);
    EXPECT_FALSE(frame->IsLoaded());
    EXPECT_TRUE(Logged("Closing database..."));
}

TEST_F(Startup, ClosingTheMainWindowShutsDownOnce) {
    basApp::Main("");
    ASSERT_NE(basApp::MainChildForm, nullptr);
    RunFor(500);
    forms::Form* main = nullptr;
    for (forms::Form* f : basApp::Frame()->ChildForms())
        if (f->Name == "frmMain") main = f;
    ASSERT_NE(main, nullptr);
    main->Unload(forms::vbFormControlMenu);
    EXPECT_EQ(ends_, std::vector<int>{0});
    EXPECT_FALSE(basApp::Frame()->IsLoaded());
    // Nothing more to do for a second request.
    basApp::ShutDown();
    EXPECT_EQ(ends_, std::vector<int>{0});
}

TEST_F(Startup, EveryLineCountsItsRunTimeFromTheStartOfMain) {
    clock_.Advance(5000);  // the process ran a while before Main
    basApp::Main("");
    ASSERT_NE(basApp::MainChildForm, nullptr);
    clock_.Advance(1234);
    // The central logger and the main window's route to every status window, at one moment.
    basDebug::DebugLog("through the central logger", basDebug::USER, std::string("test"));
    basApp::MainChildForm->StatusDisplay("through the main window", basDebug::USER, std::string("test"));
    const auto rows = Log();
    const auto central = imagelifttest::FindRow(rows, "through the central logger");
    const auto window = imagelifttest::FindRow(rows, "through the main window");
    ASSERT_TRUE(central.has_value());
    ASSERT_TRUE(window.has_value());
    EXPECT_EQ(central->runTime, window->runTime);
    EXPECT_GE(central->runTime, 1234);
    EXPECT_LT(central->runTime, 5000) << "counted from Main, not from the process's start";
    basApp::Frame()->mnuExit_Click();
}

TEST_F(Startup, ASecondInstanceIsRefusedBeforeAnythingElse) {
    const kernel::Handle first = kernel::CreateMutex(false, "Imagelift.Instance");
    ASSERT_NE(first, 0);
    basApp::Main("/O");
    EXPECT_EQ(ends_, std::vector<int>{0});
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].prompt, "There is already an instance of Imagelift running.  Cannot run a second instance.");
    EXPECT_EQ(boxes_.asked()[0].title, "Multiple Instances of Imagelift");
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbOKOnly);
    EXPECT_EQ(basApp::Frame(), nullptr);
    EXPECT_EQ(ctx_.DbManager, nullptr);
    EXPECT_FALSE(fsys::exists(program_ / "db1.mdb"));
    kernel::CloseHandle(first);
}

TEST_F(Startup, StoredGlobalValuesThatAreNotNumbersKeepTheirDefaults) {
    struct Case {
        const char* key;
        const char* stored;
        int32_t ProgramContextValue;
        bool warned;
    };
    const std::vector<Case> cases = {
        {"DebugLoggingLevel", "abc", 5, true},
        {"DebugMessageLevel", "", 7, false},  // empty: the default
        {"DllMessageLevel", "9", 9, false},
        {"Default1394TransactionTimeout", "-5", 200, false},
        {"Default1394TransactionTimeout", "0", 0, false},
        {"Default1394TransactionTimeout", "1e12", 200, true},  // overflow
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.stored);
        fsys::remove(program_ / "db1.mdb");
        fsys::copy_file(program_ / "db1_clean.mdb", program_ / "db1.mdb");
        StoreSetting(c.key, c.stored);
        ends_.clear();
        basApp::Main("");
        ASSERT_NE(basApp::Frame(), nullptr) << "start-up went on";
        const std::string key = c.key;
        const int32_t value = key == "DebugLoggingLevel"   ? ctx_.DebugLoggingLevel
                              : key == "DebugMessageLevel" ? ctx_.DebugMessageLevel
                              : key == "DllMessageLevel"   ? ctx_.DllMessageLevel
                                                           : ctx_.Default1394TransactionTimeout;
        EXPECT_EQ(value, c.ProgramContextValue);
        if (key == "Default1394TransactionTimeout") {
            EXPECT_EQ(ctx_.ConfigRomTimeout, c.ProgramContextValue);
        }
        const auto warning = imagelifttest::FindRow(Log(), "The stored setting \"Global\", \"" + key + "\"");
        EXPECT_EQ(warning.has_value(), c.warned);
        if (warning) {
            EXPECT_EQ(warning->level, 7);
        }
        basApp::Frame()->mnuExit_Click();
        EXPECT_EQ(ends_, std::vector<int>{0});
        basApp::internal::ForgetRun();
    }
}

TEST_F(Startup, FromANetworkPathTheFirstDataFolderFoundBecomesCurrent) {
    fs::OverrideProgramFolder("\\\\SRV\\APP");
    const fsys::path c = fsys::path(root_) / "drives" / "c" / "Program Files" / "Imagelift";
    const fsys::path d = fsys::path(root_) / "drives" / "d" / "Program Files" / "Downloader";
    fsys::create_directories(c);
    fsys::create_directories(d);
    basApp::Main("");
    EXPECT_EQ(fsys::current_path(), d);
    ASSERT_GE(boxes_.asked().size(), 1u);
    // No main window yet: the USER line is a box, the WATCH line before it is not shown.
    EXPECT_EQ(boxes_.asked()[0].prompt, "Using D:\\Program Files\\Downloader for the local data path.");
    EXPECT_EQ(boxes_.asked()[0].title, "basApp Message: USER level");
    // The store opened in the data folder.
    ASSERT_NE(ctx_.DbManager, nullptr);
    EXPECT_EQ(ctx_.DbManager->Folder(), d);
}

TEST_F(Startup, FromANetworkPathWithoutADataFolderTheUserIsTold) {
    fs::OverrideProgramFolder("\\\\SRV\\APP");
    basApp::Main("");
    EXPECT_EQ(fsys::current_path(), cwd_);
    ASSERT_GE(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].prompt,
              "Could not find an install path on the local PC that contains the downloader information.  "
              "The application might not operate properly under these circumstances.");
}

// The lines of the unattended run's status file, in the data folder (here the program folder).
std::vector<std::string> StatusFileLinesIn(const fsys::path& folder) {
    std::vector<std::string> lines;
    std::ifstream in(folder / "script-data" / "1394_write_status.txt", std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(Startup, ASecondInstanceAskedForAnOperationEndsWithAFailureAndWaitsForNobody) {
    const kernel::Handle first = kernel::CreateMutex(false, "Imagelift.Instance");
    ASSERT_NE(first, 0);
    basApp::Main("/B PKG.FWP");
    kernel::CloseHandle(first);
    EXPECT_EQ(ends_, std::vector<int>{1});
    EXPECT_TRUE(boxes_.asked().empty());
    EXPECT_EQ(basApp::Frame(), nullptr);
    EXPECT_FALSE(ctx_.AutomationMode);
    EXPECT_TRUE(StatusFileLinesIn(program_).empty());
}

TEST_F(Startup, AnUnattendedRunWhoseStartUpFailsEndsAtOnceThroughTheFrame) {
    fsys::remove(program_ / "Vsk1394api.dll");  // the access library is missing
    basApp::Main("/B PKG.FWP");
    EXPECT_EQ(ends_.size(), 1u) << "the run ends, through the frame's unload and the shut-down";
    ASSERT_NE(basApp::Frame(), nullptr);
    EXPECT_FALSE(basApp::Frame()->IsLoaded());
    bool found = false;
    for (const auto& line : StatusFileLinesIn(program_))
        found |= line.find(", ERROR, basApp, ERROR #53: ") != std::string::npos &&
                 line.find(" in Main.  Exiting initialization abnormally.") != std::string::npos;
    EXPECT_TRUE(found);
}

TEST_F(Startup, AnUnattendedRunWaitsForNobodyBeforeItsStatusFileIsOpen) {
    // No store to open: the store's message about it would be a box.
    fsys::remove(program_ / "db1_clean.mdb");
    basApp::Main("/b pkg.fwp");
    EXPECT_TRUE(ends_.empty());
    EXPECT_TRUE(boxes_.asked().empty()) << boxes_.asked()[0].prompt;
    EXPECT_TRUE(ctx_.AutomationMode);
    EXPECT_EQ(basApp::CommandLineText, "/B PKG.FWP");
    // The held message reached the status file as an ERROR line once it was open.
    basAutomation::Shutdown();
    bool found = false;
    for (const auto& line : StatusFileLinesIn(program_))
        found = found || (line.find("ERROR, basApp, The database file (db1.mdb or alternatively db1_clean.mdb) cannot be found.") !=
                          std::string::npos);
    EXPECT_TRUE(found);
}

TEST_F(Startup, AnUnattendedRunThatCannotStartEndsTheProcessWithoutShutDown) {
    // A folder that is not empty stands where the status file goes: the run cannot open it.
    fsys::create_directories(program_ / "script-data" / "1394_write_status.txt" / "occupied");
    basApp::Main("/B pkg.fwp");
    EXPECT_EQ(ends_, std::vector<int>{1});
    EXPECT_FALSE(Logged("Started Imagelift"));
    EXPECT_EQ(bas1394::State.LibraryModule, 0);
}

TEST_F(Startup, AnInteractiveRunShowsItsMessages) {
    fsys::remove(program_ / "db1_clean.mdb");
    basApp::Main("/O");
    ASSERT_GE(boxes_.asked().size(), 1u);
    EXPECT_NE(boxes_.asked()[0].prompt.find("cannot be found"), std::string::npos);
}

// The config ROM viewer on a bus where another maker's node comes before the device: the node
// table leaves that node out, so the device's place in the table is not its node number.
class ConfigRomViewer : public Startup {};

TEST_F(ConfigRomViewer, FindsANodeByItsNumber) {
    const fsys::path description = fsys::path(root_) / "bus.json";
    std::ofstream(description) << R"({"nodes": [{"id": "host", "kind": "host"},
        {"id": "other", "kind": "foreign", "vendor": "Other Maker", "model": "Camera"},
        {"id": "dev", "kind": "lumarel460", "mode": "bootloader"}],
        "virtual_devices": ["1394_VIRTUAL_DEVICE"]})";
    ::setenv("LUMAREL_BUS_INPROCESS", description.c_str(), 1);
    basApp::Main("");
    RunFor(3000);
    ASSERT_TRUE(imagelifttest::HasDeviceList(Log(), imagelifttest::kLumarelInBootloader));
    ASSERT_EQ(bas1394::State.NodeTable.size(), 2u);
    ASSERT_EQ(bas1394::State.NodeTable[1].NodeNumber, 2);

    frmConfigROM viewer;
    viewer.Show();
    auto texts = [&] {
        std::vector<std::string> out;
        for (int32_t i = 1; i <= viewer.trvConfigRomAppleFormat.Nodes.Count(); ++i)
            out.push_back(viewer.trvConfigRomAppleFormat.Nodes(i).Text());
        return out;
    };
    viewer.NodeNum(2);
    const auto rom = texts();
    ASSERT_GT(rom.size(), 10u);
    EXPECT_EQ(rom[0], "BUS INFO BLOCK");
    EXPECT_NE(std::find(rom.begin(), rom.end(), "\"LUMA Rel Bootloader\""), rom.end());

    // The foreign node is not in the table; -1 is no node at all.
    for (int32_t n : {1, -1}) {
        viewer.NodeNum(n);
        const std::string line = "frmConfigROM: Invalid Node Number: " + std::to_string(n);
        EXPECT_EQ(texts(), std::vector<std::string>{line});
        const auto logged = imagelifttest::FindRow(Log(), line);
        ASSERT_TRUE(logged.has_value());
        EXPECT_EQ(logged->level, 11);
        EXPECT_EQ(logged->module, "frmConfigROM");
    }
    viewer.Unload();
    basApp::Frame()->mnuExit_Click();
    EXPECT_EQ(ends_, std::vector<int>{0});
}

}  // namespace
