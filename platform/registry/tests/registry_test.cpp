#include "registry/registry.h"
#include "registry/values.h"
#include "vbrt/error.h"

#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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

// The store holds every program's settings in one file: a save never rewrites a file it could
// not read whole (it is refused instead), and keeps the lines it does not understand.
TEST_F(SettingsStore, ASaveKeepsWhatItCannotReadOrDoesNotUnderstand) {
    namespace sfs = std::filesystem;
    registry::SaveSetting("A", "S", "K", "1");
    const std::string path = registry::SettingsFilePath();
    const auto fileText = [&] {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    // A later version's line with a fifth field, a line with a tab too few, an empty line.
    const std::string foreign = "Other\tS\tK\tv\textra\nbroken\tline\n\n";
    { std::ofstream(path, std::ios::binary | std::ios::app) << foreign; }
    registry::SaveSetting("A", "S", "K", "2");
    registry::SaveSetting("B", "S", "K", "3");
    registry::DeleteSetting("B", "S");
    EXPECT_EQ(fileText(), "A\tS\tK\t2\n" + foreign);
    EXPECT_EQ(registry::GetSetting("A", "S", "K"), "2");

    // A file that cannot be read (its mode, for a user other than its owner): the save is
    // refused and the file stays as it was. An administrator runs the save as another user, to
    // whom the root and its folder are given (a root of another user would be refused whole).
    const std::string before = fileText();
    const bool administrator = ::geteuid() == 0;
    const auto giveFolders = [&](uid_t user) {
        if (!administrator) return;
        ASSERT_EQ(::chown(root_.c_str(), user, user), 0);
        ASSERT_EQ(::chown(sfs::path(path).parent_path().c_str(), user, user), 0);
    };
    giveFolders(65534);
    ::chmod(path.c_str(), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        int code = 1;
        try {
            registry::SaveSetting("A", "S", "New", "x");
        } catch (const vb::Error& e) {
            code = e.Number() == 75 ? 0 : 2;
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the save was not refused";
    giveFolders(0);
    ::chmod(path.c_str(), 0600);
    EXPECT_EQ(fileText(), before);
}

// Settings and values in a folder that another user may write could be theirs: they are neither
// read nor written there (a read gives the default, a write fails and says which folder and how
// to mend it), and what is there stays as it was.
TEST_F(SettingsStore, AStoreInAFolderOthersMayWriteIsNeitherReadNorWritten) {
    namespace sfs = std::filesystem;
    const std::string key = "Software\\NRX\\Lumarel460";
    const uint32_t x = 7;
    registry::SaveSetting("App", "S", "K", "mine");
    ASSERT_EQ(registry::SetValue(registry::Hive::LocalMachine, key, "WinX", registry::kRegDword, &x, 4), registry::kRegOk);
    const sfs::path settings = sfs::path(registry::SettingsFilePath()).parent_path();
    ::chmod(settings.c_str(), 0777);  // the folder of both
    const std::string settingsBefore = [&] {
        std::ifstream in(registry::SettingsFilePath(), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();

    EXPECT_EQ(registry::GetSetting("App", "S", "K", "default"), "default");
    EXPECT_TRUE(registry::GetAllSettings("App", "S").empty());
    try {
        registry::SaveSetting("App", "S", "K", "theirs");
        ADD_FAILURE() << "the save was not refused";
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), 70);
        EXPECT_NE(e.Description().find("chmod go-w '" + settings.string() + "'"), std::string::npos) << e.Description();
    }
    registry::Value v;
    EXPECT_EQ(registry::QueryValue(registry::Hive::LocalMachine, key, "WinX", v), registry::kRegAccessDenied);
    EXPECT_EQ(registry::SetValue(registry::Hive::LocalMachine, key, "WinX", registry::kRegDword, &x, 4),
              registry::kRegAccessDenied);
    EXPECT_EQ(registry::DeleteKey(registry::Hive::LocalMachine, key), registry::kRegAccessDenied);

    ::chmod(settings.c_str(), 0700);
    EXPECT_EQ(registry::GetSetting("App", "S", "K", "default"), "mine");
    ASSERT_EQ(registry::QueryValue(registry::Hive::LocalMachine, key, "WinX", v), registry::kRegOk);
    EXPECT_EQ(v.data, std::vector<uint8_t>({7, 0, 0, 0}));
    std::ifstream in(registry::SettingsFilePath(), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), settingsBefore);
}

}  // namespace
