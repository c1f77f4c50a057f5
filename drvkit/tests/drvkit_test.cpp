#include "drvkit/drvkit.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clock/clock.h"
#include "devices/install_calls.h"
#include "testing/store_fixture.h"

extern char** environ;

namespace {

namespace stdfs = std::filesystem;
using devices::fixture::InfListing;

const char* const kLuma = "1394\\Halvorin_Inc&LUMA_Rel";

const std::vector<std::string> kExports = {
    "DRVKIT_CopyOEMInf",        "DRVKIT_DeleteDevNodes",
    "DRVKIT_DeleteDevNodesByHardwareIDs", "DRVKIT_DeleteInfFiles",
    "DRVKIT_DeleteInfFilesByHardwareIDs", "DRVKIT_EnableLogging",
    "DRVKIT_EnumerateDevNodes", "DRVKIT_EnumerateDevNodesByHardwareIDs",
    "DRVKIT_GetVersion",        "DRVKIT_KillProcess",
    "DRVKIT_Rescan",            "DRVKIT_UpdateDriver",
    "DRVKIT_UpdateDriverByHardwareIDs"};

// The library file this program is linked with.
std::string LibraryPath() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DRVKIT_GetVersion), &info) == 0 || !info.dli_fname) return {};
    return info.dli_fname;
}

TEST(DrvkitSurface, ExportsExactlyItsThirteenFunctions) {
    ASSERT_EQ(stdfs::path(LibraryPath()).filename(), "libXDRVKIT.so");
    std::string command = "nm -D --defined-only '" + LibraryPath() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        std::string name = text.substr(text.find_last_of(' ') + 1);
        name.erase(name.find_last_not_of("\n") + 1);
        names.insert(name);
    }
    ASSERT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(names, std::set<std::string>(kExports.begin(), kExports.end()));

    void* library = ::dlopen(LibraryPath().c_str(), RTLD_NOW);
    ASSERT_NE(library, nullptr) << ::dlerror();
    for (const std::string& name : kExports) EXPECT_NE(::dlsym(library, name.c_str()), nullptr) << name;
    auto version = reinterpret_cast<int32_t (*)()>(::dlsym(library, "DRVKIT_GetVersion"));
    EXPECT_EQ(version(), 65537);
    ::dlclose(library);
}

