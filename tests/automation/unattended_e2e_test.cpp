// Unattended runs of the built downloader as a process on the bus service, with the simulated
// Lumarel 460: the command lines the update utility and provisioning scripts give it, packages
// from the package builder, the status file read line by line, the exit code, and the device's
// state afterwards as the bus service describes it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "fwpbuild/package_builder.h"
#include "app/imagelift_process.h"
#include "bus/service_fixture.h"
#include "root/full_disk.h"

namespace {

namespace fsys = std::filesystem;
using imagelifttest::ImageliftProcess;
using nlohmann::json;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + seed + i / 251);
    return b;
}

json Host() { return json{{"id", "host"}, {"kind", "host"}}; }

json Device(const std::string& id, const std::string& guid, const std::string& mode = "bootloader") {
    return json{{"id", id}, {"kind", "lumarel460"}, {"mode", mode}, {"guid", guid}};
}

// One run: a bus service with its own root and description, a program folder that is the
// program's current folder, and the program started with a command line.
class Run : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        service_ = std::make_unique<bustest::ServiceRoot>("auto-" + name, nullptr, 60000);
        folder_ = imagelifttest::MakeProgramFolder(service_->Root() / "program");
        // The bus drivers whose presence and dates start-up checks, as an installed system has
        // them: their absence would be ERROR lines of their own in every status file.
        const fsys::path drivers = service_->Root() / "drives" / "c" / "WINDOWS" / "system32" / "drivers";
        fsys::create_directories(drivers);
        for (const char* name : {"1394vdev.sys", "1394bus.sys", "ohci1394.sys"}) {
            std::ofstream(drivers / name) << "driver";
            const timespec when[2] = {{1035547200, 0}, {1035547200, 0}};  // 2002-10-25 12:00 UTC
            ::utimensat(AT_FDCWD, (drivers / name).c_str(), when, 0);
        }
    }
    void TearDown() override {
        if (service_) service_->Stop();
    }

    // Writes the bus description (its packages must exist first) and starts the service. The
    // host's virtual device is there from the start, as on a machine where the program ran
    // before: its first run adding it would reset the bus just as the first scheduler tick
    // looks for targets, and the attempt would wait a tick longer.
    void Bus(json nodes) {
        const fsys::path description = service_->Root() / "bus.json";
        std::ofstream(description) << json{{"virtual_devices", json::array({"1394_VIRTUAL_DEVICE"})},
                                           {"nodes", std::move(nodes)}}
                                              .dump(2);
        ::setenv("LUMAREL_BUS_DESCRIPTION", description.c_str(), 1);
        ASSERT_FALSE(service_->Control(json{{"cmd", "state"}}).is_discarded());
    }
    fsys::path Package(const fwp::PackageBuilder& b, const std::string& name) {
        b.WriteTo(folder_ / name);
        return folder_ / name;
    }

    // Runs the program to its end (bounded) and reads its status file. `during`, when given,
    // acts on the running program first (a signal, a fault while it works). `env` adds to its
    // environment; its standard error goes to `errors` when that is named. `name` names
    // another program of the folder; `inChild` prepares its process before it starts (see
    // ImageliftProcess).
    void Start(const std::vector<std::string>& args, int timeoutMs = 90000,
               const std::function<void(ImageliftProcess&)>& during = {}, std::vector<std::string> env = {},
               const fsys::path& errors = {}, const std::string& name = "Imagelift",
               const std::function<bool()>& inChild = {}) {
        env.push_back("QT_QPA_PLATFORM=offscreen");
        ImageliftProcess program(folder_, args, env, name, errors, inChild);
        if (during) during(program);
        exitCode_ = program.WaitExit(timeoutMs);
        ASSERT_TRUE(exitCode_.has_value()) << "the program did not end";
        std::ifstream in(folder_ / "script-data" / "1394_write_status.txt", std::ios::binary);
        std::string line;
        lines_.clear();
        while (std::getline(in, line)) {
            ASSERT_FALSE(line.empty() || line.back() != '\r') << "every line ends with CR LF";
            line.pop_back();
            lines_.push_back(line);
        }
    }

    // True when the status file holds lines containing each part, in this order.
    ::testing::AssertionResult InOrder(const std::vector<std::string>& parts) const {
        size_t at = 0;
        for (const auto& part : parts) {
            while (at < lines_.size() && lines_[at].find(part) == std::string::npos) ++at;
            if (at == lines_.size()) return ::testing::AssertionFailure() << "missing in order: " << part << "\n" << All();
            ++at;
        }
        return ::testing::AssertionSuccess();
    }
    int Count(const std::string& part) const {
        int n = 0;
        for (const auto& l : lines_) n += l.find(part) != std::string::npos;
        return n;
    }
    // ERROR lines of the unattended operations and the bootloader layer they drive.
    int Errors() const { return Count(", ERROR, basAutomation, ") + Count(", ERROR, basBootloader, "); }
    std::string All() const {
        std::ostringstream out;
        for (const auto& l : lines_) out << l << "\n";
        return out.str();
    }

    // The device's state as the bus service's control command shows it.
    json State(const std::string& id) {
        const json state = service_->Control(json{{"cmd", "state"}});
        for (const auto& node : state.value("nodes", json::array()))
            if (node.value("id", "") == id) return node.value("state", json{});
        return json{};
    }

    std::unique_ptr<bustest::ServiceRoot> service_;
    fsys::path folder_;
    std::optional<int> exitCode_;
    std::vector<std::string> lines_;
};

