// The unattended operations on simulated Lumarel 460s: target choice, the reset into the
// bootloader and the retry, downloads, identity from files and from the command line.
#include "tests/automation_fixture.h"

#include <sys/stat.h>

#include "app/bas_app.h"
#include "vbrt/convert.h"

namespace autotest {
namespace {

using namespace basAutomation;
using sim::lumarel::Lumarel460;
using sim::lumarel::Mode;

class Unattended : public AutomationTest {
protected:
    // One device "d", running its application when `application`.
    void OneDevice(bool application) {
        AddDevice("d");
        if (application) {
            Dev("d", [&](Lumarel460& d) {
                InstallApplication(d, Pattern(2048, 9));
                d.PowerCycle();
            });
        }
        SettleAndRescan();
        ASSERT_EQ(ModeOf("d"), application ? Mode::Application : Mode::Bootloader);
        ClearLines();
    }
    nlohmann::json Describe(const std::string& id) {
        nlohmann::json j;
        Dev(id, [&](Lumarel460& d) { j = d.Describe(); });
        return j;
    }
    // The interpreter's attempts as the scheduler makes them, a device-list rebuild between two.
    std::vector<int32_t> Attempts(const std::vector<std::string>& tokens, int most = 6) {
        std::vector<int32_t> results;
        for (int i = 0; i < most; ++i) {
            results.push_back(PerformUnattendedOperations(tokens));
            if (results.back() != 2) break;
            SettleAndRescan();
        }
        return results;
    }
};

TEST_F(Unattended, TargetCountSkipsTargetsNotOnTheBusOrNotOpenedAndMatchesAGuid) {
    using basBootloader::BootloaderTarget;
    auto target = [](int16_t node, int32_t handle, uint8_t tail, int32_t mode) {
        BootloaderTarget t;
        t.Device.NodeNumber = node;
        t.Handle = handle;
        t.Info.Guid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, tail};
        t.Info.BootloaderVersion = mode;
        return t;
    };
    basBootloader::State.TargetList = {target(bas1394::kNoNode, 63, 1, 5), target(1, -101, 2, 5), target(2, 0, 3, 5),
                                       target(3, 66, 4, 0), target(4, 67, 5, 7)};
    int32_t handle = 0, mode = 0;
    EXPECT_EQ(GetNumCompatibleTargets("", handle, mode), 2);
    EXPECT_EQ(handle, 67);  // the last one counted
    EXPECT_EQ(mode, 7);
    EXPECT_EQ(GetNumCompatibleTargets("0A3C7E1000010004", handle, mode), 1);
    EXPECT_EQ(handle, 66);
    EXPECT_EQ(mode, 0);
    EXPECT_EQ(GetNumCompatibleTargets("0A3C7E1000010001", handle, mode), 0) << "that target left the bus";
    EXPECT_EQ(GetNumCompatibleTargets("0a3c7e1000010004", handle, mode), 0) << "hex digits compare exactly";
}

TEST_F(Unattended, DownloadFromApplicationModeResetsThenProgramsImageConfigAndBootloaderAndStarts) {
    OneDevice(true);
    const auto app = Pattern(3000, 1), cne = Pattern(300, 2), boot = Pattern(1500, 3);
    Package(fwp::PackageBuilder().Image1(app, 0x10000000).Config(cne), "app.fwp");
    Package(fwp::PackageBuilder().Image1(boot, 0x00000000), "bl.fwp");
    EXPECT_EQ(Attempts({"", "/O", "/B BL.FWP", "/D APP.FWP"}), (std::vector<int32_t>{2, 1}));
    EXPECT_TRUE(ctx_.OverrideHardwareCompatibility);

    const auto lines = Messages();
    const std::vector<std::string> expected = {
        "Override Hardware Compatibility checking is enabled.",
        "The device is running in application mode.  Resetting the device to bootloader mode and re-starting the "
        "process...",
        "Override Hardware Compatibility checking is enabled.",
        "Successfully programmed image from APP.FWP to the device.",
        "Successfully programmed CNE from APP.FWP to the device.",
        "Successfully set CNE to factory default.",
        "Successfully programmed new bootloader firmware image.",
    };
    std::vector<std::string> mine;
    for (const auto& l : all_.lines)
        if (l.module == "basAutomation" && l.level >= basDebug::USER) mine.push_back(l.message);
    EXPECT_EQ(mine, expected);

    clock_.Advance(200);  // the application starts: the device leaves and joins again
    const auto j = Describe("d");
    EXPECT_EQ(j["mode"], "application");
    EXPECT_EQ(j["slots"][0]["length"], app.size());
    EXPECT_EQ(j["slots"][1]["length"], cne.size());
    EXPECT_EQ(j["slots"][3]["length"], boot.size());
    EXPECT_EQ(j["persistent"]["factory_default_loads"], 1);
    EXPECT_EQ(State.LastResult, 1);
    EXPECT_EQ(ExitCode(), 0);
}

TEST_F(Unattended, APackageWithoutConfigurationSkipsFactoryDefaultsAndTheBootloaderFollows) {
    OneDevice(false);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "app.fwp");
    Package(fwp::PackageBuilder().Image1(Pattern(512, 3), 0), "bl.fwp");
    EXPECT_EQ(PerformUnattendedOperations({"", "/D APP.FWP", "/B BL.FWP"}), 1);
    EXPECT_TRUE(Find("File does not contain a CNE (configuration data): APP.FWP"));
    EXPECT_FALSE(Find("factory default"));
    EXPECT_TRUE(Find("Successfully programmed new bootloader firmware image."));
}

