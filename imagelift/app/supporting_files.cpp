// The supporting files: the 1394 driver files of the Windows folder, the access library and the
// settings database of the program folder. Start-up checks that each is there and, where a date
// is expected, that it carries it; what it finds is only logged, never acted on.
#include "app/bas_app.h"

#include "support/date_text.h"
#include "support/program_context.h"
#include "vbrt/convert.h"

namespace basWinAPI {

int32_t GetWindowsDirectory(std::string& buffer, int32_t size) {
    static const std::string kWindowsFolder = "C:\\WINDOWS";
    const int32_t n = int32_t(kWindowsFolder.size());
    if (size < n + 1) return n + 1;  // the size the buffer would need
    buffer = kWindowsFolder;
    return n;
}

}  // namespace basWinAPI

namespace basApp {

namespace {

std::string withLeadingBackslash(const std::string& path) {
    return !path.empty() && path.front() == '\\' ? path : "\\" + path;
}

std::string programFolder() {
    const std::string& path = imagelift::Ctx().App.Path;
    return path.empty() ? fs::ProgramFolder() : path;
}

const std::string kQuote = "\"";

}  // namespace

int32_t VerifyFileDate(SupportingFile& file) {
    int32_t result = 0;
    std::string path = file.Path;

    if (file.InWindowsDir) {
        std::string buffer;
        const int32_t n = basWinAPI::GetWindowsDirectory(buffer, 255);
        if (n < 1 || n > 255) {
            StatusDisplay("Failed to get the Windows directory name in the startup routine, code " + vb::CStr(n) + "!",
                          basDebug::ERROR_LEVEL);
            return -1;
        }
        file.Path = withLeadingBackslash(file.Path);
        path = buffer.substr(0, size_t(n)) + file.Path;
    }
    if (file.InAppDir) {
        file.Path = withLeadingBackslash(file.Path);
        path = programFolder() + file.Path;
    }

    if (!basWinAPI::FileExists(path)) {
        StatusDisplay("ERROR: the file " + kQuote + path + kQuote + " does not exist!", basDebug::USER);
        result = -1;
    }

    // A missing file has the time -1, which no calendar date stands for.
    fs::SYSTEMTIME st;
    if (!fs::FileTimeToSystemTime(basWinAPI::GetFileLastWriteTime(path), st)) {
        StatusDisplay(std::string("Failed to convert driver date to a readable format!  ") +
                          "FileTimeToSystemTime result = " + "0",
                      basDebug::ERROR_LEVEL);
        return result;
    }

    bool matched = true;
    std::string expected;
    const struct {
        int16_t want;
        uint16_t have;
        const char* label;
    } parts[] = {{file.Year, st.Year, "Year="},   {file.Month, st.Month, " mon="},   {file.Day, st.Day, " day="},
                 {file.Hour, st.Hour, " hr="},    {file.Minute, st.Minute, " min="}, {file.Second, st.Second, " sec="}};
    for (const auto& p : parts) {
        if (p.want <= 0) continue;
        if (p.want != int32_t(p.have)) matched = false;
        expected += p.label + vb::CStr(int32_t(p.want));
    }

    const std::string dateText = vb::CStr(int32_t(st.Year)) + "-" + vb::CStr(int32_t(st.Month)) + "-" +
                                 vb::CStr(int32_t(st.Day)) + "  " + vb::CStr(int32_t(st.Hour)) + ":" +
                                 vb::Format(st.Minute, "00") + ":" + vb::Format(st.Second, "00");
    StatusDisplay(path + " is dated " + dateText + ".", basDebug::WATCH);

    if (!matched) {
        if (file.EnforceMinimumDate) {
            fs::SYSTEMTIME minimum;
            minimum.Year = uint16_t(file.Year);
            minimum.Month = uint16_t(file.Month);
            minimum.Day = uint16_t(file.Day);
            minimum.Hour = uint16_t(file.Hour);
            minimum.Minute = uint16_t(file.Minute);
            minimum.Second = uint16_t(file.Second);
            // A newer file than the minimum is accepted.
            if (basUtils::FormatSystemTime(minimum, "yyyymmddhhnnss") <
                basUtils::FormatSystemTime(st, "yyyymmddhhnnss"))
                return result;
        }
        StatusDisplay("File Dependency Error: file " + kQuote + path + kQuote + " is dated " + dateText + ".",
                      basDebug::ERROR_LEVEL);
        StatusDisplay("The expected date is " + expected, basDebug::ERROR_LEVEL);
    }
    return result;
}

void VerifySupportingFiles() {
    std::vector<SupportingFile> files(5);
    files[0].Path = "\\system32\\drivers\\1394vdev.sys";
    files[0].InWindowsDir = true;
    files[0].Year = 2002, files[0].Month = 10, files[0].Day = 25;
    files[1].Path = "\\system32\\drivers\\1394bus.sys";
    files[1].InWindowsDir = true;
    files[2].Path = "\\system32\\drivers\\ohci1394.sys";
    files[2].InWindowsDir = true;
    files[3].Path = "vsk1394api.dll";
    files[3].InAppDir = true;
    files[3].Year = 2003, files[3].Month = 7, files[3].Day = 24;
    files[3].EnforceMinimumDate = true;
    files[4].Path = "db1.mdb";
    files[4].InAppDir = true;
    for (auto& f : files) VerifyFileDate(f);
}

}  // namespace basApp