TEST_F(Run, BootloaderAndApplicationFromApplicationModeWithTheRetry) {
    const auto app = Pattern(5000, 1), cne = Pattern(700, 2), boot = Pattern(3000, 3);
    Package(fwp::PackageBuilder().Image1(app, 0x10000000).Config(cne), "Lumarel_20040623_rc2_build2632.fwp");
    Package(fwp::PackageBuilder().Image1(boot, 0x00000000).HardwareModel(999), "bl1394_nrxLumarel_20040606_rc1__build2538.fwp");
    const fsys::path running = Package(fwp::PackageBuilder().Image1(Pattern(2048, 9), 0x10000000), "running.fwp");
    json dev = Device("dev", "0A3C7E1000010002", "application");
    dev["images"] = json::array({json{{"package", running.string()}}});
    Bus(json::array({Host(), dev}));

    Start({"/O", "/B", "bl1394_nrxLumarel_20040606_rc1__build2538.fwp", "/D", "Lumarel_20040623_rc2_build2632.fwp"});
    EXPECT_EQ(exitCode_, 0) << All();
    EXPECT_TRUE(InOrder({
        "USER, basApp, Started Imagelift version 1.8.41 at ",
        "USER, basAutomation, Override Hardware Compatibility checking is enabled.",
        "USER, basAutomation, The device is running in application mode.  Resetting the device to bootloader mode and "
        "re-starting the process...",
        "Node #",
        "USER, basAutomation, Override Hardware Compatibility checking is enabled.",
        "Loading new Application Image(Image1) from 'LUMAREL_20040623_RC2_BUILD2632.FWP' onto target",
        "USER, basAutomation, Successfully programmed image from LUMAREL_20040623_RC2_BUILD2632.FWP to the device.",
        "USER, basAutomation, Successfully programmed CNE from LUMAREL_20040623_RC2_BUILD2632.FWP to the device.",
        "USER, basAutomation, Successfully set CNE to factory default.",
        "Successfully loaded new Bootloader Image 'BL1394_NRXLUMAREL_20040606_RC1__BUILD2538.FWP'",
        "USER, basAutomation, Successfully programmed new bootloader firmware image.",
    }));
    EXPECT_EQ(Errors(), 0) << All();
    EXPECT_EQ(Count("The device is running in application mode."), 1);

    const json d = State("dev");
    EXPECT_EQ(d["mode"], "application");
    EXPECT_EQ(d["slots"][0]["length"], app.size());
    EXPECT_EQ(d["slots"][0]["valid"], true);
    EXPECT_EQ(d["slots"][1]["length"], cne.size());
    EXPECT_EQ(d["slots"][1]["load_address"], "0x201A0000");
    EXPECT_EQ(d["slots"][3]["length"], boot.size());
    EXPECT_EQ(d["persistent"]["factory_default_loads"], 1);
    EXPECT_EQ(d["guid"], "0A3C7E1000010002");
}

// A program started with a bus description that the running service does not host (it was
// started with another) says so, naming both: in its status file and on standard error. It goes
// on with the bus there is.
TEST_F(Run, ADescriptionTheRunningServiceDoesNotHostIsNamedAndTheRunGoesOn) {
    const auto app = Pattern(1024, 1);
    Package(fwp::PackageBuilder().Image1(app, 0x10000000), "pkg.fwp");
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    const fsys::path named = service_->Root() / "unit.json", errors = service_->Root() / "stderr.txt";
    std::ofstream(named) << json{{"nodes", json::array({Host()})}}.dump();
    Start({"/D", "pkg.fwp"}, 90000, {}, {"LUMAREL_BUS_DESCRIPTION=" + named.string()}, errors);
    EXPECT_EQ(exitCode_, 0) << All();
    const std::string said = "the bus description " + named.string() +
                             " (LUMAREL_BUS_DESCRIPTION) is not the bus of the running bus service of " +
                             service_->Root().string() + ", which started with the bus description " +
                             (service_->Root() / "bus.json").string() + " (as it read it then)";
    EXPECT_TRUE(InOrder({"ERROR, bas1394, ERROR: " + said, "Successfully programmed image from PKG.FWP"}));
    std::ifstream in(errors);
    const std::string standardError((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(standardError.find("Imagelift: " + said), std::string::npos) << standardError;
    EXPECT_EQ(State("dev")["slots"][0]["length"], app.size());
}

TEST_F(Run, GuidFromTheCommandLineInThreeAttempts) {
    const fsys::path running = Package(fwp::PackageBuilder().Image1(Pattern(2048, 9), 0x10000000), "running.fwp");
    json dev = Device("dev", "0A3C7E1000010001", "application");
    dev["images"] = json::array({json{{"package", running.string()}}});
    Bus(json::array({Host(), dev}));

    Start({"/G", "0A3C7E10", "0001ABCD"});
    EXPECT_EQ(exitCode_, 0) << All();
    EXPECT_TRUE(InOrder({"USER, basAutomation, The device is running in application mode.",
                         "USER, basAutomation, Successfully Initialized the Persistent Parameters.",
                         "USER, basAutomation, Successfully set the GUID to the new value."}));
    EXPECT_EQ(Errors(), 0) << All();
    const json d = State("dev");
    EXPECT_EQ(d["guid"], "0A3C7E100001ABCD");
    EXPECT_EQ(d["persistent"]["initializations"], 1);
    EXPECT_EQ(d["mode"], "application");
}

// A download that fails because the device's state cannot be saved (the disk under the
// service's state folder is full) leaves the state saved before it whole: the next service
// start keeps the GUID an earlier run set and the images, and sets nothing aside.
TEST_F(Run, AFullStateDiskFailsTheDownloadAndTheNextStartKeepsTheDevice) {
    const fsys::path running = Package(fwp::PackageBuilder().Image1(Pattern(512, 9), 0x10000000), "running.fwp");
    Package(fwp::PackageBuilder().Image1(Pattern(5000, 1), 0x10000000).Config(Pattern(300, 2)), "new.fwp");
    json dev = Device("dev", "0A3C7E1000010001", "application");
    dev["images"] = json::array({json{{"package", running.string()}}});
    Bus(json::array({Host(), dev}));
    Start({"/G", "0A3C7E10", "0001ABCD"});
    ASSERT_EQ(exitCode_, 0) << All();
    const json before = State("dev");
    ASSERT_EQ(before["guid"], "0A3C7E100001ABCD");

    // Room on the disk for the next state file (the device's reset into its bootloader is
    // saved) and then for the new image, but not for the state file that would name it as well
    // (not even with the running image's bytes given back).
    const json full = {{"cmd", "device"}, {"id", "dev"}, {"device_faults", {{"state_disk_free", 5000 + 200}}}};
    ASSERT_FALSE(service_->Control(full).contains("error"));
    Start({"/D", "new.fwp"});
    EXPECT_EQ(exitCode_, 1) << All();
    EXPECT_EQ(Count("Successfully programmed"), 0) << All();

    service_->Stop();  // the next request starts a service on what was saved
    const json after = State("dev");
    EXPECT_EQ(after["guid"], "0A3C7E100001ABCD");
    EXPECT_EQ(after["slots"], before["slots"]);
    EXPECT_EQ(after["persistent"], before["persistent"]);
    EXPECT_FALSE(after.contains("state_error")) << after.dump();
    const std::string log = service_->Log();
    // The reset was saved; the save that failed is the one after the new image's file.
    EXPECT_EQ(after["mode"], "bootloader");
    EXPECT_NE(log.find("saving the state of node dev failed: device state: cannot write"), std::string::npos) << log;
    EXPECT_NE(log.find("state.json.tmp: No space left on device"), std::string::npos) << log;
    EXPECT_EQ(log.find("could not be loaded"), std::string::npos) << log;
}

TEST_F(Run, AGuidOfFifteenDigitsLeavesTheDeviceUntouched) {
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    Start({"/G", "0A3C7E10", "0001ABC"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basAutomation, ERROR: invalid GUID text '0A3C7E100001ABC' (expected 16 hex digits).  "
                         "Can't perform operation!"}));
    const json d = State("dev");
    EXPECT_EQ(d["guid"], "0A3C7E1000010001");
    EXPECT_EQ(d["persistent"]["initializations"], 0);
}

TEST_F(Run, AnIncompatiblePackageIsRefusedAndNothingStarts) {
    Package(fwp::PackageBuilder().Image1(Pattern(4096, 1), 0x10000000).HardwareModel(461), "wronghw.fwp");
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    Start({"/D", "wronghw.fwp"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basBootloader, Operation aborted due to hardware incompatibility",
                         "ERROR, basAutomation, Failed to Download Image.  basBootloader.DownloadImage failed, code -1 "
                         "(0xFFFFFFFF) in ProgramImageAndCneFromFile"}));
    EXPECT_EQ(Count("Successfully"), 0) << All();
    const json d = State("dev");
    EXPECT_EQ(d["mode"], "bootloader");
    EXPECT_EQ(d["slots"][0]["length"], 0);
}