TEST_F(Unattended, GuidFromTheCommandLineTakesThreeAttemptsFromApplicationMode) {
    OneDevice(true);
    const std::vector<std::string> tokens = {"", "/G 0A3C7E10 0001ABCD"};
    EXPECT_EQ(Attempts(tokens), (std::vector<int32_t>{2, 2, 1}));
    EXPECT_EQ(State.GuidText, "0A3C7E100001ABCD");
    EXPECT_EQ(Count("Successfully Initialized the Persistent Parameters."), 1);
    EXPECT_TRUE(Find("Successfully set the GUID to the new value."));
    clock_.Advance(200);
    const auto j = Describe("d");
    EXPECT_EQ(j["guid"], "0A3C7E100001ABCD");
    EXPECT_EQ(j["persistent"]["initializations"], 1);
    EXPECT_EQ(j["mode"], "application");

    // Later attempts in the same process never initialise the parameters again.
    SettleAndRescan();
    EXPECT_EQ(Attempts(tokens), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(Describe("d")["persistent"]["initializations"], 1);
}

TEST_F(Unattended, IdentityTextsThatAreNotExactlyTheirDigitsLeaveTheDeviceUntouched) {
    OneDevice(false);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "DTCP/GUID/MACID/Config_Image.fwp");
    struct Case {
        const char* guidFile;
        const char* macFile;
        const char* error;
    } cases[] = {
        {"0A3C7E10,00010002\r\n", "00 11 22 33 44 55\r\n", "ERROR: invalid GUID text '0A3C7E10' (expected 16 hex digits)"},
        {"0A3C7E100001000\r\n", "001122334455", "ERROR: invalid GUID text '0A3C7E100001000'"},
        {"0A3C7E10000100023\r\n", "001122334455", "ERROR: invalid GUID text"},
        {"0A3C7E10 0001000G\r\n", "001122334455", "ERROR: invalid GUID text"},
        {"0A3C7E10 00010002\r\n", "0011223344", "ERROR: invalid MAC text '0011223344' (expected 12 hex digits)"},
        {"0A3C7E10 00010002\r\n", "00112233445566", "ERROR: invalid MAC text"},
    };
    basApp::CommandLineText = "/A";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.guidFile + std::string(" / ") + c.macFile);
        ClearLines();
        Text("DTCP/GUID/MACID/GUID.txt", c.guidFile);
        Text("DTCP/GUID/MACID/MACID.txt", c.macFile);
        EXPECT_EQ(PerformUnattendedOperations({"", "/A"}), -1);
        EXPECT_TRUE(Find(c.error));
        const auto j = Describe("d");
        EXPECT_EQ(j["persistent"]["initializations"], 0);
        EXPECT_EQ(j["slots"][0]["length"], 0);
        EXPECT_EQ(j["guid"], "0A3C7E1000010001");
    }
    // A command-line GUID of 15 digits: nothing reaches the device either.
    ClearLines();
    EXPECT_EQ(PerformUnattendedOperations({"", "/G 0A3C7E10 0001ABC"}), -1);
    EXPECT_TRUE(Find("ERROR: invalid GUID text '0A3C7E100001ABC' (expected 16 hex digits).  Can't perform operation!"));
    EXPECT_EQ(Describe("d")["persistent"]["initializations"], 0);
    basApp::CommandLineText.clear();
}

