#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "devices/errors.h"
#include "devices/processes.h"
#include "devices/install_calls.h"
#include "testing/store_fixture.h"

namespace devices {
namespace {

using fixture::InfListing;
using Store = fixture::StoreTest;

TEST(NodeFile, RoundTripKeepsEveryKeyAndOrder) {
    const std::string text =
        "InstanceId=1394\\X\\1\nHardwareId=1394\\A\nHardwareId= 1394\\B \nHardwareIdType=1\n"
        "HardwareIdBytes=41004200\nPresent=0\nInterface={G} \\\\.\\X0\nDriver=oem3.inf\nGuid=0A3C\nFwDate=2004\n";
    auto node = ParseNode(text);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->hardwareIds, (std::vector<std::string>{"1394\\A", " 1394\\B "}));
    EXPECT_EQ(node->hardwareIdType, REG_SZ);
    EXPECT_FALSE(node->present);
    EXPECT_EQ(FormatNode(*node), text);
    EXPECT_FALSE(ParseNode("no equals sign\n"));
    EXPECT_FALSE(ParseNode("HardwareIdBytes=4G\n"));
}

TEST(NodeFile, HardwareIdValueByType) {
    DeviceNode node;
    node.hardwareIds = {"AB", "C"};
    EXPECT_EQ(node.HardwareIdValue(), (std::vector<uint8_t>{'A', 'B', 0, 'C', 0, 0}));
    node.hardwareIdType = REG_SZ;
    EXPECT_EQ(node.HardwareIdValue(), (std::vector<uint8_t>{'A', 'B', 0}));
    node.hardwareIdBytes = std::vector<uint8_t>{'Z'};
    EXPECT_EQ(node.HardwareIdValue(), (std::vector<uint8_t>{'Z'}));
    EXPECT_FALSE(DeviceNode{}.HasHardwareIdProperty());
}

TEST_F(Store, SetsFollowPresenceAndEnumerationOrder) {
    AddNode({"1394\\A"});
    AddNode({"1394\\B"}, false);
    AddNode({"1394\\C"});
    auto idsOf = [](uint32_t flags) {
        std::vector<std::string> ids;
        HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, flags);
        SP_DEVINFO_DATA element;
        element.cbSize = sizeof element;
        for (uint32_t i = 0; SetupDiEnumDeviceInfo(set, i, &element); ++i) {
            char buffer[64];
            uint32_t type = 0;
            EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, &type,
                                                          reinterpret_cast<uint8_t*>(buffer), sizeof buffer, nullptr));
            ids.push_back(buffer);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return ids;
    };
    EXPECT_EQ(idsOf(DIGCF_ALLCLASSES), (std::vector<std::string>{"1394\\A", "1394\\B", "1394\\C"}));
    EXPECT_EQ(idsOf(DIGCF_ALLCLASSES | DIGCF_PRESENT), (std::vector<std::string>{"1394\\A", "1394\\C"}));
    EXPECT_EQ(Counter("sets"), 2u);
    EXPECT_EQ(OpenDeviceInfoSets(), 0);
}

TEST_F(Store, PropertyReadFollowsTheTwoCallProtocol) {
    AddNode({"1394\\A", "1394\\B"});
    AddNode({});
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    element.cbSize = 32;  // the 64-bit size is refused
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &element));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    element.cbSize = sizeof element;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
    uint32_t size = 0, type = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, 15u);
    EXPECT_EQ(type, REG_MULTI_SZ);

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &element));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_HARDWAREID, &type, nullptr, 0, &size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Store, RemoveDeletesTheNodeUnlessAFaultHitsIt) {
    AddNode({"1394\\Keep"});
    AddNode({"1394\\Gone"});
    AddFault("SetupDiCallClassInstaller:1394\\KEEP=0x5");
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element;
    element.cbSize = sizeof element;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &element));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &element));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &element));
    uint64_t generation = Generation();
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &element));
    EXPECT_GT(Generation(), generation);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &element));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_EQ(HardwareIdsOfNodes(), std::vector<std::string>{"1394\\Keep"});
    EXPECT_EQ(Counter("removals"), 3u);
}

TEST_F(Store, OemCopyTakesTheLowestFreeNameOnceAndBindsWaitingNodes) {
    std::string waiting = AddNode({"1394\\A"});
    std::string absent = AddNode({"1394\\A"}, false);
    WriteInf("oem0.inf", InfListing({"Other\\X"}));
    std::string source = WriteFile("pkg/drv.inf", InfListing({" 1394\\a "}));

    char destination[64] = {};
    char* namePart = nullptr;
    ASSERT_TRUE(SetupCopyOEMInfA(source.c_str(), nullptr, SPOST_PATH, 0, destination, sizeof destination, nullptr,
                                 &namePart));
    EXPECT_STREQ(destination, "C:\\WINDOWS\\inf\\oem1.inf");
    EXPECT_STREQ(namePart, "oem1.inf");
    EXPECT_TRUE(InfExists("oem1.pnf"));
    EXPECT_EQ(ReadNode(waiting)->driver, "oem1.inf");
    EXPECT_EQ(ReadNode(absent)->driver, "");

    // The same bytes again install nothing new.
    ASSERT_TRUE(SetupCopyOEMInfA(source.c_str(), nullptr, SPOST_PATH, 0, destination, sizeof destination, nullptr,
                                 nullptr));
    EXPECT_STREQ(destination, "C:\\WINDOWS\\inf\\oem1.inf");
    EXPECT_FALSE(InfExists("oem2.inf"));

    EXPECT_FALSE(SetupCopyOEMInfA((root_ + "/pkg/none.inf").c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr,
                                  nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Store, DriverUpdateBindsPresentNodesOrSaysWhyNot) {
    std::string present = AddNode({"1394\\A"});
    std::string absent = AddNode({"1394\\B"}, false);
    std::string inf = WriteFile("pkg/drv.inf", InfListing({"1394\\A", "1394\\B"}));
    std::string other = WriteFile("pkg/other.inf", InfListing({"1394\\Z"}));
    struct {
        const char* id;
        std::string inf;
        uint32_t error;
    } failures[] = {
        {"1394\\B", inf, ERROR_NO_SUCH_DEVINST},  // not present
        {"1394\\A", other, ERROR_NO_COMPAT_DRIVERS},
        {"1394\\A", root_ + "/pkg/none.inf", ERROR_FILE_NOT_FOUND},
    };
    for (const auto& f : failures) {
        EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, f.id, f.inf.c_str(), INSTALLFLAG_FORCE, nullptr));
        EXPECT_EQ(GetLastError(), f.error) << f.id << " " << f.inf;
    }
    EXPECT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "1394\\a", inf.c_str(), INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(ReadNode(present)->driver, "oem0.inf");
    EXPECT_EQ(ReadNode(absent)->driver, "");
}

