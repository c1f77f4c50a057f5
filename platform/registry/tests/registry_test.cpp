#include "registry/registry.h"
#include "vbrt/error.h"

#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class SettingsStore : public testing_support::TempRootTest {
protected:
    SettingsStore() : TempRootTest("registry_test") {}
};

TEST_F(SettingsStore, ValuesRoundTripAndNamesIgnoreCase) {
    EXPECT_EQ(registry::GetSetting("App", "frmShell", "Top", "17"), "17");
    registry::SaveSetting("App", "frmShell", "Top", "120");
    registry::SaveSetting("App", "frmShell", "Left", "");
    // Awkward bytes survive: tabs, line ends, backslashes and 8-bit characters.
    const std::string odd = "a\tb\r\nc\\d\xE9";
    registry::SaveSetting("App", "Global", "DefaultFirmwarePath", odd);

    EXPECT_EQ(registry::GetSetting("APP", "FRMSHELL", "top", "17"), "120");
    EXPECT_EQ(registry::GetSetting("App", "frmShell", "Left", "9"), "");  // stored empty stays empty
    EXPECT_EQ(registry::GetSetting("App", "Global", "DefaultFirmwarePath"), odd);
    EXPECT_EQ(registry::GetSetting("Other", "frmShell", "Top", "x"), "x");

    registry::SaveSetting("app", "frmshell", "TOP", "5");
    auto all = registry::GetAllSettings("App", "frmShell");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], (std::pair<std::string, std::string>{"Top", "5"}));
    EXPECT_EQ(all[1].first, "Left");
}

TEST_F(SettingsStore, EmptyNamesAreRefusedAndDeleteRemovesKeyOrSection) {
    for (auto [a, s, k] : {std::tuple{"", "S", "K"}, {"A", "", "K"}, {"A", "S", ""}}) {
        try {
            registry::SaveSetting(a, s, k, "v");
            FAIL() << "no error";
        } catch (const vb::Error& e) {
            EXPECT_EQ(e.Number(), 5);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(registry::SettingsFilePath()));

    registry::SaveSetting("A", "S", "K1", "1");
    registry::SaveSetting("A", "S", "K2", "2");
    registry::SaveSetting("A", "T", "K1", "3");
    registry::DeleteSetting("A", "S", "K1");
    registry::DeleteSetting("A", "S", "missing");
    EXPECT_EQ(registry::GetSetting("A", "S", "K1", "-"), "-");
    EXPECT_EQ(registry::GetSetting("A", "S", "K2", "-"), "2");
    registry::DeleteSetting("A", "S");
    EXPECT_TRUE(registry::GetAllSettings("A", "S").empty());
    EXPECT_EQ(registry::GetSetting("A", "T", "K1"), "3");
}

TEST_F(SettingsStore, ConcurrentProcessesLoseNoWrites) {
    constexpr int kChildren = 4, kEach = 25;
    std::vector<pid_t> pids;
    for (int c = 0; c < kChildren; ++c) {
        pid_t pid = ::fork();
        if (pid == 0) {
            for (int i = 0; i < kEach; ++i)
                registry::SaveSetting("A", "S" + std::to_string(c), "K" + std::to_string(i), std::to_string(i));
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t p : pids) {
        int status = 0;
        ::waitpid(p, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < kChildren; ++c)
        EXPECT_EQ(registry::GetAllSettings("A", "S" + std::to_string(c)).size(), size_t(kEach));
}

}  // namespace