// A temporary store and INF folder, a log file in the root and the manual clock at a known
// local time. The library's log stays open across calls; each test closes it at the end.
class Drvkit : public devices::fixture::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        ::setenv("TZ", "UTC0", 1);
        log_ = root_ + "/drvkit.log";
    }
    void TearDown() override {
        DRVKIT_EnableLogging(nullptr);
        StoreTest::TearDown();
    }
    void StartLog() { ASSERT_EQ(DRVKIT_EnableLogging(log_.c_str()), 1); }
    // Closes the log (which writes out the stream) and gives its lines without their time
    // stamps, each with its line feed.
    std::vector<std::string> CloseLog(const std::string& path = {}) {
        DRVKIT_EnableLogging(nullptr);
        std::ifstream in(path.empty() ? log_ : path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        std::vector<std::string> lines;
        for (size_t i = 0; i < text.size();) {
            size_t j = text.find('\n', i);
            j = j == std::string::npos ? text.size() : j + 1;
            std::string line = text.substr(i, j - i);
            EXPECT_TRUE(std::regex_search(line, std::regex("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d  "))) << line;
            lines.push_back(line.substr(14));
            i = j;
        }
        return lines;
    }
    static bool Has(const std::vector<std::string>& lines, const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string log_;
    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
};

TEST_F(Drvkit, LogLinesCarryTimeTagAndTextAsWritten) {
    StartLog();
    clock_.Advance(45);
    EXPECT_EQ(DRVKIT_GetVersion(), 65537);
    EXPECT_EQ(DRVKIT_Rescan(), 1);
    DRVKIT_EnableLogging(nullptr);
    std::ifstream in(log_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text,
              "12:00:00:000  INFO:   \tleave DRVKIT_EnableLogging returning 1\n"
              "12:00:00:045  INFO:   \tenter DRVKIT_Rescan()\n"
              "12:00:00:045  INFO:   \tleave DRVKIT_Rescan returning 1\n"
              "12:00:00:045  INFO:   \tenter DRVKIT_EnableLogging('')\n");
}

TEST_F(Drvkit, EnableLoggingAppendsReopensAndTurnsOffOnFailure) {
    EXPECT_EQ(DRVKIT_Rescan(), 1);  // works with no log at all
    EXPECT_FALSE(stdfs::exists(log_));
    StartLog();
    StartLog();  // the same file again: its enter line lands before the reopen
    EXPECT_EQ(DRVKIT_EnableLogging((root_ + "/missing/x.log").c_str()), 0);
    EXPECT_EQ(DRVKIT_Rescan(), 1);  // logging is off now
    StartLog();
    EXPECT_EQ(CloseLog(), (std::vector<std::string>{
                              "INFO:   \tleave DRVKIT_EnableLogging returning 1\n",
                              "INFO:   \tenter DRVKIT_EnableLogging('" + log_ + "')\n",
                              "INFO:   \tleave DRVKIT_EnableLogging returning 1\n",
                              "INFO:   \tenter DRVKIT_EnableLogging('" + root_ + "/missing/x.log')\n",
                              "INFO:   \tleave DRVKIT_EnableLogging returning 1\n",
                              "INFO:   \tenter DRVKIT_EnableLogging('')\n",
                          }));
}

TEST_F(Drvkit, UnloadWritesOutWhatTheStreamStillHolds) {
    // A child process logs and ends normally, which unloads the library; nothing else closes
    // the log there.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DRVKIT_EnableLogging(log_.c_str());
        DRVKIT_Rescan();
        std::exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(CloseLog(), (std::vector<std::string>{"INFO:   \tleave DRVKIT_EnableLogging returning 1\n",
                                                    "INFO:   \tenter DRVKIT_Rescan()\n",
                                                    "INFO:   \tleave DRVKIT_Rescan returning 1\n"}));
}

TEST_F(Drvkit, NullAndPercentArgumentsAreTextNotFormats) {
    StartLog();
    EXPECT_EQ(DRVKIT_DeleteDevNodes(nullptr, 0), 0);
    EXPECT_EQ(DRVKIT_EnumerateDevNodes(nullptr, 0), -1);
    EXPECT_EQ(DRVKIT_UpdateDriver(nullptr, nullptr), 0);
    EXPECT_EQ(DRVKIT_CopyOEMInf(nullptr), 0);
    EXPECT_EQ(DRVKIT_EnumerateDevNodesByHardwareIDs(nullptr, 0), -1);
    EXPECT_EQ(DRVKIT_DeleteInfFiles("%s%n%d", 0), 1);
    EXPECT_EQ(DRVKIT_KillProcess(nullptr), 1);
    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "INFO:   \tenter DRVKIT_DeleteDevNodes('',0)\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \thardware ID is empty\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tenter DRVKIT_EnumerateDevNodes('','0')\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tenter DRVKIT_DeleteInfFiles('%s%n%d',0)\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tDRVKIT_CopyOEMInf: SetupCopyOEMInf failed, error=0x00000057\n"));
}

TEST_F(Drvkit, ACutMessageStillEndsItsLine) {
    StartLog();
    const std::string id(3000, 'X');
    EXPECT_EQ(DRVKIT_EnumerateDevNodes(id.c_str(), 0), 0);
    auto lines = CloseLog();
    ASSERT_GE(lines.size(), 3u);
    const std::string& enter = lines[1];
    EXPECT_EQ(enter.size(), 9 + 2047u);  // tag and the cut text, its last character the line feed
    EXPECT_TRUE(enter.starts_with("INFO:   \tenter DRVKIT_EnumerateDevNodes('XXX"));
    EXPECT_EQ(enter.back(), '\n');
    EXPECT_EQ(lines[2], "INFO:   \tleave DRVKIT_EnumerateDevNodes returning 0\n");
    EXPECT_EQ(lines.back(), "INFO:   \tenter DRVKIT_EnableLogging('')\n");
}

