// The dialog offscreen, with a stand-in downloader as ".\Imagelift.app", two buses hosted in
// this process (a Lumarel 460 on bus 0), the device store under a root of its own, which follows
// the buses as the dialog has it, and the manual clock. The downloader runs in real time, so the
// waits for it are bounded in real time.
#include <gtest/gtest.h>
#include <poll.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <regex>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "device/lumarel_node.h"
#include "clock/clock.h"
#include "devices/bus_devices.h"
#include "testing/store_fixture.h"
#include "forms/dialogs.h"
#include "tests/text_fit.h"
#include "setup/setup_dialog.h"

namespace setup {
namespace {

namespace fsys = std::filesystem;

constexpr char kDownloadArgs[] =
    "/O /B bl1394_nrxLumarel_20040606_rc1__build2538.fwp /D Lumarel_20040623_rc2_build2632.fwp";

class DialogTest : public devices::fixture::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        old_ = fsys::current_path();
        folder_ = fsys::path(root_) / "update";
        fsys::create_directories(folder_);
        fsys::current_path(folder_);
        const char* fake = std::getenv("SETUP_FAKE_DOWNLOADER");
        ASSERT_NE(fake, nullptr);
        fsys::copy_file(fake, "Imagelift.app");
        std::ofstream("1394vdev.inf") << devices::fixture::InfListing({"V1394\\1394_VIRTUAL_DEVICE"});
        std::ofstream("vsk1394api.log") << "log\n";
        bus0_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus0_.SetLocalHost("host");
        bus0_.AddNode("dev", std::make_unique<sim::lumarel::Lumarel460Node>());
        // The virtual devices the worker adds bring their interface at once, so the worker ends
        // after its first wait.
        busdev::HostBuses({&bus0_, &bus1_});
    }
    void TearDown() override {
        dialog_.reset();
        busdev::HostBuses({});
        fsys::current_path(old_);
        StoreTest::TearDown();
    }

    void Shape(const std::string& text) { std::ofstream("fake-downloader.txt") << text; }

    SetupDialog& Open() {
        dialog_ = std::make_unique<SetupDialog>();
        dialog_->Show();
        return *dialog_;
    }
    // Moves time by one timer period and lets the dialog's events run.
    void Pump() {
        clock_.Advance(100);
        forms::DoEvents();
        ::poll(nullptr, 0, 1);
    }
    template <class Pred>
    bool WaitUntil(Pred pred, int realMs = 30000) {
        static clk::RealClock real;
        const int64_t start = real.Counter();
        while (!pred()) {
            if ((real.Counter() - start) / (clk::kCounterFrequency / 1000) > realMs) return false;
            Pump();
        }
        return true;
    }
    bool ButtonEnabled() { return dialog_->cmdUpdate.Enabled(); }