TEST_F(Run, AFileThatIsNotAPackageFails) {
    std::ofstream(folder_ / "notapackage.fwp") << std::string(1000, 'x');
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    Start({"/D", "notapackage.fwp"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basAutomation, ERROR: \"NOTAPACKAGE.FWP\" is not a valid firmware package."}));
    EXPECT_EQ(State("dev")["mode"], "bootloader");
}

TEST_F(Run, APackageNamedByItsAbsolutePathIsDownloaded) {
    const auto app = Pattern(1500, 4);
    const fsys::path elsewhere = service_->Root() / "packages" / "x";
    fsys::create_directories(elsewhere);
    fwp::PackageBuilder().Image1(app, 0x10000000).WriteTo(elsewhere / "app.fwp");
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    Start({"/D", (elsewhere / "app.fwp").string()});
    EXPECT_EQ(exitCode_, 0) << All();
    EXPECT_TRUE(InOrder({"USER, basAutomation, Successfully programmed image from "})) << All();
    EXPECT_EQ(Errors(), 0) << All();
    EXPECT_EQ(State("dev")["slots"][0]["length"], app.size());
}

TEST_F(Run, AnOptionWithoutItsFileNameIsNamedAndNothingIsWritten) {
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    Start({"/D"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basAutomation, ERROR: option /D needs a file name.  Can't perform operation!"}));
    const json d = State("dev");
    EXPECT_EQ(d["mode"], "bootloader");
    EXPECT_EQ(d["slots"][0]["length"], 0);
}

TEST_F(Run, ARunThatCannotOpenItsStatusFileEndsAtOnceWithAFailure) {
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    std::ofstream(folder_ / "script-data") << "a file where the folder belongs";
    ImageliftProcess program(folder_, {"/D", "pkg.fwp"}, {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(program.WaitExit(20000), 1) << "the program waits for a user nobody is";
}

TEST_F(Run, NoDeviceOnTheBus) {
    Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000), "pkg.fwp");
    Bus(json::array({Host()}));
    Start({"/D", "pkg.fwp"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basAutomation, There are no targets on the 1394 bus that are compatible with firmware "
                         "downloading from this application."}));
}

TEST_F(Run, TwoDevicesNeedAMatchAndTheMatchAloneIsProgrammed) {
    Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000), "pkg.fwp");
    Bus(json::array({Host(), Device("a", "0A3C7E1000010001"), Device("b", "0A3C7E1000010002")}));
    Start({"/D", "pkg.fwp"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basAutomation, There are 2 targets on the 1394 bus that are compatible with firmware "
                         "downloading from this application.  Cannot proceed."}));

    Start({"/D", "pkg.fwp", "/X", "0A3C7E1000010002"});
    EXPECT_EQ(exitCode_, 0) << All();
    EXPECT_EQ(Errors(), 0) << All();
    EXPECT_EQ(State("a")["slots"][0]["length"], 0);
    EXPECT_EQ(State("b")["slots"][0]["length"], 1024);
}

TEST_F(Run, ACrcMismatchFailsTheRun) {
    Package(fwp::PackageBuilder().Image1(Pattern(3000, 1), 0x10000000).Config(Pattern(100, 2)), "badcrc.fwp");
    json dev = Device("dev", "0A3C7E1000010001");
    dev["device_faults"] = json{{"corrupt_image", true}};
    Bus(json::array({Host(), dev}));
    Start({"/D", "badcrc.fwp"});
    EXPECT_EQ(exitCode_, 1);
    EXPECT_TRUE(InOrder({"ERROR, basBootloader, CRC failure in Image Load process (CRC=0x",
                         "ERROR, basAutomation, Failed to Download Image.  basBootloader.DownloadImage failed, code -1 "
                         "(0xFFFFFFFF) in ProgramImageAndCneFromFile"}));
    const json d = State("dev");
    EXPECT_EQ(d["mode"], "bootloader");
    EXPECT_NE(d["slots"][0]["valid"], true);
    EXPECT_EQ(d["slots"][1]["length"], 0);
}

TEST_F(Run, AKeyBatchReadsAndWritesKeysByGuid) {
    json dev = Device("dev", "0A3C7E1000010002");
    dev["keys"] = json{{"SERIAL", "534E2D30303432"}};  // "SN-0042"
    Bus(json::array({Host(), dev}));
    fsys::create_directories(folder_ / "batch");
    std::ofstream(folder_ / "batch" / "keys.txt", std::ios::binary)
        << "read 0A3C7E1000010002 SERIAL serial.txt\r\nwrite 0A3C7E1000010002 NAME name.txt\r\n";
    std::ofstream(folder_ / "batch" / "name.txt", std::ios::binary) << "Lumarel-7\r\n";
    Start({"/R", "batch/keys.txt"});
    EXPECT_EQ(exitCode_, 0) << All();
    EXPECT_TRUE(fsys::exists(folder_ / "batch" / "KEYS.out.txt"));
    std::ifstream in(folder_ / "batch" / "serial.txt", std::ios::binary);
    const std::string serial((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(serial.find("\r\nSN-0042\r\n"), std::string::npos) << serial;
    bool named = false;
    const json keys = State("dev")["keys"];
    for (const auto& k : keys)
        if (k["name"] == "NAME") named = k["data"] == "4C756D6172656C2D37";  // "Lumarel-7"
    EXPECT_TRUE(named) << keys.dump() << "\n" << All();
    // The written key's file is the user's input: never rewritten.
    std::ifstream name(folder_ / "batch" / "name.txt", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(name)), {}), "Lumarel-7\r\n");
}

