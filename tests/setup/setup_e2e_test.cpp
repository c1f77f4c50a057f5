// The whole update as a user runs it by hand: the update folder the build assembles (the
// downloader as ".\Imagelift.app", its packages, the INF, the driver library, the bus service
// and our libraries they load), copied to a platform root of its own outside the build folder,
// and run from there with the build's program folder out of reach; the dialog in this process
// and the bus service with two buses and a Lumarel 460 on bus 0 running its application from old
// firmware. Nothing writes the device store but the platform: the audio interface and the
// virtual device's interface come from the buses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "setup/bus_requests.h"
#include "setup/driver_install_worker.h"
#include "devices/store.h"
#include "forms/dialogs.h"
#include "fwpbuild/package_builder.h"
#include "setup/setup_dialog.h"
#include "app/imagelift_process.h"
#include "bus/service_fixture.h"

namespace {

namespace fsys = std::filesystem;
using nlohmann::json;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 29 + seed + i / 241);
    return b;
}

uint32_t HexValue(const json& v) { return uint32_t(std::stoul(v.get<std::string>(), nullptr, 16)); }

// What a command prints on standard output.
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = ::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
        ::pclose(p);
    }
    return out;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool IsElf(const fsys::path& file) {
    char magic[4] = {};
    std::ifstream(file, std::ios::binary).read(magic, 4);
    return std::string(magic, 4) == "\x7f" "ELF";
}

// Our libraries: those the build makes beside its programs.
bool OursByName(const std::string& name) { return name.starts_with("liblumarel_") || name == "libXDRVKIT.so"; }

class FullChain : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LUMAREL_BUS_COUNT", "2", 1);
        service_ = std::make_unique<bustest::ServiceRoot>("setup-chain", nullptr, 60000);
        const fsys::path root = service_->Root();
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr);
        build_ = fsys::canonical(fsys::path(bin) / "..");
        folder_ = root / "update";
        fsys::copy(build_ / "update", folder_, fsys::copy_options::recursive);
        folder_ = fsys::canonical(folder_);
        ASSERT_FALSE(fsys::canonical(folder_).string().starts_with(build_.string() + "/"));
        // Nothing reaches into the build from here on: the bus service is the copy's, and no
        // program learns where the build's program folder is.
        ::unsetenv("LUMAREL_BIN");
        ::setenv("LUMAREL_BUS_SERVICE", (folder_ / "lumarel-bus").c_str(), 1);
        const fsys::path old = root / "old.fwp";
        fwp::PackageBuilder().Image1(Pattern(2048, 9), 0x10000000).Date("20030101").WriteTo(old);

        json dev = {{"id", "dev"}, {"kind", "lumarel460"}, {"mode", "application"}, {"guid", "0A3C7E1000010001"}};
        dev["images"] = json::array({json{{"package", old.string()}}});
        const fsys::path description = root / "bus.json";
        std::ofstream(description) << json{{"nodes", json::array({json{{"id", "host"}, {"kind", "host"}}, dev})}}.dump(2);
        ::setenv("LUMAREL_BUS_DESCRIPTION", description.c_str(), 1);
        ASSERT_FALSE(service_->Control(json{{"cmd", "state"}}).is_discarded());

        old_ = fsys::current_path();
        fsys::current_path(folder_);
    }
    void TearDown() override {
        dialog_.reset();
        fsys::current_path(old_);
        if (service_) service_->Stop();
        ::unsetenv("LUMAREL_BUS_COUNT");
        ::unsetenv("LUMAREL_BUS_SERVICE");
        if (!build_.empty()) ::setenv("LUMAREL_BIN", (build_ / "bin").c_str(), 1);
    }

    json Device() {
        const json state = service_->Control(json{{"cmd", "state"}});
        for (const auto& node : state.value("nodes", json::array()))
            if (node.value("id", "") == "dev") return node.value("state", json{});
        return json{};
    }
    // The unit's GUID while it is on bus 0 (plugged in, switched on and started), else empty.
    std::string UnitOnBus() {
        for (const auto& node : service_->Control(json{{"cmd", "state"}}).value("nodes", json::array()))
            if (node.value("id", "") == "dev" && node.value("plugged", false) && node.value("phy_id", -1) >= 0)
                return node.value("state", json::object()).value("guid", "");
        return {};
    }
    // The store's present nodes by instance ID, as it stands (this reads it without a refresh).
    std::vector<std::string> PresentNodes() {
        std::vector<std::string> ids;
        for (const auto& n : devices::ListNodes())
            if (n.present) ids.push_back(n.instanceId);
        return ids;
    }
    size_t VirtualDevicesOnBus0() { return service_->Control(json{{"cmd", "state"}}).value("virtual_devices", json::array()).size(); }

    // Starts the copied update utility in the copy, as a user would, with its standard error in
    // `errors`; it dies with this process.
    pid_t StartSetup(const fsys::path& errors) {
        const pid_t parent = ::getpid();
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent || ::chdir(folder_.c_str()) != 0) ::_exit(126);
            const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (fd < 0 || ::dup2(fd, 2) < 0) ::_exit(125);
            ::execl("./setup", "setup", nullptr);
            ::_exit(127);
        }
        return child;
    }

    template <class Pred>
    bool WaitUntil(Pred pred, int realMs) {
        const int64_t start = imagelifttest::RealNow();
        while (!pred()) {
            if (imagelifttest::RealMsSince(start) > realMs) return false;
            forms::DoEvents();
            imagelifttest::Breathe(5);
        }
        return true;
    }

    std::unique_ptr<bustest::ServiceRoot> service_;
    fsys::path build_, folder_, old_;
    forms::ScriptedPresenter boxes_;
    forms::ScopedPresenter presenter_{boxes_};
    std::unique_ptr<setup::SetupDialog> dialog_;
};