TEST_F(Unattended, GuidAndMacFromFilesAreProgrammedInTheTargetsByteOrder) {
    OneDevice(false);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000).Config(Pattern(64, 4)),
            "DTCP/GUID/MACID/Config_Image.fwp");
    Text("DTCP/GUID/MACID/GUID.txt", "  \"0A3C7E10 00010002\"\r\n");
    Text("DTCP/GUID/MACID/MACID.txt", "00 11 22 33 44 55\r\n");
    basApp::CommandLineText = "/A";
    EXPECT_EQ(PerformUnattendedOperations({"", "/A"}), 1);
    basApp::CommandLineText.clear();
    EXPECT_FALSE(Find("cannot be used with other"));
    clock_.Advance(200);
    const auto j = Describe("d");
    EXPECT_EQ(j["guid"], "0A3C7E1000010002");
    EXPECT_EQ(j["mac"], "001122334455");
    EXPECT_EQ(j["persistent"]["initializations"], 1);
}

TEST_F(Unattended, AFileThatIsNotAPackageFailsBeforeAnyDeviceStep) {
    OneDevice(true);
    Text("NOTAPACKAGE.FWP", std::string(400, 'x'));
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000).TruncateTo(100), "SHORT.FWP");
    for (const char* name : {"NOTAPACKAGE.FWP", "SHORT.FWP"}) {
        ClearLines();
        EXPECT_EQ(PerformUnattendedOperations({"", std::string("/D ") + name}), -1);
        EXPECT_TRUE(Find(std::string("ERROR: \"") + name + "\" is not a valid firmware package.  Can't perform operation!"));
        EXPECT_FALSE(Find("application mode")) << "the device was not reset";
        EXPECT_EQ(ModeOf("d"), Mode::Application);
    }
    EXPECT_EQ(ExitCode(), 1);
}

// A package with neither an application image nor a configuration would program nothing and
// read as a success.
TEST_F(Unattended, APackageThatHoldsNoImageFailsBeforeAnyDeviceStep) {
    OneDevice(true);
    Package(fwp::PackageBuilder(), "EMPTY.FWP");
    EXPECT_EQ(PerformUnattendedOperations({"", "/D EMPTY.FWP"}), -1);
    EXPECT_TRUE(Find("ERROR: \"EMPTY.FWP\" contains neither an application image nor a CNE (configuration data).  "
                     "Can't perform operation!"));
    EXPECT_FALSE(Find("application mode")) << "the device was not reset";
    EXPECT_EQ(ExitCode(), 1);

    // Called on its own, the step refuses it as well.
    SettleAndRescan();
    int32_t handle = 0, mode = 0;
    ASSERT_EQ(GetNumCompatibleTargets("", handle, mode), 1);
    EXPECT_EQ(ProgramImageAndCneFromFile(handle, "EMPTY.FWP"), -1);
}

// A FIFO where a file belongs (a package, GUID.txt, MACID.txt) would block the run for ever on
// its first read: each is refused before anything reaches the device.
TEST_F(Unattended, InputsThatAreNotRegularFilesAreRefused) {
    OneDevice(false);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "DTCP/GUID/MACID/Config_Image.fwp");
    Text("DTCP/GUID/MACID/GUID.txt", "0A3C7E10 00010002\r\n");
    Text("DTCP/GUID/MACID/MACID.txt", "001122334455\r\n");
    struct Case {
        const char* fifo;
        std::vector<std::string> tokens;
    } cases[] = {
        {"PIPE.FWP", {"", "/D PIPE.FWP"}},
        {"PIPE.FWP", {"", "/B PIPE.FWP"}},
        {"DTCP/GUID/MACID/GUID.txt", {"", "/A"}},
        {"DTCP/GUID/MACID/MACID.txt", {"", "/A"}},
    };
    basApp::CommandLineText = "/A";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fifo);
        ClearLines();
        const std::string kept = fsys::exists(c.fifo) ? std::string(c.fifo) + ".kept" : "";
        if (!kept.empty()) fsys::rename(c.fifo, kept);
        ASSERT_EQ(::mkfifo(c.fifo, 0600), 0);
        EXPECT_EQ(PerformUnattendedOperations(c.tokens), -1);
        EXPECT_TRUE(Find("\" is not a regular file.  Can't perform operation!"));
        fsys::remove(c.fifo);
        if (!kept.empty()) fsys::rename(kept, c.fifo);
    }
    basApp::CommandLineText.clear();
    const auto j = Describe("d");
    EXPECT_EQ(j["persistent"]["initializations"], 0);
    EXPECT_EQ(j["slots"][0]["length"], 0);
}