TEST_F(Drvkit, TwoThreadsNeverInterleaveTheirCalls) {
    StartLog();
    auto worker = [](const char* id) {
        for (int i = 0; i < 200; ++i) DRVKIT_EnumerateDevNodes(id, 0);
    };
    std::thread first(worker, "T1\\A"), second(worker, "T2\\B");
    first.join();
    second.join();
    auto lines = CloseLog();
    ASSERT_EQ(lines.size(), 2 + 800u);
    for (size_t i = 1; i + 1 < lines.size(); i += 2) {
        ASSERT_TRUE(lines[i].starts_with("INFO:   \tenter DRVKIT_EnumerateDevNodes('T")) << i << lines[i];
        ASSERT_EQ(lines[i + 1], "INFO:   \tleave DRVKIT_EnumerateDevNodes returning 0\n") << i;
    }
}

TEST_F(Drvkit, DeviceNodesMatchTrimmedWithoutCaseByScanMode) {
    AddNode({"  1394\\halvorin_inc&luma_rel  ", "1394\\A02D&10001"});
    AddNode({kLuma}, false);
    AddNode({});                 // no hardware-ID property
    devices::DeviceNode binary;  // a property of the wrong type
    binary.hardwareIds = {kLuma};
    binary.hardwareIdType = devices::REG_BINARY;
    devices::WriteNode(binary);
    devices::DeviceNode unterminated;  // a value without its closing NUL
    unterminated.hardwareIdBytes = std::vector<uint8_t>(kLuma, kLuma + std::strlen(kLuma));
    devices::WriteNode(unterminated);

    StartLog();
    EXPECT_EQ(DRVKIT_EnumerateDevNodes(" 1394\\HALVORIN_INC&luma_rel ", 0), 3);
    EXPECT_EQ(DRVKIT_EnumerateDevNodes(kLuma, 1), 2);
    EXPECT_EQ(DRVKIT_EnumerateDevNodes("1394\\Nobody", 1), 0);
    const uint64_t sets = devices::Counter("sets");
    EXPECT_EQ(DRVKIT_EnumerateDevNodes(kLuma, 2), -1);
    EXPECT_EQ(DRVKIT_DeleteDevNodes(kLuma, -1), 0);
    EXPECT_EQ(devices::Counter("sets"), sets);
    EXPECT_EQ(devices::OpenDeviceInfoSets(), 0);

    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "ERROR:  \tCompare device ID: [  1394\\halvorin_inc&luma_rel  ]\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tstrPropertyValue = 1394\\HALVORIN_INC&LUMA_REL\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tcouldn't get hardware ID of the device information element from registry\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tvalue 2 is an unexpected scan mode for device nodes\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tsearching device nodes for hardware ID " + std::string(kLuma) +
                               " and scan mode 2 failed\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tleave DRVKIT_DeleteDevNodes returning 0\n"));
}

TEST_F(Drvkit, DeleteDevNodesGoesOnPastAFailedRemoval) {
    AddNode({kLuma});
    AddNode({kLuma}, false);
    AddNode({"1394\\Other"});
    devices::AddFault("SetupDiCallClassInstaller:" + devices::ListNodes()[0].instanceId + "=5");
    StartLog();
    EXPECT_EQ(DRVKIT_DeleteDevNodes(kLuma, 0), 1);
    EXPECT_EQ(HardwareIdsOfNodes(), (std::vector<std::string>{kLuma, "1394\\Other"}));
    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "ERROR:  \tSetupDiCallClassInstaller(DIF_REMOVE) failed for \"" + std::string(kLuma) +
                               "\": error code 5\n"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "INFO:   \tdeleting device node with hardware ID \"" + std::string(kLuma) + "\" ...\n"),
              2);
}