// The exit code is 0 only when every operation asked for succeeded: every entry of a key batch
// done (an entry that cannot be performed as written is a FAILED row of the report), every data
// file written, every option acted on, every package sound. Each case of the table is a run of
// its own, registered as a test of its own so that the cases run side by side.
struct ExitCodeCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    // Parts of the status file's lines, in this order.
    std::vector<std::string> statusLines = {};
    // The batch's report (beside the program) and its rows, in order, when the case has one.
    const char* report = nullptr;
    std::vector<std::string> reportRows = {};
    // The device afterwards: the lengths of its application and configuration slots, its GUID,
    // the length of its bootloader slot.
    int appLength = -1;
    int configLength = -1;
    const char* guid = nullptr;
    int bootLength = -1;
};

// The rows of a report, one line each, as the report lays them out.
std::vector<std::string> ReportRows(const fsys::path& report) {
    std::ifstream in(report, std::ios::binary);
    std::vector<std::string> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        for (const char* type : {"Read </td>", "Write </td>", "Invalid </td>"})
            if (line.starts_with(type)) rows.push_back(line);
    }
    return rows;
}

const std::string kDev = " </td><td> 0A 3C 7E 10 00 01 00 02 </td><td> ";
const std::string kFailedCells = " </td><td> FAILED OPERATION </td><td> FAILED </td><td> ";

const ExitCodeCase kExitCodeCases[] = {
    {"EveryRowSucceeds", {"/R", "batch/ok.txt"}, 0},
    {"AKeyTheDeviceLacksIsAFailedRow", {"/R", "batch/lacking.txt"}, 1},
    {"NoSuchDeviceIsAFailedRow", {"/R", "batch/absent.txt"}, 1},
    {"ADownloadFailedBeforeAGoodBatch", {"/D", "missing.fwp", "/R", "batch/ok.txt"}, 1},
    // Entries that cannot be performed as written: each says why and is a FAILED row.
    {"EntriesThatCannotBePerformedAreFailedRows",
     {"/R", "batch/parse.txt"},
     1,
     {"ERROR, basAutomation, GetKeyOperationsFromFile: Invalid key operation (first parameter) specified in "
      "BATCH/PARSE.TXT",
      "ERROR, basAutomation, GetKeyOperationsFromFile: write operation takes 3 arguments, not 2",
      "ERROR, basAutomation, GetKeyOperationsFromFile: key data file 'BATCH/missing.txt' not found!",
      "ERROR, basAutomation, GetKeyOperationsFromFile failed to read data from file 'BATCH/big.txt'!",
      "ERROR, basAutomation, GetKeyOperationsFromFile: key data file 'BATCH/sub' is not a regular file!",
      "ERROR, basAutomation, StripHTML: HtmlParse ERROR - '<' with no '>', line 6.  Exiting abnormally."},
     "batch/PARSE.out.txt",
     {"Invalid" + kDev + "SERIAL" + kFailedCells, "Write" + kDev + "NAME" + kFailedCells,
      "Write" + kDev + "NAME" + kFailedCells, "Write" + kDev + "NAME" + kFailedCells,
      "Write" + kDev + "NAME" + kFailedCells, "Read" + kDev + "SERIAL" + kFailedCells,
      "Read" + kDev + "SERIAL </td><td> <A HREF=\"serial.txt\">serial.txt</A> </td><td> SUCCESS </td><td> "}},
    // Data files that cannot be written fail their rows; the rows after them are still reported.
    {"DataFilesThatCannotBeWrittenAreFailedRowsAndTheReportGoesOn",
     {"/R", "batch/files.txt"},
     1,
     {"ERROR, basAutomation, DumpKeyBatchOutput: the data file 'BATCH/nowhere/serial.txt' could not be written (No "
      "such file or directory); the data read is lost.",
      "ERROR, basAutomation, DumpKeyBatchOutput: failed to remove existing file'BATCH/taken.txt', aborting operation!"},
     "batch/FILES.out.txt",
     {"Read" + kDev + "SERIAL" + kFailedCells, "Read" + kDev + "SERIAL" + kFailedCells,
      "Write" + kDev + "NAME </td><td> <A HREF=\"name.txt\">name.txt</A> </td><td> SUCCESS </td><td> ",
      "Read" + kDev + "SERIAL </td><td> <A HREF=\"serial.txt\">serial.txt</A> </td><td> SUCCESS </td><td> "}},
    // A read never replaces the run's own status file or the batch's report.
    {"AReadOverTheRunsOwnFilesIsRefused",
     {"/R", "own.txt"},
     1,
     {"ERROR, basAutomation, DumpKeyBatchOutput: 'script-data/1394_write_status.txt' is the status file of this run; "
      "the data read is not written over it.",
      "ERROR, basAutomation, DumpKeyBatchOutput: 'OWN.out.txt' is the report of this batch; the data read is not "
      "written over it."},
     "OWN.out.txt",
     {"Read" + kDev + "SERIAL" + kFailedCells, "Read" + kDev + "SERIAL" + kFailedCells}},
    // Only the download runs beside "/G", and the GUID not programmed fails the run.
    {"AGuidBesideADownloadIsNotProgrammedAndFailsTheRun",
     {"/D", "pkg.fwp", "/G", "0A3C7E10", "0001ABCD"},
     1,
     {"USER, basAutomation, Successfully programmed image from PKG.FWP to the device.",
      "ERROR, basAutomation, ERROR: the GUID of option /G was not programmed: /G is not carried out together with a "
      "download (/D, /B, /A or /F)."},
     nullptr,
     {},
     1024,
     -1,
     "0A3C7E1000010002"},
    // A record of length 0 or less holds no image, whatever its other fields: a negative
    // application length leaves the configuration data to go in alone ...
    {"APackageWithANegativeApplicationLengthDownloadsItsConfigurationAlone",
     {"/D", "neglen.fwp"},
     0,
     {"USER, basAutomation, File does not contain an application image: NEGLEN.FWP",
      "USER, basAutomation, Successfully programmed CNE from NEGLEN.FWP to the device."},
     nullptr,
     {},
     0,
     700},
    // ... and a bootloader package marks its absent configuration data with a record of all 0xFF.
    {"ABootloaderPackageWithAnAllOnesConfigurationRecordIsAccepted",
     {"/B", "bootff.fwp"},
     0,
     {"USER, basAutomation, Successfully programmed new bootloader firmware image."},
     nullptr,
     {},
     -1,
     0,
     nullptr,
     900},
    // An image whose bytes would come from the package's header is refused before the device.
    {"AnImageInsideThePackageHeaderIsRefusedBeforeTheDevice",
     {"/D", "inheader.fwp"},
     1,
     {"ERROR, basAutomation, ERROR: \"INHEADER.FWP\" is not a valid firmware package: its Image1 record (offset "
      "96, length 1024) starts inside the 352-byte package header.  Can't perform operation!"},
     nullptr,
     {},
     0,
     0},
};

