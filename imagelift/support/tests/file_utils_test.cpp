#include "support/file_utils.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fs/fs.h"
#include "tests/support_fixture.h"
#include "user/user.h"
#include "vbrt/error.h"

namespace {

using basUtils::ByteArray;
using supporttest::SupportTest;
using supporttest::WriteFile;
namespace stdfs = std::filesystem;

class FakeProgressBar : public basUtils::IProgressControl {
public:
    explicit FakeProgressBar(std::string type = "ProgressBar") : type_(std::move(type)) {}
    std::string TypeName() const override { return type_; }
    void SetMin(int32_t v) override { min = v; }
    void SetMax(int32_t v) override { max = v; }
    int32_t Max() const override { return max; }
    void SetValue(int32_t v) override { values.push_back(v); }
    int32_t min = -1, max = -1;
    std::vector<int32_t> values;

private:
    std::string type_;
};

class ReadFileTest : public SupportTest {
protected:
    std::string File(const std::string& name, size_t size) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = char('a' + i % 26);
        WriteFile(root_ / name, bytes);
        return (root_ / name).string();
    }
};

// The read that meets the end of the file counts as one more (zero) element.
TEST_F(ReadFileTest, ElementCountsAndResults) {
    struct Case { size_t fileSize; int32_t limit; size_t elements; bool trailingZero; int32_t result; };
    const Case cases[] = {
        {0, 0, 1, true, -1},       {1, 0, 2, true, -1},       {2, 0, 3, true, 1},
        {3, 0, 4, true, 1},        {5000, 1000, 1001, false, 1}, {1000, 1000, 1001, true, 1},
        {1001, 1000, 1001, false, 1}, {70000, 0, 70001, true, 1},
        {5000, -5, 1, false, -1},  // a negative limit stops after the first byte
    };
    for (const auto& c : cases) {
        const std::string name = File("f" + std::to_string(c.fileSize) + ".bin", c.fileSize);
        ByteArray data{9, 9};
        EXPECT_EQ(basUtils::ReadFileToByteArray(name, data, c.limit), c.result) << c.fileSize;
        ASSERT_EQ(data.size(), c.elements) << c.fileSize;
        for (size_t i = 0; i + 1 < data.size(); ++i) ASSERT_EQ(data[i], uint8_t('a' + i % 26));
        if (c.trailingZero) EXPECT_EQ(data.back(), 0);
        else EXPECT_EQ(data.back(), uint8_t('a' + (c.elements - 1) % 26));
    }
}

// The array is made at the size the file reports. A file that holds more than that (the
// kernel's own files report none) is still read whole, and a limit still holds.
TEST_F(ReadFileTest, FileLongerThanItsReportedSize) {
    const std::string name = "/proc/self/cmdline";
    std::ifstream in(name, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GE(text.size(), 3u);
    ASSERT_EQ(fs::GetFileSize64(name).Value(), 0);

    ByteArray whole(text.begin(), text.end());
    whole.push_back(0);
    ByteArray data;
    EXPECT_EQ(basUtils::ReadFileToByteArray(name, data), 1);
    EXPECT_EQ(data, whole);
    EXPECT_EQ(basUtils::ReadFileToByteArray(name, data, 2), 1);
    EXPECT_EQ(data, ByteArray(text.begin(), text.begin() + 3));
}

TEST_F(ReadFileTest, MissingFilesFoldersAndWindowsPaths) {
    ByteArray data{1, 2, 3};
    EXPECT_EQ(basUtils::ReadFileToByteArray((root_ / "missing.fwp").string(), data), -1);
    EXPECT_EQ(data, ByteArray{0});
    EXPECT_TRUE(window_.lines.empty());  // no message for a missing file

    stdfs::create_directories(root_ / "afolder");
    try {
        basUtils::ReadFileToByteArray((root_ / "afolder").string(), data);
        FAIL() << "a folder was read";
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), 75);
    }

    // The command line arrives upper-cased with Windows separators.
    stdfs::create_directories(root_ / "drives" / "c" / "Fw");
    WriteFile(root_ / "drives" / "c" / "Fw" / "App.fwp", "xyz");
    EXPECT_EQ(basUtils::ReadFileToByteArray("C:\\FW\\APP.FWP", data), 1);
    EXPECT_EQ(data, (ByteArray{'x', 'y', 'z', 0}));
}

TEST_F(ReadFileTest, ProgressBarCountsInStepsOf128K) {
    const std::string name = File("big.bin", 1 << 20);  // 1 MB: Max 8
    ByteArray data;
    FakeProgressBar bar;
    EXPECT_EQ(basUtils::ReadFileToByteArray(name, data, 0, &bar), 1);
    EXPECT_EQ(bar.min, 0);
    EXPECT_EQ(bar.max, 8);
    ASSERT_FALSE(bar.values.empty());
    EXPECT_EQ(bar.values.front(), 0);
    EXPECT_EQ(bar.values.back(), 7);  // the last growth happens before the 1 MB mark

    FakeProgressBar small;
    const std::string smallName = File("small.bin", 1000);  // under 128 KB: Max 32767
    basUtils::ReadFileToByteArray(smallName, data, 0, &small);
    EXPECT_EQ(small.max, 32767);

    FakeProgressBar notABar("TextBox");
    basUtils::ReadFileToByteArray(name, data, 0, &notABar);
    EXPECT_EQ(notABar.max, -1);
    EXPECT_TRUE(notABar.values.empty());
}