TEST_F(Drvkit, DeleteInfFilesByNameModeAndWithTheirCompanions) {
    const std::string listing = InfListing({kLuma});
    for (const char* name : {"oem7.inf", "oem7.pnf", "OEM8.INF", "oem9.inf", "oem9.pnf", "foo.inf"})
        WriteInf(name, listing);
    WriteInf("oem3.inf", InfListing({"1394\\Other"}));
    devices::AddFault("DeleteFile:oem9.inf=5");
    StartLog();
    EXPECT_EQ(DRVKIT_DeleteInfFiles(" 1394\\HALVORIN_INC&LUMA_REL", 1), 1);
    EXPECT_FALSE(InfExists("oem7.inf") || InfExists("oem7.pnf"));
    EXPECT_TRUE(InfExists("OEM8.INF") && InfExists("oem9.inf") && InfExists("oem9.pnf"));
    EXPECT_TRUE(InfExists("foo.inf") && InfExists("oem3.inf"));
    EXPECT_EQ(DRVKIT_DeleteInfFiles(kLuma, 0), 1);
    EXPECT_FALSE(InfExists("foo.inf"));
    EXPECT_EQ(DRVKIT_DeleteInfFiles(kLuma, 2), 0);
    EXPECT_EQ(DRVKIT_DeleteInfFiles("", 0), 0);
    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "INFO:   \tfile C:\\WINDOWS\\inf\\oem7.inf deleted\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tfile C:\\WINDOWS\\inf\\oem7.pnf deleted\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \t\"C:\\WINDOWS\\inf\\OEM8.INF\" is not an INF file and therefore will not deleted\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tcouldn\xB4t delete file \"C:\\WINDOWS\\inf\\oem9.inf\"\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tvalue 2 is an unexpected inf scan mode\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \terror while seeking INF files that should be deleted\n"));
}

TEST_F(Drvkit, OperationsByInfWalkItsIdsAndGoOnPastFailures) {
    AddNode({"1394\\A"});
    AddNode({"1394\\A"}, false);
    const std::string inf = WriteFile("pkg/two.inf", "[Version]\nSignature=$Chicago$\n[Manufacturer]\nM=Models\n"
                                                     "[Models]\nd=i,1394\\A\nnoid=i\nd=i,1394\\B,compat\n");
    const std::string empty = WriteFile("pkg/empty.inf", "[Version]\nSignature=$Chicago$\n");
    const std::string missing = root_ + "/pkg/none.inf";
    StartLog();
    EXPECT_EQ(DRVKIT_EnumerateDevNodesByHardwareIDs(inf.c_str(), 0), 2);
    EXPECT_EQ(DRVKIT_UpdateDriverByHardwareIDs(inf.c_str()), 0);  // B has no present node

    struct {
        const char* path;
        int32_t count, others;
    } cases[] = {{empty.c_str(), -1, 1}, {missing.c_str(), -1, 0}};
    for (const auto& c : cases) {
        EXPECT_EQ(DRVKIT_EnumerateDevNodesByHardwareIDs(c.path, 0), c.count) << c.path;
        EXPECT_EQ(DRVKIT_UpdateDriverByHardwareIDs(c.path), c.others) << c.path;
        EXPECT_EQ(DRVKIT_DeleteDevNodesByHardwareIDs(c.path, 0), c.others) << c.path;
        EXPECT_EQ(DRVKIT_DeleteInfFilesByHardwareIDs(c.path, 0), c.others) << c.path;
    }
    EXPECT_EQ(DRVKIT_DeleteDevNodesByHardwareIDs(inf.c_str(), 1), 1);
    EXPECT_EQ(DRVKIT_EnumerateDevNodesByHardwareIDs(inf.c_str(), 0), 1);
    EXPECT_EQ(DRVKIT_EnumerateDevNodesByHardwareIDs(inf.c_str(), 5), -1);

    auto lines = CloseLog();
    for (const char* line : {
             "INFO:   \tstart enumerating device nodes with hardware ID \"1394\\A\" ...\n",
             "INFO:   \t2 device nodes found for 1394\\A\n",
             "INFO:   \t0 device nodes found for 1394\\B\n",
             "INFO:   \tstart updating drivers for hardware ID \"1394\\B\" ...\n",
             "ERROR:  \tUpdateDriverForPlugAndPlayDevices failed for 1394\\B, error=0xE000020B\n",
             "INFO:   \tdone  updating drivers for hardware ID \"1394\\B\" ...\n",
             "INFO:   \tdone  searching for device nodes with hardware ID \"1394\\A\" ...\n",
         })
        EXPECT_TRUE(Has(lines, line)) << line;
    EXPECT_TRUE(Has(lines, "ERROR:  \terror while opening '" + missing + "': error code 0x00000002\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tcouldn\xB4t open INF file \"" + missing + "\"\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tenter DRVKIT_DeleteInfFilesByHardwareIDs('" + missing + "')\n"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
        return l.starts_with("ERROR:  \tenumerating device nodes failed for 1394\\A, error=0x");
    }));
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.find("invalid line context") != std::string::npos; }));
}