// The README's way: the downloader ran first (here the update folder's own, with a window, ended
// as a desktop session ends it), which leaves its virtual device on the bus without a driver, and
// the bus service was stopped (the device stays in its saved state). The update utility installs
// the driver for it, so its interface comes up at once: "Update Firmware" is offered after the
// first polls and no box warns of a missing driver.
TEST_F(FullChain, AfterADownloaderRunUpdatesBothImagesAndTheGuidAndLeavesNothingBehind) {
    {
        imagelifttest::ImageliftProcess downloader(folder_, {}, {"QT_QPA_PLATFORM=offscreen"}, "Imagelift.app");
        ASSERT_TRUE(WaitUntil([&] { return VirtualDevicesOnBus0() == 1; }, 30000));
        downloader.Close();
        ASSERT_EQ(downloader.WaitExit(30000), 0);
    }
    service_->Stop();
    ASSERT_EQ(VirtualDevicesOnBus0(), 1u) << "the downloader's virtual device is kept over the service's restart";

    dialog_ = std::make_unique<setup::SetupDialog>();
    setup::SetupDialog& d = *dialog_;
    d.Show();
    // Well within the worker's bound of 101 polls of a second.
    ASSERT_TRUE(WaitUntil([&] { return d.cmdUpdate.Enabled(); }, 20000));
    EXPECT_TRUE(boxes_.asked().empty()) << boxes_.asked().front().prompt;
    EXPECT_EQ(VirtualDevicesOnBus0(), 1u);

    d.cmdUpdate.Press();
    ASSERT_TRUE(WaitUntil([&] { return d.Steps().Finished(); }, 120000)) << d.lblMessage.Caption();
    std::string status;
    {
        std::ifstream in(folder_ / "script-data" / "1394_write_status.txt", std::ios::binary);
        status.assign(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(d.lblMessage.Caption(), setup::kCompletedText) << status;
    EXPECT_NE(status.find(setup::kGuidSuccessLine), std::string::npos) << status;
    EXPECT_TRUE(boxes_.asked().empty());

    const auto& started = d.Steps().Started();
    ASSERT_EQ(started.size(), 2u);
    EXPECT_EQ(started[0], setup::kDownloadCommandLine);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(started[1], m, std::regex(R"(\.\\Imagelift\.exe /G 0A3C7E10 (0001[0-7][0-9A-F]{3}))")))
        << started[1];

    const json dev = Device();
    EXPECT_EQ(dev["guid"], "0A3C7E10" + m[1].str());
    EXPECT_EQ(dev["mode"], "application");
    // The application, its configuration and the bootloader of the update's packages, whole.
    for (const auto& [slot, date] : {std::pair{0, "20040623"}, {1, "20040623"}, {3, "20040606"}}) {
        const json& s = dev["slots"][slot];
        EXPECT_EQ(s["date"], date) << slot;
        EXPECT_EQ(s["valid"], true) << slot;
        EXPECT_EQ(HexValue(s["crc32"]), HexValue(s["announced_crc"])) << slot;
    }

    EXPECT_TRUE(fsys::exists("Imagelift.app"));
    EXPECT_FALSE(fsys::exists("Imagelift.exe"));
    EXPECT_FALSE(fsys::exists("vsk1394api.log"));

    // The unit restarts into its application under its new GUID; once it is back on the bus,
    // "Finish" leaves the store as the buses are: the unit under that GUID and no virtual device.
    const std::string newGuid = "0A3C7E10" + m[1].str();
    ASSERT_TRUE(WaitUntil([&] { return UnitOnBus() == newGuid; }, 20000));
    d.cmdUpdate.Press();  // "Finish"
    EXPECT_FALSE(d.IsLoaded());
    EXPECT_EQ(VirtualDevicesOnBus0(), 0u);
    EXPECT_EQ(PresentNodes(), std::vector<std::string>{"1394\\HALVORIN_INC&LUMA_REL\\" + newGuid});
    for (const auto& n : devices::ListNodes()) EXPECT_NE(n.hardwareIds.at(0), "V1394\\1394_VIRTUAL_DEVICE");
    // Bus 1's device is gone too: removing it again finds nothing.
    EXPECT_NE(setup::RemoveVirtualDevice(setup::VirtualDevice{0, 1}, 1), 0u);
    // Every downloader process has ended: none keeps its hidden window.
    EXPECT_FALSE(user::FindTopWindow(std::string(setup::kHiddenWindowClass), std::nullopt));
}

// The copied folder stands on its own: every program and library in it names only its own
// folder as run path, every library of ours that they need is found inside the copy, the bus
// service runs from it, and the copied `setup` starts there, with the driver library beside it,
// and brings up the virtual devices with their driver.
TEST_F(FullChain, TheCopiedFolderRunsWithNothingFromTheBuild) {
    std::set<std::string> files;
    for (const auto& entry : fsys::directory_iterator(folder_)) files.insert(entry.path().filename().string());
    int elfs = 0;
    for (const std::string& name : files) {
        const fsys::path file = folder_ / name;
        if (!fsys::is_regular_file(file) || !IsElf(file)) continue;
        ++elfs;
        for (const std::string& line : Lines(Output("readelf -d '" + file.string() + "'")))
            if (line.find("(RUNPATH)") != std::string::npos || line.find("(RPATH)") != std::string::npos) {
                EXPECT_TRUE(line.ends_with("[$ORIGIN]")) << name << ": " << line;
            }
        for (const std::string& line : Lines(Output("ldd '" + file.string() + "'"))) {
            EXPECT_EQ(line.find("not found"), std::string::npos) << name << ": " << line;
            EXPECT_EQ(line.find(build_.string()), std::string::npos) << name << ": " << line;
            std::istringstream words(line);
            std::string lib, arrow, where;
            words >> lib >> arrow >> where;
            if (arrow != "=>" || !OursByName(lib)) continue;
            EXPECT_EQ(fsys::path(where), folder_ / lib) << name << ": " << line;
        }
    }
    EXPECT_GE(elfs, 6);  // the programs, the two libraries they load by name, and ours
    for (const char* needed : {"Imagelift.app", "setup", "lumarel-bus", "Vsk1394api.dll", "libXDRVKIT.so"})
        EXPECT_TRUE(files.count(needed)) << needed;

    const pid_t service = service_->ServicePid();
    ASSERT_GT(service, 0);
    EXPECT_EQ(fsys::read_symlink("/proc/" + std::to_string(service) + "/exe"), folder_ / "lumarel-bus");

    // The update utility itself, started in the copy like a user would.
    const pid_t child = StartSetup(service_->Root() / "setup-stderr.txt");
    ASSERT_GE(child, 0);
    bustest::KillOnExit reap(child);
    // Its worker installed the driver and added a virtual device on both buses, whose interface
    // came up (the store follows the buses as that process reads it).
    auto interfaces = [] {
        int n = 0;
        for (const auto& node : devices::ListNodes()) n += node.present && !node.interfaces.empty();
        return n;
    };
    ASSERT_TRUE(WaitUntil([&] { return interfaces() == 2; }, 30000));
    std::set<fsys::path> loaded;
    {
        std::ifstream maps("/proc/" + std::to_string(child) + "/maps");
        for (std::string line; std::getline(maps, line);) {
            const size_t slash = line.find('/');
            if (slash != std::string::npos) loaded.insert(fsys::path(line.substr(slash)));
        }
    }
    EXPECT_TRUE(loaded.count(folder_ / "setup"));
    EXPECT_TRUE(loaded.count(folder_ / "libXDRVKIT.so"));
    for (const fsys::path& path : loaded)
        if (OursByName(path.filename().string())) {
            EXPECT_EQ(path.parent_path(), folder_) << path;
        }
    ::kill(child, SIGTERM);
    EXPECT_TRUE(bustest::WaitGone(child));
    // Ended by a signal, it leaves its virtual devices: take them away again.
    setup::ForEachBus(setup::RemoveVirtualDevice);
}

// An update ended during a run (setup killed while the downloader ran) leaves the downloader
// renamed to "Imagelift.exe". The next setup in that folder renames it back as it opens and says
// so on standard error (it has no log of its own), so that its update finds the downloader; it
// runs on until it is ended (here by a signal, as nothing else ends it from outside).
TEST_F(FullChain, ASetupThatFindsTheDownloaderLeftRenamedRenamesItBack) {
    fsys::rename(folder_ / "Imagelift.app", folder_ / "Imagelift.exe");
    const fsys::path errors = service_->Root() / "setup-stderr.txt";
    const pid_t child = StartSetup(errors);
    ASSERT_GE(child, 0);
    bustest::KillOnExit reap(child);
    auto said = [&] {
        std::ifstream in(errors);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    };
    ASSERT_TRUE(WaitUntil([&] { return said().find(setup::kRecoveredText) != std::string::npos; }, 20000)) << said();
    EXPECT_NE(said().find(std::string("setup: ") + setup::kRecoveredText + "\n"), std::string::npos) << said();
    EXPECT_TRUE(fsys::exists(folder_ / "Imagelift.app"));
    EXPECT_FALSE(fsys::exists(folder_ / "Imagelift.exe"));
    EXPECT_EQ(::waitpid(child, nullptr, WNOHANG), 0) << "setup ended on its own";
    ::kill(child, SIGTERM);
    ASSERT_TRUE(bustest::WaitGone(child));
    EXPECT_EQ(bustest::ExitCode(child), 128 + SIGTERM) << "it ran until it was ended";
    setup::ForEachBus(setup::RemoveVirtualDevice);
}

}  // namespace