TEST_F(Unattended, TargetsMissingOrTooManyOrNoMatchPerformNothing) {
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "PKG.FWP");
    ASSERT_EQ(Rescan(), 1);
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP"}), 0);
    EXPECT_TRUE(Find("There are no targets on the 1394 bus that are compatible with firmware downloading from this "
                     "application."));
    EXPECT_EQ(PerformUnattendedOperations({"", "/D NOPE.FWP"}), 0);
    EXPECT_TRUE(Find("ERROR: \"NOPE.FWP\" does not exist.  Can't perform operation!"));

    AddDevice("a", boottest::Config(sim::lumarel::ProtocolVariant::V1, 1));
    AddDevice("b", boottest::Config(sim::lumarel::ProtocolVariant::V1, 2));
    SettleAndRescan();
    ClearLines();
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP"}), 0);
    EXPECT_TRUE(Find("There are 2 targets on the 1394 bus that are compatible with firmware downloading from this "
                     "application.  Cannot proceed."));
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP", "/X 0A3C7E10 00010009"}), 0);
    EXPECT_TRUE(Find("m_PerformUnattendedOperations: failed to find a match for device '0A3C7E1000010009' on the bus.  "
                     "Exiting without performing operations!"));
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP", "/X 0A3C7E1000010002"}), 1);
    Dev("a", [](Lumarel460& d) { EXPECT_TRUE(d.slot(0).Empty()); });
    Dev("b", [](Lumarel460& d) { EXPECT_FALSE(d.slot(0).Empty()); });
}

TEST_F(Unattended, ACrcMismatchFailsTheDownloadAndStartsNothing) {
    OneDevice(false);
    Dev("d", [](Lumarel460& d) { d.faults().corruptImage = true; });
    Package(fwp::PackageBuilder().Image1(Pattern(2048), 0x10000000).Config(Pattern(64)), "BADCRC.FWP");
    EXPECT_EQ(PerformUnattendedOperations({"", "/D BADCRC.FWP"}), -1);
    EXPECT_TRUE(Find("Failed to Download Image.  basBootloader.DownloadImage failed, code -1 (0xFFFFFFFF) in "
                     "ProgramImageAndCneFromFile"));
    EXPECT_TRUE(Find("ProgramImageAndCneFromFile failed, code -1(0xFFFFFFFF) in basAutomation.m_PerformUnattendedOperations"));
    EXPECT_FALSE(Find("Successfully"));
    EXPECT_EQ(ModeOf("d"), Mode::Bootloader);
    Dev("d", [](Lumarel460& d) { EXPECT_TRUE(d.slot(1).Empty()); });
}

TEST_F(Unattended, AKeyBatchWaitsForTheDownloadsResetAndRunsOnTheFinalAttempt) {
    OneDevice(true);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "PKG.FWP");
    Text("keys.txt", "read --single SERIAL\r\n");
    Dev("d", [](Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-1")); });
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP", "/R KEYS.TXT"}), 2);
    EXPECT_FALSE(fsys::exists("keys.out.txt")) << "the batch waits for the download";
    SettleAndRescan();
    EXPECT_EQ(PerformUnattendedOperations({"", "/D PKG.FWP", "/R KEYS.TXT"}), 1);
    EXPECT_TRUE(fsys::exists("KEYS.out.txt"));
    // The download started the new application: the bootloader's key cannot be read now, and
    // that FAILED row fails the run.
    EXPECT_TRUE(Find("# FAILED, code 0xFFFFFFFF"));
    EXPECT_EQ(ExitCode(), 1);
}

TEST_F(Unattended, AFailedDownloadIsNotHiddenByTheBatchThatFollowsIt) {
    OneDevice(false);
    Text("keys.txt", "read --single SERIAL\r\n");
    Dev("d", [](Lumarel460& d) { d.SetKey("SERIAL", vb::TextToBytes("SN-1")); });
    EXPECT_EQ(PerformUnattendedOperations({"", "/R KEYS.TXT"}), 1);
    EXPECT_EQ(ExitCode(), 0);
    // The batch's result is the attempt's; the missing package still fails the run.
    EXPECT_EQ(PerformUnattendedOperations({"", "/D MISSING.FWP", "/R KEYS.TXT"}), 1);
    EXPECT_FALSE(Find("# FAILED"));
    EXPECT_EQ(ExitCode(), 1);
}

TEST_F(Unattended, OptionsThatNothingCarriesOutAreReported) {
    ASSERT_EQ(Rescan(), 1);
    for (const char* token : {"/M 001122334455", "/I", "/C CFG.FWP", "/Q IMG.FWP"}) {
        ClearLines();
        EXPECT_TRUE(HasOperationOption({"", token}));
        EXPECT_EQ(PerformUnattendedOperations({"", token}), 0);
        EXPECT_TRUE(Find("Option " + std::string(token).substr(0, 2) + " is not supported; nothing was performed."));
        EXPECT_EQ(ExitCode(), 1);
    }
}

TEST_F(Unattended, AnOptionWithoutItsValueIsNamedAndNothingRuns) {
    OneDevice(true);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "PKG.FWP");
    Text("keys.txt", "read --single SERIAL\r\n");
    struct Case {
        std::vector<std::string> tokens;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"", "/D"}, "ERROR: option /D needs a file name.  Can't perform operation!"},
        {{"", "/B \"\"", "/D PKG.FWP"}, "ERROR: option /B needs a file name.  Can't perform operation!"},
        {{"", "/G"}, "ERROR: option /G needs a GUID.  Can't perform operation!"},
        {{"", "/D PKG.FWP", "/X"}, "ERROR: option /X needs a GUID.  Can't perform operation!"},
        {{"", "/R", "/D PKG.FWP"}, "ERROR: option /R needs a file name.  Can't perform operation!"},
    };
    for (const auto& c : cases) {
        ClearLines();
        EXPECT_EQ(PerformUnattendedOperations(c.tokens), -1) << c.line;
        EXPECT_TRUE(Find(c.line));
        EXPECT_FALSE(Find("application mode")) << c.line << ": the device was not reset";
        EXPECT_EQ(ExitCode(), 1);
    }
    EXPECT_EQ(ModeOf("d"), Mode::Application);
    EXPECT_FALSE(fsys::exists("KEYS.out.txt"));

    for (char letter : {'D', 'b', 'G', 'X', 'R', 'M', 'C', 'Q'}) EXPECT_TRUE(OptionTakesValue(letter)) << letter;
    for (char letter : {'O', 'S', 'I', 'A', 'F', 'Z'}) EXPECT_FALSE(OptionTakesValue(letter)) << letter;
}