class ExitCode : public Run {
public:
    explicit ExitCode(const ExitCodeCase& c) : case_(c) {}
    void TestBody() override {
        json dev = Device("dev", "0A3C7E1000010002");
        dev["keys"] = json{{"SERIAL", "534E2D30303432"}};
        Bus(json::array({Host(), dev}));
        Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000), "pkg.fwp");
        Package(fwp::PackageBuilder().Config(Pattern(700, 2)).Length(fwp::Record::Image1, -5), "neglen.fwp");
        Package(fwp::PackageBuilder().Image1(Pattern(900, 3), 0).AllOnes(fwp::Record::Config), "bootff.fwp");
        Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000).Offset(fwp::Record::Image1, 96),
                "inheader.fwp");
        fsys::create_directories(folder_ / "batch" / "sub");
        fsys::create_directories(folder_ / "batch" / "taken.txt" / "inside");
        const auto text = [this](const fsys::path& name, const std::string& content) {
            std::ofstream(folder_ / name, std::ios::binary) << content;
        };
        text("batch/ok.txt", "read 0A3C7E1000010002 SERIAL\r\n");
        text("batch/lacking.txt", "read 0A3C7E1000010002 NOSUCHKEY\r\n");
        text("batch/absent.txt", "read 0A3C7E10000100FF SERIAL\r\n");
        text("batch/name.txt", "Lumarel-7\r\n");
        text("batch/big.txt", std::string((1 << 20) + 1, 'x'));
        text("batch/parse.txt",
             "reed 0A3C7E1000010002 SERIAL\r\n"
             "write 0A3C7E1000010002 NAME\r\n"
             "write 0A3C7E1000010002 NAME missing.txt\r\n"
             "write 0A3C7E1000010002 NAME big.txt\r\n"
             "write 0A3C7E1000010002 NAME sub\r\n"
             "read 0A3C7E1000010002 SERIAL <b\r\n"
             "read 0A3C7E1000010002 SERIAL serial.txt\r\n");
        text("batch/files.txt",
             "read 0A3C7E1000010002 SERIAL nowhere/serial.txt\r\n"
             "read 0A3C7E1000010002 SERIAL taken.txt\r\n"
             "write 0A3C7E1000010002 NAME name.txt\r\n"
             "read 0A3C7E1000010002 SERIAL serial.txt\r\n");
        text("own.txt",
             "read 0A3C7E1000010002 SERIAL script-data/1394_write_status.txt\r\n"
             "read 0A3C7E1000010002 SERIAL OWN.out.txt\r\n");

        Start(case_.args);
        EXPECT_EQ(exitCode_, case_.exitCode) << All();
        EXPECT_TRUE(InOrder(case_.statusLines));
        if (case_.report) {
            EXPECT_EQ(ReportRows(folder_ / case_.report), case_.reportRows);
        }
        const json d = State("dev");
        if (case_.appLength >= 0) {
            EXPECT_EQ(d["slots"][0]["length"], case_.appLength);
        }
        if (case_.configLength >= 0) {
            EXPECT_EQ(d["slots"][1]["length"], case_.configLength);
        }
        if (case_.guid) {
            EXPECT_EQ(d["guid"], case_.guid);
        }
        if (case_.bootLength >= 0) {
            EXPECT_EQ(d["slots"][3]["length"], case_.bootLength);
        }
    }

private:
    const ExitCodeCase& case_;
};

const bool kExitCodeCasesRegistered = [] {
    for (const ExitCodeCase& c : kExitCodeCases)
        ::testing::RegisterTest("ExitCode", c.name, nullptr, nullptr, __FILE__, __LINE__,
                                [&c]() -> Run* { return new ExitCode(c); });
    return true;
}();

TEST_F(Run, ASecondInstanceAskedForAnOperationFailsAndLeavesTheRunningOnesFilesAlone) {
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    ImageliftProcess first(folder_, {}, {"QT_QPA_PLATFORM=offscreen"});
    const int64_t start = imagelifttest::RealNow();
    while (!first.Window(std::nullopt, imagelifttest::kFrameCaption) && imagelifttest::RealMsSince(start) < 30000)
        imagelifttest::Breathe(10);
    ASSERT_TRUE(first.Window(std::nullopt, imagelifttest::kFrameCaption)) << "the first instance did not show";
    // What a caller would find there from the running program's own unattended run.
    fsys::create_directories(folder_ / "script-data");
    const std::string status = "0:00:01.000, USER, basAutomation, the first run's line\r\n";
    std::ofstream(folder_ / "script-data" / "1394_write_status.txt", std::ios::binary) << status;

    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {{{"/D", "pkg.fwp"}, 1}, {{"/R", "keys.txt"}, 1}, {{"/O"}, 0}, {{}, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? std::string("no options") : c.args[0]);
        ImageliftProcess second(folder_, c.args, {"QT_QPA_PLATFORM=offscreen"});
        EXPECT_EQ(second.WaitExit(20000), c.exitCode);
        std::ifstream in(folder_ / "script-data" / "1394_write_status.txt", std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), status);
    }
    EXPECT_FALSE(first.WaitExit(0).has_value()) << "the first instance runs on";
    first.Close();
    EXPECT_EQ(first.WaitExit(20000), 0);
}

TEST_F(Run, AStartUpThatFailsAfterTheRunBeganEndsAtOnceWithItsErrorInTheStatusFile) {
    Package(fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000), "pkg.fwp");
    Bus(json::array({Host(), Device("dev", "0A3C7E1000010001")}));
    fsys::remove(folder_ / "Vsk1394api.dll");  // the access library is missing
    Start({"/D", "pkg.fwp"}, 20000);
    EXPECT_EQ(exitCode_, 1);
    bool logged = false;
    for (const auto& line : lines_)
        logged |= line.find(", ERROR, basApp, ERROR #53: ") != std::string::npos &&
                  line.find(" in Main.  Exiting initialization abnormally.") != std::string::npos;
    EXPECT_TRUE(logged) << All();
    EXPECT_EQ(State("dev")["slots"][0]["length"], 0);
}

