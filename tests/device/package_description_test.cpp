// The simulated Lumarel 460 built from a bus description through the node-kind registry, its
// flash slots filled from firmware packages written by the package builder.
#include <gtest/gtest.h>

#include <vector>

#include "bus/description.h"
#include "clock/clock.h"
#include "device/node_kinds.h"
#include "tests/device_bus.h"
#include "fwpbuild/package_builder.h"

namespace sim::lumarel::testing {
namespace {

TEST(DeviceDescription, DefaultBusAndPackagesThroughTheKindRegistry) {
    TempRoot root;
    clk::ManualClock clock;
    clk::ScopedClock scope(clock);
    RegisterNodeKinds();
    Bus bus;
    LoadDescription(bus, DefaultBusDescription());
    ASSERT_EQ(bus.NodeCount(), 2);
    bus.WithNode(bus.IdAt(1), [](Node& n) {
        const nlohmann::json j = n.Describe();
        EXPECT_EQ(j["kind"], "lumarel460");
        EXPECT_EQ(j["mode"], "bootloader");
        EXPECT_EQ(j["guid"], j["factory_guid"]);
        EXPECT_EQ(j["slots"][0]["length"], 0);
    });

    // A package from the builder fills the application and configuration slots.
    const std::vector<uint8_t> app(5000, 0xA5), cne(300, 0x3C);
    fwp::PackageBuilder()
        .SoftwareVersion(0x01040002)
        .Image1(app, 0x20000000)
        .Config(cne)
        .WriteTo(root.path() / "fw.fwp");
    fwp::PackageBuilder().Image1(app, 0).WrongCrc(fwp::Record::Image1).WriteTo(root.path() / "bad.fwp");
    const nlohmann::json description = {
        {"nodes",
         {{{"id", "host"}, {"kind", "host"}},
          {{"id", "dev"}, {"kind", "lumarel460"}, {"mode", "application"},
           {"images", {{{"package", (root.path() / "fw.fwp").string()}}}}},
          {{"id", "dbg"}, {"kind", "debugger1394"}}}}};
    LoadDescription(bus, description);
    bus.WithNode("dev", [&](Node& n) {
        const auto& dev = static_cast<Lumarel460Node&>(n).device();
        EXPECT_EQ(dev.mode(), Mode::Application);
        EXPECT_EQ(dev.slot(kApplicationImage).bytes, app);
        EXPECT_EQ(dev.slot(kApplicationImage).info.softwareVersion, 0x01040002u);
        EXPECT_EQ(dev.slot(kConfigImage).bytes, cne);
        EXPECT_TRUE(dev.slot(kConfigImage).Valid());
    });
    EXPECT_EQ(bus.NodeCount(), 3);
    nlohmann::json bad = description;
    bad["nodes"][1]["images"][0]["package"] = (root.path() / "bad.fwp").string();
    EXPECT_THROW(LoadDescription(bus, bad), std::exception);
    EXPECT_EQ(bus.NodeCount(), 3);  // the bus stays as it was
}

}  // namespace
}  // namespace sim::lumarel::testing