// Beside an operation that succeeds, one that nothing carries out still fails the run.
TEST_F(Unattended, AnUnsupportedOptionFailsARunWhoseOtherOperationsSucceed) {
    OneDevice(false);
    Package(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000), "APP.FWP");
    EXPECT_EQ(PerformUnattendedOperations({"", "/D APP.FWP", "/M 001122334455"}), -1);
    EXPECT_TRUE(Find("Option /M is not supported; nothing was performed."));
    EXPECT_TRUE(Find("Successfully programmed image from APP.FWP to the device."));
    EXPECT_EQ(ExitCode(), 1);
}

// One package of each kind goes to the device in a run: an option that names another one in its
// place leaves the earlier one undone, which is said once (on the attempt that ends the run, not
// on the one that reset the device) and fails the run; the same package named twice is no loss.
TEST_F(Unattended, APackageThatAnotherOptionReplacesIsSaidOnceAndFailsTheRun) {
    OneDevice(true);
    Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000), "A.FWP");
    Package(fwp::PackageBuilder().Image1(Pattern(1500, 2), 0x10000000), "B.FWP");
    Package(fwp::PackageBuilder().Image1(Pattern(800, 3), 0), "BOOT1.FWP");
    Package(fwp::PackageBuilder().Image1(Pattern(900, 4), 0), "BOOT2.FWP");
    struct Case {
        std::vector<std::string> tokens;
        const char* line;  // nullptr: nothing left out
        int exitCode;
    };
    const Case cases[] = {
        {{"", "/D A.FWP", "/D B.FWP"},
         "ERROR: the package 'A.FWP' of option /D was not downloaded: option /D names 'B.FWP' in its place.", 1},
        {{"", "/B BOOT1.FWP", "/B BOOT2.FWP", "/D A.FWP"},
         "ERROR: the package 'BOOT1.FWP' of option /B was not downloaded: option /B names 'BOOT2.FWP' in its place.", 1},
        {{"", "/D A.FWP", "/D A.FWP"}, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tokens[1] + " " + c.tokens[2]);
        if (ModeOf("d") != Mode::Application) {
            Dev("d", [&](Lumarel460& d) {
                InstallApplication(d, Pattern(2048, 9));
                d.PowerCycle();
            });
            SettleAndRescan();
        }
        ClearLines();
        const auto results = Attempts(c.tokens);
        ASSERT_EQ(results.size(), 2u) << "reset, then the downloads";
        EXPECT_EQ(results.back(), c.exitCode == 0 ? 1 : -1);
        EXPECT_EQ(Count("was not downloaded"), c.line ? 1 : 0);
        if (c.line) {
            EXPECT_TRUE(Find(c.line));
        }
        EXPECT_EQ(ExitCode(), c.exitCode);
    }
}

}  // namespace
}  // namespace autotest