// A batch from an untrusted place reaches no file outside its folder: a write entry does not read
// a file above it into a key, a read entry does not replace a script elsewhere with the key's
// data, and a report whose name is a link to another file is not written through.
TEST_F(Run, AKeyBatchReachesNoFileOutsideItsFolder) {
    json dev = Device("dev", "0A3C7E1000010002");
    dev["keys"] = json{{"SERIAL", "534E2D30303432"}};  // "SN-0042"
    Bus(json::array({Host(), dev}));
    fsys::create_directories(folder_ / "batch");
    const std::string script = "#!/bin/sh\necho harmless\n";
    std::ofstream(folder_ / "secret.txt", std::ios::binary) << "SECRET\r\n";
    std::ofstream(folder_ / "run.sh", std::ios::binary) << script;
    std::ofstream(folder_ / "batch" / "keys.txt", std::ios::binary)
        << "write 0A3C7E1000010002 NAME ../secret.txt\r\n"
           "read 0A3C7E1000010002 SERIAL ../run.sh\r\n"
           "read 0A3C7E1000010002 SERIAL "
        << (folder_ / "run.sh").string()
        << "\r\n"
           "read 0A3C7E1000010002 SERIAL serial.txt\r\n";
    Start({"/R", "batch/keys.txt"});
    EXPECT_EQ(Count("is outside the folder of BATCH/KEYS.TXT; the operation is not performed."), 3) << All();

    std::ifstream in(folder_ / "run.sh", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), script);
    const json keys = State("dev")["keys"];
    for (const auto& k : keys) EXPECT_NE(k["name"], "NAME") << "the secret reached the device";
    std::ifstream serial(folder_ / "batch" / "serial.txt", std::ios::binary);
    EXPECT_NE(std::string((std::istreambuf_iterator<char>(serial)), {}).find("\r\nSN-0042\r\n"), std::string::npos)
        << "the entry inside the folder still runs";
    std::ifstream reportIn(folder_ / "batch" / "KEYS.out.txt", std::ios::binary);
    const std::string report((std::istreambuf_iterator<char>(reportIn)), {});
    size_t failed = 0;
    for (size_t p = report.find("FAILED OPERATION"); p != std::string::npos; p = report.find("FAILED OPERATION", p + 1))
        ++failed;
    EXPECT_EQ(failed, 3u) << report;

    // The report's name taken by a link to a file elsewhere.
    fsys::remove(folder_ / "batch" / "KEYS.out.txt");
    fsys::create_symlink(folder_ / "run.sh", folder_ / "batch" / "KEYS.out.txt");
    Start({"/R", "batch/keys.txt"});
    std::ifstream again(folder_ / "run.sh", std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(again)), {}), script);
    EXPECT_TRUE(InOrder({"it is a symbolic link, which is not written through."}));
}

// Faults of unattended runs, through the real program on a bus of its own: what a run must refuse,
// say and end with. Each case is a run: the bus (`nodes`, by default the host and one Lumarel 460
// with a SERIAL key), the program folder with "app.fwp" and "name.txt", and what the case adds
// (`prepare`: files, a store, a fault); it may act on the running program (`during`) and look at
// what is left afterwards (`check`). Every case has its exit code and its status lines in order,
// the lines of standard error it names in order, and a batch's report its rows. A case may run
// another program of the folder (`program`), prepare the program's own process before it starts
// (`inChild`: a full disk only it sees), and name why it cannot be made on this machine
// (`absent`: empty where it can). Registered as a test of its own each, so the cases run side by
// side.
class Fault;
struct FaultCase {
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    std::vector<std::string> statusLines = {};
    const char* report = nullptr;
    std::vector<std::string> reportRows = {};
    json nodes = nullptr;
    std::function<void(Fault&)> prepare = nullptr;
    std::function<void(Fault&, ImageliftProcess&)> during = nullptr;
    std::function<void(Fault&)> check = nullptr;
    std::vector<std::string> errorLines = {};
    const char* program = "Imagelift";
    std::function<bool(Fault&)> inChild = nullptr;
    std::function<const char*()> absent = nullptr;
};

class Fault : public Run {
public:
    explicit Fault(const FaultCase& c) : case_(c) {}
    void TestBody() override;