TEST_F(ReadFileTest, RepaintsTheWindowWhenTheStopIsOnAStep) {
    int paints = 0;
    const user::HWND hwnd = user::CreateWindow("Test", "progress", [&](user::HWND, uint32_t msg, user::WPARAM, user::LPARAM) -> user::LRESULT {
        if (msg == 0x000F) ++paints;
        return 0;
    });
    int events = 0;
    auto previous = clk::SetDoEventsHandler([&] { ++events; });
    // 20 * 128 KB: Max 20, so every element count is a multiple of the step of 1.
    const std::string name = File("paint.bin", 20 * 131072);
    FakeProgressBar bar;
    ByteArray data;
    basUtils::ReadFileToByteArray(name, data, 0, &bar, hwnd);
    EXPECT_EQ(paints, 1);
    EXPECT_EQ(events, 1);
    clk::SetDoEventsHandler(previous);
    user::DestroyWindow(hwnd);
}

TEST(FormatSystemTime, TokensReplacedInOrder) {
    const fs::SYSTEMTIME t{2024, 2, 6, 3, 7, 5, 9, 123};
    struct Case { const char* pattern; const char* expected; };
    const Case cases[] = {
        {"hh:nn:ss", "07:05:09"},
        {"d.m.yy", "3.2.24"},
        {"yyyy-mm-dd", "2024-02-03"},
        {"mmm dd", "02 03"},
        {"YYYY-MM-DD HH:NN:SS", "2024-02-03 07:05:09"},
        {"Day dd", "3ay 03"},  // a literal d is a token too
        {"yyyymmddhhnnss", "20240203070509"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(basUtils::FormatSystemTime(t, c.pattern), c.expected) << c.pattern;
}

TEST(FormatWinDateTime, ConvertsWithoutZoneAndReportsInvalidTimes) {
    fs::SYSTEMTIME t{2024, 2, 0, 3, 7, 5, 9, 0};
    fs::FILETIME ft;
    ASSERT_TRUE(fs::SystemTimeToFileTime(t, ft));
    EXPECT_EQ(basUtils::FormatWinDateTime(ft, "yyyy-mm-dd hh:nn:ss"), "2024-02-03 07:05:09");
    EXPECT_EQ(basUtils::FormatWinDateTime(fs::FILETIME::Missing(), "yyyy"),
              "Error in basUtils.FormatWinDateTime");
}

TEST(SplitPath, FolderKeepsItsSeparator) {
    struct Case { const char* path; const char* folder; const char* file; };
    const Case cases[] = {
        {"C:\\dir\\file.txt", "C:\\dir\\", "file.txt"},
        {"file.txt", "", "file.txt"},
        {"a/b/c.txt", "a/b/", "c.txt"},
        {"C:\\dir\\", "C:\\dir\\", ""},
    };
    for (const auto& c : cases) {
        std::string folder = "x", file = "y";
        EXPECT_EQ(basUtils::SplitPath(c.path, folder, file), 1);
        EXPECT_EQ(folder, c.folder);
        EXPECT_EQ(file, c.file);
    }
}

class UniqueNameTest : public SupportTest {};

TEST_F(UniqueNameTest, CountsUpPastExistingFiles) {
    stdfs::create_directories(root_ / "drives" / "c" / "out");
    EXPECT_EQ(basUtils::NewUniqueFilename("C:\\out\\report.txt"), "C:\\out\\report.001.txt");
    WriteFile(root_ / "drives" / "c" / "out" / "report.001.txt", "");
    WriteFile(root_ / "drives" / "c" / "out" / "report.002.txt", "");
    EXPECT_EQ(basUtils::NewUniqueFilename("C:\\out\\report.txt"), "C:\\out\\report.003.txt");
    EXPECT_EQ(basUtils::NewUniqueFilename(" C:\\out\\ \\report"), "C:\\out\\ \\report.001.");
    EXPECT_EQ(basUtils::NewUniqueFilename("C:\\out\\report"), "C:\\out\\report.001.");
    EXPECT_EQ(basUtils::NewUniqueFilename((root_ / "r.log").string()), (root_ / "r.001.log").string());
}

TEST_F(UniqueNameTest, ABareNameStaysInTheCurrentFolder) {
    WriteFile(root_ / "report.001.txt", "");
    const std::string name = basUtils::NewUniqueFilename("report.txt");
    EXPECT_EQ(name, fs::CurDir() + "/report.002.txt");
    EXPECT_FALSE(stdfs::exists(name));
}

}  // namespace
