// Test fixture: a bus hosted in the test on the manual clock with the local host and one
// Lumarel 460 running its application, reached by the mixer's driver client and its
// firmware-information library; a platform root of its own for the registry; and the audio
// side's journal read through the bus's control commands.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiodrv/audiodrv.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "core/panel.h"
#include "service/host.h"
#include "testing/temp_root.h"
#include "fwdl/vsk_fwdl.h"

namespace dorvik::testing {

// Records what the core asks of the windows.
class RecordingUi : public MixerUi {
public:
    void SetTitle(const std::string& t) override { calls.push_back("title " + t), title = t; }
    void CreateMixerStrips() override { calls.push_back("create"); }
    void UpdateMixerStrips() override { calls.push_back("strips"); }
    void EnablePanKnobs(bool e) override { calls.push_back(e ? "knobs on" : "knobs off"); }
    void ShowMixerStrips(bool s) override { calls.push_back(s ? "shown" : "hidden"); }
    void UpdateRateMenu() override { calls.push_back("rate"); }
    void UpdateAsioMenu() override { calls.push_back("asio"); }
    void UpdateWdmMenu() override { calls.push_back("wdm"); }
    void UpdateClockMenu() override { calls.push_back("clock"); }
    void UpdateWheelMenu() override { calls.push_back("wheel"); }
    void WindowPosition(int32_t& x, int32_t& y) override { x = winX, y = winY; }
    std::vector<std::string> calls;
    std::string title;
    int32_t winX = -20, winY = 300;
};

struct Request {
    uint32_t code = 0;
    std::vector<uint8_t> input;
};

class UnitBus : public testing_support::TempRootTest {
protected:
    UnitBus() : TempRootTest("dorvik") {}

    void SetUp() override {
        TempRootTest::SetUp();
        bus_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus_.SetLocalHost("host");
        sim::lumarel::DeviceConfig config;
        config.bootloaderDate = "20040608";
        auto node = std::make_unique<sim::lumarel::Lumarel460Node>(config);
        sim::lumarel::ImageInfo info;
        const std::string date = "20040623", time = "130500";
        std::copy(date.begin(), date.end(), info.date.begin());
        std::copy(time.begin(), time.end(), info.time.begin());
        node->device().InstallImage(0, std::vector<uint8_t>(64, 0x5A), info);
        node->device().SetMode(sim::lumarel::Mode::Application);
        bus_.AddNode("unit", std::move(node));
        audiodrv::HostBus(&bus_);
        VSKFWDL_HostBus(&bus_);
        control_ = std::make_unique<bussvc::BusHost>(bus_);
        panel = std::make_unique<Panel>(ui);
    }

    void TearDown() override {
        panel.reset();
        audiodrv::HostBus(nullptr);
        audiodrv::SetPendingCompletion(false);
        audiodrv::FailCloses(false);
        VSKFWDL_HostBus(nullptr);
        control_.reset();
        TempRootTest::TearDown();
    }

    // A control command to the bus (as the control tool sends it); fails the test on an error.
    nlohmann::json Control(nlohmann::json command) {
        std::string reply;
        EXPECT_EQ(control_->Control(command.dump(), reply), 0) << reply;
        return nlohmann::json::parse(reply);
    }
    nlohmann::json Audio(nlohmann::json command = nlohmann::json::object()) {
        command["cmd"] = "audio";
        command["id"] = "unit";
        return Control(command)["audio"];
    }
    // The requests the audio side took since the last call.
    std::vector<Request> Journal() {
        nlohmann::json j = Control({{"cmd", "audio"}, {"id", "unit"}, {"journal", true}, {"clear_journal", true}});
        std::vector<Request> out;
        for (const auto& e : j["journal"]) {
            Request r;
            r.code = uint32_t(std::stoul(e["code"].get<std::string>(), nullptr, 16));
            const std::string hex = e["input"];
            for (size_t i = 0; i + 1 < hex.size(); i += 2) r.input.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
            out.push_back(std::move(r));
        }
        return out;
    }
    int16_t DeviceVolume(int block, int channel) {
        int16_t v = 0;
        bus_.WithNode("unit", [&](sim::Node& n) { v = static_cast<sim::lumarel::Lumarel460Node&>(n).audio().volume(block, channel); });
        return v;
    }
    int8_t DeviceBalance(int block, int channel) {
        int8_t v = 0;
        bus_.WithNode("unit", [&](sim::Node& n) { v = static_cast<sim::lumarel::Lumarel460Node&>(n).audio().balance(block, channel); });
        return v;
    }
    void SetDeviceClock(uint32_t source, uint32_t rate) { Audio({{"clock", {{"source", source}, {"rate", rate}}}}); }
    void PowerOff() { Control({{"cmd", "power"}, {"id", "unit"}, {"on", false}}); }
    void PowerOn() {
        Control({{"cmd", "power"}, {"id", "unit"}, {"on", true}});
        clock.Advance(1000);  // the device restarts into its application and joins the bus
    }

    clk::ManualClock clock;
    clk::ScopedClock scope_{clock};
    sim::Bus bus_;
    std::unique_ptr<bussvc::BusHost> control_;
    RecordingUi ui;
    std::unique_ptr<Panel> panel;
};

}  // namespace dorvik::testing
