// The whole update as a user runs it by hand: the update folder the build assembles (the
// downloader as ".\Imagelift.app", its packages, the INF, the driver library), copied to a
// platform root of its own, the dialog in this process and the bus service with two buses and a
// Lumarel 460 on bus 0 running its application from old firmware. Nothing writes the device
// store but the platform: the audio interface and the virtual device's interface come from the
// buses.
#include <gtest/gtest.h>

#include <QApplication>
#include <filesystem>
#include <fstream>
#include <regex>

#include "setup/bus_requests.h"
#include "setup/driver_install_worker.h"
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

class FullChain : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LUMAREL_BUS_COUNT", "2", 1);
        service_ = std::make_unique<bustest::ServiceRoot>("setup-chain", nullptr, 60000);
        const fsys::path root = service_->Root();
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr);
        folder_ = root / "update";
        fsys::copy(fsys::path(bin) / ".." / "update", folder_, fsys::copy_options::recursive);
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
    }

    json Device() {
        const json state = service_->Control(json{{"cmd", "state"}});
        for (const auto& node : state.value("nodes", json::array()))
            if (node.value("id", "") == "dev") return node.value("state", json{});
        return json{};
    }
    size_t VirtualDevicesOnBus0() { return service_->Control(json{{"cmd", "state"}}).value("virtual_devices", json::array()).size(); }

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
    fsys::path folder_, old_;
    forms::ScriptedPresenter boxes_;
    forms::ScopedPresenter presenter_{boxes_};
    std::unique_ptr<setup::SetupDialog> dialog_;
};

TEST_F(FullChain, UpdatesBothImagesAndTheGuidAndLeavesNothingBehind) {
    dialog_ = std::make_unique<setup::SetupDialog>();
    setup::SetupDialog& d = *dialog_;
    d.Show();
    ASSERT_TRUE(WaitUntil([&] { return d.cmdUpdate.Enabled(); }, 20000));
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

    d.cmdUpdate.Press();  // "Finish"
    EXPECT_FALSE(d.IsLoaded());
    EXPECT_EQ(VirtualDevicesOnBus0(), 0u);
    // Bus 1's device is gone too: removing it again finds nothing.
    EXPECT_NE(setup::RemoveVirtualDevice(setup::VirtualDevice{0, 1}, 1), 0u);
    // Every downloader process has ended: none keeps its hidden window.
    EXPECT_FALSE(user::FindTopWindow(std::string(setup::kHiddenWindowClass), std::nullopt));
}

}  // namespace