    std::vector<std::string> Launches() {
        std::vector<std::string> lines;
        std::ifstream in("launches.txt");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    size_t VirtualDevices() { return bus0_.VirtualDevices().size() + bus1_.VirtualDevices().size(); }

    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    forms::ScriptedPresenter boxes_;
    forms::ScopedPresenter presenter_{boxes_};
    fsys::path old_, folder_;
    sim::Bus bus0_{0}, bus1_{1};
    std::unique_ptr<SetupDialog> dialog_;
};

TEST_F(DialogTest, BothRunsInOrderThenFinishRemovesTheVirtualDevices) {
    SetupDialog& d = Open();
    EXPECT_EQ(d.Caption(), kDialogCaption);
    EXPECT_EQ(d.lblMessage.Caption(), kNoteText);
    EXPECT_FALSE(d.cmdUninstall.Visible());
    // The dialog is laid out in dialog units of the font in use: its caption shows whole.
    EXPECT_TRUE(formstest::CaptionFits(d.cmdUpdate));
    ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
    const char* bin = std::getenv("LUMAREL_BIN");
    const fsys::path out = bin ? fsys::path(bin) / ".." / "test-output" : fsys::path(root_) / "test-output";
    fsys::create_directories(out);
    EXPECT_TRUE(d.SaveImage((out / "setup_dialog.png").string()));
    EXPECT_EQ(bus0_.VirtualDevices().size(), 1u);
    EXPECT_EQ(bus1_.VirtualDevices().size(), 1u);
    EXPECT_EQ(bus1_.VirtualDevices()[0].instance, 1u);

    d.cmdUpdate.Press();
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_EQ(d.lblMessage.Caption(), kWaitText);
    ASSERT_TRUE(WaitUntil([&] { return d.Steps().Finished(); })) << ::testing::PrintToString(Launches());

    const auto launches = Launches();
    ASSERT_EQ(launches.size(), 2u) << ::testing::PrintToString(launches);
    EXPECT_EQ(launches[0], kDownloadArgs);
    EXPECT_TRUE(std::regex_match(launches[1], std::regex("/G 0A3C7E10 0001[0-7][0-9A-F]{3}"))) << launches[1];
    EXPECT_TRUE(fsys::exists("Imagelift.app"));
    EXPECT_FALSE(fsys::exists("Imagelift.exe"));
    EXPECT_FALSE(fsys::exists("vsk1394api.log"));
    EXPECT_EQ(d.lblMessage.Caption(), kCompletedText);
    EXPECT_EQ(d.prgProgress.Value(), 1000);
    EXPECT_EQ(d.cmdUpdate.Caption(), "Finish");
    EXPECT_TRUE(formstest::CaptionFits(d.cmdUpdate));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(VirtualDevices(), 2u);
    EXPECT_TRUE(d.SaveImage((out / "setup_dialog_finished.png").string()));

    d.cmdUpdate.Press();
    EXPECT_FALSE(d.IsLoaded());
    EXPECT_EQ(VirtualDevices(), 0u);
    EXPECT_TRUE(boxes_.asked().empty());
}

TEST_F(DialogTest, DeviceSwitchedOffAtTheClickThenOn) {
    ASSERT_TRUE(bus0_.Unplug("dev"));
    SetupDialog& d = Open();
    ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
    d.cmdUpdate.Press();
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].prompt, kTurnOnText);
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbOKOnly | forms::vbExclamation);
    EXPECT_EQ(boxes_.asked()[0].title, forms::App().Title);
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_EQ(d.lblMessage.Caption(), kNoteText);
    EXPECT_TRUE(Launches().empty());

    ASSERT_TRUE(bus0_.Plug("dev"));
    for (int i = 0; i < 50; ++i) Pump();  // it starts and joins the bus
    d.cmdUpdate.Press();
    ASSERT_TRUE(WaitUntil([&] { return d.Steps().Finished(); }));
    EXPECT_EQ(Launches().size(), 2u);
    EXPECT_EQ(d.lblMessage.Caption(), kCompletedText);
}

TEST_F(DialogTest, MissingDownloaderIsADeadEndThatTheCloseBoxLeaves) {
    fsys::remove("Imagelift.app");
    SetupDialog& d = Open();
    ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
    d.cmdUpdate.Press();
    ASSERT_TRUE(WaitUntil([&] { return !boxes_.asked().empty(); }));
    EXPECT_EQ(boxes_.asked()[0].prompt, kUncompressText);
    for (int i = 0; i < 20; ++i) Pump();
    EXPECT_EQ(boxes_.asked().size(), 1u);  // no timer runs any more
    EXPECT_FALSE(ButtonEnabled());
    EXPECT_TRUE(Launches().empty());

    d.WindowWidget()->close();
    EXPECT_FALSE(d.IsLoaded());
    EXPECT_EQ(VirtualDevices(), 0u);
}

TEST_F(DialogTest, AFailedDownloadRunSkipsTheGuidRunAndSaysSo) {
    Shape("fail=download\n");
    SetupDialog& d = Open();
    ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
    d.cmdUpdate.Press();
    ASSERT_TRUE(WaitUntil([&] { return d.Steps().Finished(); }));
    EXPECT_EQ(Launches(), std::vector<std::string>{kDownloadArgs});
    EXPECT_EQ(d.lblMessage.Caption(), kFailedText);
    EXPECT_EQ(d.cmdUpdate.Caption(), "Finish");
    EXPECT_TRUE(fsys::exists("Imagelift.app"));
    EXPECT_FALSE(fsys::exists("vsk1394api.log"));
}

TEST_F(DialogTest, ASlowStartIsFollowedByItsProcessSoTheGuidRunIsNotRefused) {
    // The frame shows long after the caption wait gave up (5.5 s of the dialog's time pass at
    // once on the manual clock).
    Shape("start=400\nframe=50\n");
    SetupDialog& d = Open();
    ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
    d.cmdUpdate.Press();
    ASSERT_TRUE(WaitUntil([&] { return d.Steps().Finished(); }));
    const auto launches = Launches();
    ASSERT_EQ(launches.size(), 2u) << ::testing::PrintToString(launches);
    EXPECT_EQ(launches[1].rfind("/G ", 0), 0u);
    EXPECT_EQ(d.lblMessage.Caption(), kCompletedText);
}