TEST_F(Store, RescanRunsEnumeratorsAndBindsTheirNodes) {
    WriteInf("oem4.inf", InfListing({"V1394\\VIRTUAL"}));
    int id = RegisterEnumerator([this] { AddNode({"V1394\\VIRTUAL"}); });
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
    EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), CR_SUCCESS);
    UnregisterEnumerator(id);
    EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), CR_SUCCESS);
    ASSERT_EQ(ListNodes().size(), 1u);
    EXPECT_EQ(ListNodes()[0].driver, "oem4.inf");
    EXPECT_EQ(Counter("rescans"), 2u);

    AddFault("CM_Reenumerate_DevNode=0x13");
    EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_SYNCHRONOUS), 0x13u);
    EXPECT_EQ(CM_Locate_DevNodeA(&root, "ROOT\\X", 0), CR_FAILURE);
}

// A node's driver runs only from an installed package that still lists the node's hardware ID;
// the driver name comes from a node file, so it never reaches outside the INF folder.
TEST_F(Store, ADriverRunsOnlyFromAnInstalledInfThatListsTheNode) {
    WriteInf("oem2.inf", InfListing({" v1394\\virtual "}));
    WriteInf("oem3.inf", InfListing({"Other\\X"}));
    WriteInf("drv.inf", InfListing({"V1394\\VIRTUAL"}));
    WriteFile("drives/c/WINDOWS/oem9.inf", InfListing({"V1394\\VIRTUAL"}));
    std::filesystem::create_directories(InfFolderNative() / "oem5.inf");
    const struct {
        const char* driver;
        bool runs;
    } cases[] = {
        {"oem2.inf", true},
        {"", false},         {"oem3.inf", false},  // none; lists another device
        {"oem4.inf", false}, {"oem5.inf", false},  // deleted; not a file
        {"drv.inf", false},  {"../oem9.inf", false}, {"..\\oem9.inf", false},  // no package; outside
    };
    for (const auto& c : cases) {
        DeviceNode node;
        node.hardwareIds = {"V1394\\VIRTUAL"};
        node.driver = c.driver;
        EXPECT_EQ(HasInstalledDriver(node), c.runs) << c.driver;
    }
}

TEST_F(Store, FileCallsOnTheInfFolder) {
    WriteInf("oem7.inf", "x");
    WriteInf("OEM8.INF", "x");
    WriteInf("foo.inf", "x");
    WriteInf("oem7.pnf", "x");
    EXPECT_EQ(FindFiles("C:\\windows\\INF\\oem*.inf"),
              (std::vector<std::string>{"C:\\windows\\INF\\OEM8.INF", "C:\\windows\\INF\\oem7.inf"}));
    EXPECT_EQ(FindFiles("C:\\WINDOWS\\inf\\*.inf").size(), 3u);
    EXPECT_EQ(FindFiles("C:\\WINDOWS\\inf\\oem?.pnf").size(), 1u);

    char folder[261];
    EXPECT_EQ(GetWindowsDirectoryA(folder, sizeof folder), 10u);
    EXPECT_STREQ(folder, "C:\\WINDOWS");
    EXPECT_EQ(GetWindowsDirectoryA(folder, 5), 11u);

    std::string path = "C:\\WINDOWS\\inf\\oem7.inf";
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(std::filesystem::status(InfFolderNative() / "oem7.inf").permissions() & std::filesystem::perms::owner_write,
              std::filesystem::perms::none);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    AddFault("DeleteFile:OEM7.INF=5");
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(DeleteFileA("C:\\WINDOWS\\inf\\foo.inf"));
    EXPECT_FALSE(DeleteFileA("C:\\WINDOWS\\inf\\foo.inf"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(SetFileAttributesA("C:\\WINDOWS\\inf\\foo.inf", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Processes, ExeNamesMatchWithoutCaseAndWithTheWindowsEnding) {
    EXPECT_TRUE(ExeNameMatches("Imagelift.exe", "imagelift.EXE"));
    EXPECT_TRUE(ExeNameMatches("IMAGELIFT.EXE", "Imagelift"));
    EXPECT_FALSE(ExeNameMatches("Imagelift", "Imagelift.exe"));
    EXPECT_FALSE(ExeNameMatches("", ""));
    EXPECT_FALSE(ExeNameMatches("image", "Imagelift"));
    auto processes = ListProcesses();
    ASSERT_TRUE(processes);
    bool self = false;
    for (const auto& p : *processes) self = self || (p.pid == ::getpid() && p.exeName == "devices_tests");
    EXPECT_TRUE(self);
}

}  // namespace
}  // namespace devices
