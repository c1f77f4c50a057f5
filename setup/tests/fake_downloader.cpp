// A stand-in for the downloader in the update utility's tests. Like the real program it keeps a
// hidden "ThunderRT6Main" window for its whole life and shows its frame with the exact caption
// while it works; it appends its command line to "launches.txt", writes the status file its run
// would write and ends. "fake-downloader.txt" in its folder shapes the run, one "key=value" a
// line (times in milliseconds):
//   start=N   until the frame shows (default 50)
//   frame=N   the frame shows this long (default 100)
//   after=N   the process lives on after the frame went (default 20)
//   fail=download|guid   that run logs an ERROR line instead of its success line
// As the real program does, a second instance (another process's "ThunderRT6Main" window
// exists) refuses to run: it notes "refused <command line>" in "launches.txt" and ends with 1.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <map>
#include <string>

#include "clock/clock.h"
#include "user/user.h"
#include "user/window_registry.h"

namespace {

constexpr char kCaption[] = "Downloader / Shell Application v1.8.41 (Engineering Version) (NRX Custom Build)";

std::map<std::string, std::string> Settings() {
    std::map<std::string, std::string> s;
    std::ifstream in("fake-downloader.txt");
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) s[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return s;
}

uint32_t Ms(const std::map<std::string, std::string>& s, const std::string& key, uint32_t fallback) {
    auto it = s.find(key);
    return it == s.end() ? fallback : uint32_t(std::stoul(it->second));
}

}  // namespace

int main(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
    for (const auto& w : user::EnumTopWindows())
        if (w.className == "ThunderRT6Main" && w.pid != ::getpid()) {
            std::ofstream("launches.txt", std::ios::app) << "refused " << commandLine << "\n";
            return 1;
        }

    const user::HWND hidden = user::CreateWindow("ThunderRT6Main", "Imagelift");
    user::PublishTopWindow(hidden, "ThunderRT6Main", "Imagelift", false);

    std::ofstream("launches.txt", std::ios::app) << commandLine << "\n";

    const auto s = Settings();
    const bool guidRun = argc > 1 && std::string(argv[1]) == "/G";
    const std::string run = guidRun ? "guid" : "download";
    const bool fail = s.count("fail") && s.at("fail") == run;

    clk::Sleep(Ms(s, "start", 50));
    const user::HWND frame = user::CreateWindow("ThunderRT6MDIForm", kCaption);
    user::PublishTopWindow(frame, "ThunderRT6MDIForm", kCaption, true);
    clk::Sleep(Ms(s, "frame", 100));

    std::filesystem::create_directories("script-data");
    std::ofstream status("script-data/1394_write_status.txt", std::ios::binary | std::ios::trunc);
    status << "12:00:00.000, USER, basApp, Started Imagelift version 1.8.41\r\n";
    if (fail)
        status << "12:00:01.000, ERROR, basAutomation, Failed to Download Image.\r\n";
    else if (guidRun)
        status << "12:00:01.000, USER, basAutomation, Successfully set the GUID to the new value.\r\n";
    else
        status << "12:00:01.000, USER, basAutomation, Successfully programmed new bootloader firmware image.\r\n";
    status.close();

    user::WithdrawTopWindow(frame);
    clk::Sleep(Ms(s, "after", 20));
    return fail ? 1 : 0;
}
