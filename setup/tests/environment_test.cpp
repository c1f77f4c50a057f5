#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>

#include "setup/environment.h"
#include "testing/temp_root.h"

namespace setup {
namespace {

TEST(SplitCommandLine, ProgramInTheCurrentFolderAndArguments) {
    EXPECT_EQ(SplitCommandLine(".\\Imagelift.exe /G 0A3C7E10 00010ABC"),
              (std::vector<std::string>{"./Imagelift.exe", "/G", "0A3C7E10", "00010ABC"}));
    EXPECT_EQ(SplitCommandLine("  a  b "), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(SplitCommandLine("   ").empty());
}

class MachineTest : public testing_support::TempRootTest {
protected:
    MachineTest() : TempRootTest("lumarel_setup") {}
    void SetUp() override {
        TempRootTest::SetUp();
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        TempRootTest::TearDown();
    }
    std::filesystem::path old_;
    std::vector<std::string> shown;
    MachineEnvironment env{[this](const std::string& t) { shown.push_back(t); }};
};

TEST_F(MachineTest, MoveNeverReplacesAndNeedsItsSource) {
    EXPECT_FALSE(env.MoveFile(kDownloaderApp, kDownloaderExe));
    std::ofstream("Imagelift.app") << "app";
    std::ofstream("Imagelift.exe") << "old";
    EXPECT_FALSE(env.MoveFile(kDownloaderApp, kDownloaderExe));
    ASSERT_TRUE(env.DeleteFile(kDownloaderExe));
    EXPECT_TRUE(env.MoveFile(kDownloaderApp, kDownloaderExe));
    EXPECT_TRUE(std::filesystem::exists("Imagelift.exe"));
    EXPECT_FALSE(std::filesystem::exists("Imagelift.app"));
}

TEST_F(MachineTest, StatusFileAndProcesses) {
    EXPECT_FALSE(env.ReadStatusFile());
    std::filesystem::create_directories("script-data");
    std::ofstream("script-data/1394_write_status.txt") << "a line\r\n";
    EXPECT_EQ(env.ReadStatusFile(), "a line\r\n");

    EXPECT_EQ(env.StartProcess("   "), 0);
    const int64_t pid = env.StartProcess("/bin/true");
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 2000 && env.ProcessRunning(pid); ++i) ::poll(nullptr, 0, 5);
    EXPECT_FALSE(env.ProcessRunning(pid));
    EXPECT_FALSE(env.ProcessRunning(12345678));  // not ours
    for (int i = 0; i < 20; ++i) EXPECT_LE(env.NextRandom(), 32767);
}

}  // namespace
}  // namespace setup
