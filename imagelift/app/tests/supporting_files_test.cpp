// The supporting-file check: presence and date of each file, logged and never acted on.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/bas_app.h"
#include "app/driver_stand_ins.h"
#include "tests/app_fixture.h"

namespace {

class SupportingFiles : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ctx_.MainChildForm = &main_;
        programFolder_ = root_ + "/bin";
        std::filesystem::create_directories(programFolder_);
        ctx_.App.Path = programFolder_;
        drivers_ = root_ + "/drives/c/WINDOWS/system32/drivers";
        std::filesystem::create_directories(drivers_);
    }

    // A file whose last write lies at that UTC date and time.
    static void makeFile(const std::string& path, int y, int mo, int d, int h = 12) {
        std::ofstream(path) << "x";
        fs::SYSTEMTIME st;
        st.Year = uint16_t(y), st.Month = uint16_t(mo), st.Day = uint16_t(d), st.Hour = uint16_t(h);
        fs::FILETIME ft;
        ASSERT_TRUE(fs::SystemTimeToFileTime(st, ft));
        const auto secs = std::chrono::system_clock::to_time_t(fs::FileTimeToTimePoint(ft));
        timespec times[2] = {{secs, 0}, {secs, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }

    std::vector<std::pair<int32_t, std::string>> lines() const {
        std::vector<std::pair<int32_t, std::string>> out;
        for (const auto& l : status_.lines) out.emplace_back(l.level, l.message);
        return out;
    }

    apptest::RecordingMainWindow main_;
    std::string programFolder_, drivers_;
};

using Lines = std::vector<std::pair<int32_t, std::string>>;

TEST_F(SupportingFiles, TheLibrarysDateIsAMinimum) {
    const std::string path = programFolder_ + "\\vsk1394api.dll";
    struct Case {
        int y, mo, d;
        Lines errors;
    };
    const std::vector<Case> cases = {
        {2003, 7, 24, {}},
        {2004, 1, 1, {}},  // newer: accepted
        {2003, 1, 1,
         {{11, "File Dependency Error: file \"" + path + "\" is dated 2003-1-1  12:00:00."},
          {11, "The expected date is Year=2003 mon=7 day=24"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.y * 10000 + c.mo * 100 + c.d);
        status_.lines.clear();
        makeFile(programFolder_ + "/Vsk1394api.dll", c.y, c.mo, c.d);
        basApp::SupportingFile f;
        f.Path = "vsk1394api.dll";
        f.InAppDir = true;
        f.Year = 2003, f.Month = 7, f.Day = 24;
        f.EnforceMinimumDate = true;
        EXPECT_EQ(basApp::VerifyFileDate(f), 0);
        EXPECT_EQ(f.Path, "\\vsk1394api.dll");
        Lines expected{{9, path + " is dated " + std::to_string(c.y) + "-" + std::to_string(c.mo) + "-" +
                               std::to_string(c.d) + "  12:00:00."}};
        expected.insert(expected.end(), c.errors.begin(), c.errors.end());
        EXPECT_EQ(lines(), expected);
    }
}

TEST_F(SupportingFiles, DriverFilesOfTheWindowsFolder) {
    makeFile(drivers_ + "/1394vdev.sys", 2002, 10, 26, 3);
    basApp::VerifySupportingFiles();
    const std::string windows = "C:\\WINDOWS\\system32\\drivers\\";
    const std::string conversion = "Failed to convert driver date to a readable format!  FileTimeToSystemTime result = 0";
    const Lines expected = {
        {9, windows + "1394vdev.sys is dated 2002-10-26  3:00:00."},
        {11, "File Dependency Error: file \"" + windows + "1394vdev.sys\" is dated 2002-10-26  3:00:00."},
        {11, "The expected date is Year=2002 mon=10 day=25"},
        {13, "ERROR: the file \"" + windows + "1394bus.sys\" does not exist!"},
        {11, conversion},
        {13, "ERROR: the file \"" + windows + "ohci1394.sys\" does not exist!"},
        {11, conversion},
        {13, "ERROR: the file \"" + programFolder_ + "\\vsk1394api.dll\" does not exist!"},
        {11, conversion},
        {13, "ERROR: the file \"" + programFolder_ + "\\db1.mdb\" does not exist!"},
        {11, conversion},
    };
    EXPECT_EQ(lines(), expected);
}

TEST_F(SupportingFiles, DriverStandInsMakeAStartQuietAndLeaveFilesThatExist) {
    makeFile(programFolder_ + "/Vsk1394api.dll", 2024, 5, 6);
    makeFile(programFolder_ + "/db1.mdb", 2024, 5, 6);
    makeFile(drivers_ + "/1394bus.sys", 2001, 1, 1, 7);
    imagelift::PlaceDriverStandIns();
    imagelift::PlaceDriverStandIns();  // a second start changes nothing
    basApp::VerifySupportingFiles();
    const std::string windows = "C:\\WINDOWS\\system32\\drivers\\";
    const Lines expected = {
        {9, windows + "1394vdev.sys is dated 2002-10-25  0:00:00."},
        {9, windows + "1394bus.sys is dated 2001-1-1  7:00:00."},
        {9, windows + "ohci1394.sys is dated 2002-8-29  0:00:00."},
        {9, programFolder_ + "\\vsk1394api.dll is dated 2024-5-6  12:00:00."},
        {9, programFolder_ + "\\db1.mdb is dated 2024-5-6  12:00:00."},
    };
    EXPECT_EQ(lines(), expected);
}

}  // namespace