    // What the steps of a case use.
    using Run::All;
    using Run::folder_;
    using Run::Package;
    using Run::State;
    using Run::Count;
    using Run::InOrder;
    using Run::service_;
    // The started program's standard error.
    fsys::path ErrorsFile() const { return service_->Root() / "stderr.txt"; }
    std::string StandardError() const {
        std::ifstream in(ErrorsFile(), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    void Text(const fsys::path& name, const std::string& content) {
        fsys::create_directories((folder_ / name).parent_path());
        std::ofstream(folder_ / name, std::ios::binary) << content;
    }
    bool HasKey(const std::string& id, const std::string& key) {
        const json keys = State(id)["keys"];
        for (const auto& k : keys)
            if (k["name"] == key) return true;
        return false;
    }

private:
    const FaultCase& case_;
};

const fwp::PackageBuilder kAppPackage = fwp::PackageBuilder().Image1(Pattern(1024, 1), 0x10000000);
const fwp::PackageBuilder kIdentityPackage = fwp::PackageBuilder().Image1(Pattern(2048, 5), 0x10000000);

// The files of an identity run ("/A"): its package, GUID and MAC.
void IdentityFiles(Fault& f) {
    f.Text("DTCP/GUID/MACID/GUID.txt", "0A3C7E100001ABCD\r\n");
    f.Text("DTCP/GUID/MACID/MACID.txt", "00A0DE123456\r\n");
    f.Package(kIdentityPackage, "DTCP/GUID/MACID/Config_Image.fwp");
}

// A store whose pages 6 to 10 hold random bytes: its schema reads, its tables do not.
void DamagedStore(Fault& f) {
    const fsys::path db = f.folder_ / "db1.mdb";
    fsys::copy_file(f.folder_ / "db1_clean.mdb", db);
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    const std::string fill =
        "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
        "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) SELECT i, 13, printf('%.*c', 200, 'x'), 'basApp' "
        "FROM n; INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES ('Imagelift', 'Global', "
        "'DebugLoggingLevel', '5'); COMMIT;";
    ASSERT_EQ(sqlite3_exec(h, fill.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
    sqlite3_close(h);
    ASSERT_GE(fsys::file_size(db), 20u * 1024);
    std::mt19937 random(46);
    std::string bytes(5 * 1024, '\0');
    for (char& b : bytes) b = char(random());
    std::fstream file(db, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(5 * 1024);  // page 6 of 1024-byte pages
    file.write(bytes.data(), std::streamsize(bytes.size()));
}

// The update folder as a setup killed during its download leaves it: the build's update folder
// (the downloader in it as ".\Imagelift.app", the update utility, their libraries and the bus
// service) copied into the program folder, with the downloader renamed to ".\Imagelift.exe" for
// the run that never ended.
void UpdateFolderLeftByAKilledSetup(Fault& f) {
    const char* bin = std::getenv("LUMAREL_BIN");
    ASSERT_NE(bin, nullptr) << "LUMAREL_BIN names the program folder";
    fsys::remove(f.folder_ / "Imagelift");
    fsys::copy(fsys::path(bin) / ".." / "update", f.folder_,
               fsys::copy_options::recursive | fsys::copy_options::overwrite_existing);
    fsys::rename(f.folder_ / "Imagelift.app", f.folder_ / "Imagelift.exe");
}

const std::string kFailedRow = " </td><td> FAILED OPERATION </td><td> FAILED </td><td> ";
const std::string kStoreLine =
    "' is a file of this program's settings and status log store; the data read is not written over it.";

const FaultCase kFaultCases[] = {
    // "/A" beside "/D": the rule is said, one of the two packages is left out, and the run fails.
    {"AnIdentityRunBeforeADownloadLeavesItsPackageOutAndFails",
     {"/A", "/D", "app.fwp"},
     1,
     {"ERROR, basAutomation, The /A command cannot be used with other command-line options!",
      "USER, basAutomation, Successfully programmed image from APP.FWP to the device.",
      "ERROR, basAutomation, ERROR: the package 'DTCP\\GUID\\MACID\\Config_Image.fwp' of option /A was not downloaded: "
      "option /D names 'APP.FWP' in its place."},
     nullptr,
     {},
     nullptr,
     IdentityFiles,
     nullptr,
     [](Fault& f) {
         const json d = f.State("dev");
         EXPECT_EQ(d["guid"], "0A3C7E100001ABCD");
         EXPECT_EQ(d["slots"][0]["length"], 1024);
     }},
    {"ADownloadBeforeAnIdentityRunIsLeftOutAndFails",
     {"/D", "app.fwp", "/A"},
     1,
     {"ERROR, basAutomation, The /A command cannot be used with other command-line options!",
      "USER, basAutomation, Successfully programmed image from DTCP\\GUID\\MACID\\Config_Image.fwp to the device.",
      "ERROR, basAutomation, ERROR: the package 'APP.FWP' of option /D was not downloaded: option /A names "
      "'DTCP\\GUID\\MACID\\Config_Image.fwp' in its place."},
     nullptr,
     {},
     nullptr,
     IdentityFiles,
     nullptr,
     [](Fault& f) {
         const json d = f.State("dev");
         EXPECT_EQ(d["guid"], "0A3C7E100001ABCD");
         EXPECT_EQ(d["slots"][0]["length"], 2048);
     }},
    // A device ID with a letter that is not hex, or an odd number of digits, refuses its entry
    // alone: no device gets the key, and the entries after it run.
    {"DeviceIdsThatAreNotHexBytesAreFailedRows",
     {"/R", "batch/ids.txt"},
     1,
     {"ERROR, basAutomation, GetKeyOperationsFromFile: device ID '0A3C7E100001000I' is not valid ('I' is not a hex "
      "digit); the operation is not performed.",
      "ERROR, basAutomation, GetKeyOperationsFromFile: device ID '0A3C7E100001000' is not valid (it has an odd number of "
      "hex digits (15), two make a byte); the operation is not performed."},
     "batch/IDS.out.txt",
     {"Write </td><td>  </td><td> NAME" + kFailedRow, "Write </td><td>  </td><td> NAME" + kFailedRow,
      "Read </td><td> 0A 3C 7E 10 00 01 00 01 </td><td> SERIAL </td><td> <A HREF=\"serial.txt\">serial.txt</A> "
      "</td><td> SUCCESS </td><td> "},
     json::array({Host(), Device("zero", "0A3C7E1000010000"),
                  [] {
                      json d = Device("one", "0A3C7E1000010001");
                      d["keys"] = json{{"SERIAL", "534E2D30303432"}};
                      return d;
                  }()}),
     [](Fault& f) {
         f.Text("batch/name.txt", "Lumarel-7\r\n");
         f.Text("batch/ids.txt",
                "write 0A3C7E100001000I NAME name.txt\r\n"
                "write 0A3C7E100001000 NAME name.txt\r\n"
                "read 0A3C7E1000010001 SERIAL serial.txt\r\n");
     },
     nullptr,
     [](Fault& f) {
         EXPECT_FALSE(f.HasKey("zero", "NAME"));
         EXPECT_FALSE(f.HasKey("one", "NAME"));
     }},
    // A batch in the program folder reads into none of the store's files: the store keeps the
    // run's log and is not set aside at the next start.
    {"AReadIntoTheStoreIsRefused",
     {"/R", "store.txt"},
     1,
     {"ERROR, basAutomation, DumpKeyBatchOutput: 'db1.mdb" + kStoreLine,
      "ERROR, basAutomation, DumpKeyBatchOutput: 'db1.mdb-wal" + kStoreLine,
      "ERROR, basAutomation, DumpKeyBatchOutput: 'db1.mdb-shm" + kStoreLine,
      "ERROR, basAutomation, DumpKeyBatchOutput: 'db1-compacted.mdb" + kStoreLine},
     "STORE.out.txt",
     {"Read" + kDev + "SERIAL" + kFailedRow, "Read" + kDev + "SERIAL" + kFailedRow,
      "Read" + kDev + "SERIAL" + kFailedRow, "Read" + kDev + "SERIAL" + kFailedRow,
      "Read" + kDev + "SERIAL </td><td> <A HREF=\"serial.txt\">serial.txt</A> </td><td> SUCCESS </td><td> "},
     nullptr,
     [](Fault& f) {
         f.Text("store.txt",
                "read --single SERIAL db1.mdb\r\n"
                "read --single SERIAL db1.mdb-wal\r\n"
                "read --single SERIAL db1.mdb-shm\r\n"
                "read --single SERIAL db1-compacted.mdb\r\n"
                "read --single SERIAL serial.txt\r\n");
     },
     nullptr,
     [](Fault& f) {
         EXPECT_TRUE(imagelifttest::FindRow(imagelifttest::ReadStatusLog(f.folder_ / "db1.mdb"),
                                            "PerformKeyOperations: received"))
             << "the store holds the run's log";
         EXPECT_FALSE(fsys::exists(f.folder_ / "db1.mdb.bad"));
         EXPECT_FALSE(fsys::exists(f.folder_ / "db1-compacted.mdb"));
     }},
    // A setup killed during its download left the downloader renamed. The next setup in that
    // folder renames it back as it opens, says so on standard error (it has no log of its own)
    // and offers its update in its dialog; it runs on until it is ended, here by a signal, as
    // nothing else ends it from outside.
    {.name = "ASetupThatFindsTheDownloaderLeftRenamedRenamesItBackAndGoesOn",
     .args = {},
     .exitCode = 128 + SIGTERM,
     .prepare = UpdateFolderLeftByAKilledSetup,
     .during =
         [](Fault& f, ImageliftProcess& setup) {
             const int64_t start = imagelifttest::RealNow();
             while (!(f.StandardError().find("Renamed") != std::string::npos &&
                      setup.Window(std::nullopt, "Lumarel 460 Firmware Update Utillity")) &&
                    imagelifttest::RealMsSince(start) < 20000)
                 imagelifttest::Breathe(5);
             EXPECT_TRUE(setup.Window(std::nullopt, "Lumarel 460 Firmware Update Utillity")) << "its dialog is open";
             setup.Close();  // a setup that ended on its own has another exit code
         },
     .check =
         [](Fault& f) {
             EXPECT_TRUE(fsys::is_regular_file(f.folder_ / "Imagelift.app"));
             EXPECT_FALSE(fsys::exists(f.folder_ / "Imagelift.exe"));
         },
     .errorLines = {"setup: Renamed .\\Imagelift.exe back to .\\Imagelift.app: an earlier update ended during a run "
                    "and left it renamed.\n"},
     .program = "setup"},
    // A store with damaged pages is set aside at start-up; the download runs and ends well, and
    // the new store says what happened.
    {"ADamagedStoreIsSetAsideAndTheDownloadEndsWell",
     {"/D", "app.fwp"},
     0,
     {"USER, basAutomation, Successfully programmed image from APP.FWP to the device."},
     nullptr,
     {},
     nullptr,
     DamagedStore,
     nullptr,
     [](Fault& f) {
         EXPECT_TRUE(fsys::exists(f.folder_ / "db1.mdb.bad"));
         EXPECT_TRUE(imagelifttest::FindRow(imagelifttest::ReadStatusLog(f.folder_ / "db1.mdb"),
                                            "The database file db1.mdb could not be used (the file is damaged: "));
         EXPECT_EQ(f.State("dev")["slots"][0]["length"], 1024);
     }},
    // The first run on a full disk: no mutex folder yet, and the disk under the platform root's
    // kernel folder full (for the program alone). The instance mutex's lock file gets no room, so
    // the run ends with a failure that says why instead of dying of SIGBUS, and the earlier run's
    // status file with its success is replaced by this run's reason. The device is not touched.
    {.name = "AFirstRunOnAFullDiskFailsWithItsReasonInPlaceOfAnEarlierSuccess",
     .args = {"/G", "0A3C7E10", "0001ABCD"},
     .exitCode = 1,
     .statusLines = {"ERROR, basApp, The program cannot start: its instance mutex \"Imagelift.Instance\" cannot be "
                     "created ("},
     .prepare =
         [](Fault& f) {
             fsys::create_directories(f.service_->Root() / "kernel");
             f.Text("script-data/1394_write_status.txt", roottest::kEarlierSuccess);
         },
     .check =
         [](Fault& f) {
             EXPECT_EQ(f.Count("Successfully"), 0) << f.All();
             EXPECT_TRUE(f.InOrder({"the disk has no room for the file '" +
                                    (f.service_->Root() / "kernel" / "mutex" / "Imagelift.Instance.lock").string() +
                                    "' (No space left on device)"}));
             const json d = f.State("dev");
             EXPECT_EQ(d["guid"], "0A3C7E1000010002");
             EXPECT_EQ(d["persistent"]["initializations"], 0);
         },
     .errorLines = {"Imagelift: The program cannot start: its instance mutex \"Imagelift.Instance\" cannot be created ("},
     .inChild = [](Fault& f) { return roottest::MountFullDisk(f.service_->Root() / "kernel"); },
     .absent = roottest::FullDiskAbsent},
    // A request to end stops a long batch between entries: the entries done are reported, the
    // rest are FAILED rows, and the run fails.
    {"AnEndRequestStopsABatchBetweenEntries",
     {"/R", "many.txt"},
     1,
     {"ERROR, basAutomation, PerformKeyOperations: the program was asked to end; the last "},
     nullptr,
     {},
     nullptr,
     [](Fault& f) {
         std::string batch;
         for (int i = 1; i <= 1000; ++i) batch += "read --single SERIAL s" + std::to_string(i) + ".txt\r\n";
         f.Text("many.txt", batch);
     },
     [](Fault& f, ImageliftProcess& program) {
         ASSERT_TRUE(imagelifttest::WaitForLogLine(f.folder_ / "db1.mdb", "PerformKeyOperations: received", 60000, 20))
             << "the batch did not start";
         program.Close();
     },
     [](Fault& f) {
         const auto rows = ReportRows(f.folder_ / "MANY.out.txt");
         ASSERT_EQ(rows.size(), 1000u);
         size_t done = 0;
         while (done < rows.size() && rows[done].find(" SUCCESS ") != std::string::npos) ++done;
         EXPECT_GE(done, 1u);
         EXPECT_LT(done, rows.size()) << "the batch ran to its end";
         for (size_t i = done; i < rows.size(); ++i) EXPECT_NE(rows[i].find(kFailedRow), std::string::npos) << rows[i];
     }},
};

void Fault::TestBody() {
    if (case_.absent && *case_.absent()) GTEST_SKIP() << case_.absent();
    json dev = Device("dev", "0A3C7E1000010002");
    dev["keys"] = json{{"SERIAL", "534E2D30303432"}};  // "SN-0042"
    Bus(case_.nodes.is_null() ? json::array({Host(), dev}) : case_.nodes);
    Package(kAppPackage, "app.fwp");
    Text("name.txt", "Lumarel-7\r\n");
    if (case_.prepare) {
        case_.prepare(*this);
        if (HasFatalFailure()) return;
    }
    std::function<void(ImageliftProcess&)> during;
    if (case_.during) during = [this](ImageliftProcess& program) { case_.during(*this, program); };
    std::function<bool()> inChild;
    if (case_.inChild) inChild = [this] { return case_.inChild(*this); };
    Start(case_.args, 120000, during, {}, ErrorsFile(), case_.program, inChild);
    if (HasFatalFailure()) return;
    if (inChild && exitCode_ == ImageliftProcess::kNotStarted) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(exitCode_, case_.exitCode) << All() << StandardError();
    EXPECT_TRUE(InOrder(case_.statusLines));
    const std::string errors = StandardError();
    size_t at = 0;
    for (const auto& line : case_.errorLines) {
        const size_t found = errors.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing in order on standard error: " << line << "\n" << errors;
        if (found == std::string::npos) break;
        at = found + line.size();
    }
    if (case_.report) {
        EXPECT_EQ(ReportRows(folder_ / case_.report), case_.reportRows);
    }
    if (case_.check) case_.check(*this);
}

const bool kFaultCasesRegistered = [] {
    for (const FaultCase& c : kFaultCases)
        ::testing::RegisterTest("Fault", c.name, nullptr, nullptr, __FILE__, __LINE__,
                                [&c]() -> Run* { return new Fault(c); });
    return true;
}();

}  // namespace