TEST_F(Drvkit, InstallCopiesTheInfAndUpdatesPresentDevices) {
    AddNode({kLuma});
    const std::string inf = WriteFile("pkg/luma.inf", InfListing({kLuma}));
    StartLog();
    EXPECT_EQ(DRVKIT_CopyOEMInf(inf.c_str()), 1);
    EXPECT_TRUE(InfExists("oem0.inf") && InfExists("oem0.pnf"));
    EXPECT_EQ(devices::ListNodes()[0].driver, "oem0.inf");
    EXPECT_EQ(DRVKIT_CopyOEMInf((root_ + "/pkg/none.inf").c_str()), 0);
    EXPECT_EQ(DRVKIT_UpdateDriver("1394\\Nobody", inf.c_str()), 0);
    EXPECT_EQ(DRVKIT_UpdateDriver(kLuma, inf.c_str()), 1);
    EXPECT_EQ(DRVKIT_UpdateDriverByHardwareIDs(inf.c_str()), 1);
    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "ERROR:  \tDRVKIT_CopyOEMInf: SetupCopyOEMInf failed, error=0x00000002\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tDRVKIT_UpdateDriver: UpdateDriverForPlugAndPlayDevices failed, error=0xE000020B\n"));
    EXPECT_TRUE(Has(lines, "INFO:   \tenter DRVKIT_UpdateDriver('" + std::string(kLuma) + "','" + inf + "')\n"));
}

TEST_F(Drvkit, RescanReportsTheConfigurationManagersResult) {
    StartLog();
    EXPECT_EQ(DRVKIT_Rescan(), 1);
    EXPECT_EQ(devices::Counter("rescans"), 1u);
    devices::AddFault("CM_Reenumerate_DevNode=0x13");
    EXPECT_EQ(DRVKIT_Rescan(), 0);
    devices::AddFault("CM_Locate_DevNode=0x5");
    EXPECT_EQ(DRVKIT_Rescan(), 0);
    auto lines = CloseLog();
    EXPECT_TRUE(Has(lines, "ERROR:  \tCM_Reenumerate_DevNode failed with error code 19 (defined in cfgmgr32.h)\n"));
    EXPECT_TRUE(Has(lines, "ERROR:  \tCM_Locate_DevNode failed with error code 5 (defined in cfgmgr32.h)\n"));
}

// Starts a copy of a harmless long-running program under a name of its own.
pid_t StartVictim(const std::string& path) {
    stdfs::copy_file("/bin/sleep", path);
    stdfs::permissions(path, stdfs::perms::owner_all);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("60"), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ), 0);
    return pid;
}

TEST_F(Drvkit, KillProcessEndsEveryProcessOfThatNameForGood) {
    const std::string name = "drvkit_victim_" + std::to_string(::getpid());
    const pid_t a = StartVictim(root_ + "/" + name);
    StartLog();
    EXPECT_EQ(DRVKIT_KillProcess("no_such_program.exe"), 1);
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    EXPECT_EQ(DRVKIT_KillProcess((upper + ".EXE").c_str()), 1);
    ::kill(a, SIGTERM);  // only reached when the call above failed to end it
    int status = 0;
    ASSERT_EQ(::waitpid(a, &status, 0), a);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(CloseLog().size(), 2u);  // it takes no part in the log
}

}  // namespace