// A driver that cannot be installed leaves the virtual devices without their interface: when the
// worker's wait is over the update is offered all the same, and a message box says why it may
// fail. So it goes whether or not a downloader left its own virtual device (without a driver) on
// the bus before.
TEST_F(DialogTest, AFailedDriverInstallIsReportedWhenTheWaitEnds) {
    devices::AddFault("SetupCopyOEMInf=5");
    for (const bool downloaderRanBefore : {false, true}) {
        SCOPED_TRACE(downloaderRanBefore ? "after a downloader run" : "on a fresh machine");
        const size_t before = boxes_.asked().size();
        if (downloaderRanBefore) bus0_.AddVirtualDevice("1394_VIRTUAL_DEVICE", 0);
        SetupDialog& d = Open();
        ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
        ASSERT_EQ(boxes_.asked().size(), before + 1);
        EXPECT_EQ(boxes_.asked().back().prompt, kNoVirtualDeviceText);
        EXPECT_EQ(boxes_.asked().back().buttons, forms::vbOKOnly | forms::vbExclamation);
        EXPECT_EQ(d.lblMessage.Caption(), kNoteText);
        EXPECT_EQ(VirtualDevices(), 2u);
        EXPECT_FALSE(InfExists("oem0.inf"));
        int virtualNodes = 0;
        for (const auto& n : devices::ListNodes()) {
            if (n.hardwareIds[0] != "V1394\\1394_VIRTUAL_DEVICE") continue;
            ++virtualNodes;
            EXPECT_TRUE(n.interfaces.empty()) << n.instanceId;
        }
        EXPECT_EQ(virtualNodes, 2);
        d.Unload();
        EXPECT_EQ(boxes_.asked().size(), before + 1);
    }
}

// Every downloader run leaves its virtual device on the bus, and on a machine where the driver
// was never installed that device has none. The dialog installs the INF all the same, which
// gives the device its driver: its interface comes up, so the worker ends at its next poll
// instead of its last, and no box warns.
TEST_F(DialogTest, TheVirtualDeviceADownloaderLeftGetsTheDriverAndTheUpdateIsOfferedAtOnce) {
    bus0_.AddVirtualDevice("1394_VIRTUAL_DEVICE", 0);
    SetupDialog& d = Open();
    ASSERT_TRUE(WaitUntil([&] { return d.WorkerDone(); }));
    EXPECT_TRUE(ButtonEnabled());
    EXPECT_TRUE(boxes_.asked().empty()) << boxes_.asked().front().prompt;
    for (const auto& n : devices::ListNodes())
        if (n.hardwareIds[0] == "V1394\\1394_VIRTUAL_DEVICE") {
            EXPECT_TRUE(devices::HasInstalledDriver(n)) << n.instanceId;
        }
}

// Enter, Esc, the close box and the hidden uninstall button all run the one cleanup, which also
// leaves the device store without the virtual devices.
TEST_F(DialogTest, EveryWayOutRemovesTheVirtualDevices) {
    const std::vector<std::function<void(SetupDialog&)>> ways = {
        [](SetupDialog& d) {
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
            QApplication::sendEvent(d.WindowWidget(), &enter);
        },
        [](SetupDialog& d) {
            QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, "\x1b");
            QApplication::sendEvent(d.WindowWidget(), &esc);
        },
        [](SetupDialog& d) { d.WindowWidget()->close(); },
        [](SetupDialog& d) { d.cmdUninstall.Press(); },
    };
    for (size_t i = 0; i < ways.size(); ++i) {
        SetupDialog& d = Open();
        ASSERT_TRUE(WaitUntil([&] { return ButtonEnabled(); }));
        ASSERT_EQ(VirtualDevices(), 2u);
        ways[i](d);
        EXPECT_FALSE(d.IsLoaded()) << i;
        EXPECT_EQ(VirtualDevices(), 0u) << i;
        for (const auto& n : devices::ListNodes()) EXPECT_NE(n.hardwareIds[0], "V1394\\1394_VIRTUAL_DEVICE") << i;
    }
}

// The worker is stopped and joined before the removals, whether it is still adding its devices
// or already waiting for an interface that never comes; it never enables the button afterwards.
TEST_F(DialogTest, ClosingWhileTheWorkerRunsLeavesNoDeviceBehind) {
    for (const auto& n : devices::ListNodes())
        if (n.hardwareIds[0] == "V1394\\1394_VIRTUAL_DEVICE") devices::RemoveNode(n.serial);
    for (bool waitForAdds : {false, true}) {
        SetupDialog& d = Open();
        if (waitForAdds) {
            ASSERT_TRUE(WaitUntil([&] { return VirtualDevices() == 2; }));
        }
        d.Unload();
        EXPECT_EQ(VirtualDevices(), 0u) << waitForAdds;
        for (int i = 0; i < 20; ++i) Pump();
        EXPECT_FALSE(ButtonEnabled()) << waitForAdds;
        EXPECT_FALSE(d.WorkerDone()) << waitForAdds;
    }
}

}  // namespace
}  // namespace setup
