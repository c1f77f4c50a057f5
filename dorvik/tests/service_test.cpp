// The mixer core against the bus service in its own process: the unit's driver and firmware
// information are found there, commands reach its audio side, and the driver's clock is kept over
// a restart of the service (levels are volatile, as in the unit).
#include <gtest/gtest.h>

#include <fstream>

#include "audiodrv/audiodrv.h"
#include "core/panel.h"
#include "bus/service_fixture.h"

namespace dorvik {
namespace {

TEST(MixerOnTheService, AttachesCommandsAndKeepsWhatTheDriverTook) {
    const auto image = std::filesystem::temp_directory_path() / ("dorvik-image-" + std::to_string(::getpid()));
    std::ofstream(image, std::ios::binary) << std::string(256, '\x5A');
    nlohmann::json description = bustest::HostAndUnitInApplication(image, "20040601");
    bustest::ServiceRoot root("dorvik", &description);

    MixerUi ui;
    {
        Panel panel(ui);
        panel.AttachDevice();
        ASSERT_TRUE(panel.Attached());
        // The application is older than the panel wants.
        EXPECT_EQ(panel.title(), "Lumarel 460 v1.15 Note - you need to update the firmware!");
        EXPECT_EQ(FormatDateTime(InfoText(panel.deviceInfo, kInfoSoftwareDateAt), InfoText(panel.deviceInfo, kInfoSoftwareTimeAt)),
                  "2004/06/01  10:10:10");
        panel.applied.sampleRate = int32_t(panel.clock.rate);
        uint32_t out = 0;
        EXPECT_EQ(panel.SendVolume(0, 0, VolumeForLevel(207), out), 1);
        EXPECT_EQ(out, 0xCFFFu);
        EXPECT_EQ(panel.control().WriteClock({0, 96000}), 0u);
        nlohmann::json j = root.Control({{"cmd", "audio"}, {"id", "unit"}, {"journal", true}});
        ASSERT_TRUE(j.contains("journal")) << j.dump();
        EXPECT_EQ(j["journal"].back()["code"], "0x80882034");
        EXPECT_EQ(j["audio"]["function_blocks"][3]["volume"][1], int16_t(0xD000));
    }
    audiodrv::HostBus(nullptr);  // let go of the connection before the service ends
    root.Stop();

    Panel again(ui);
    again.AttachDevice();
    ASSERT_TRUE(again.Attached());
    EXPECT_EQ(again.clock.rate, 96000u);
    uint32_t out = 0;
    EXPECT_EQ(again.ReadVolume(0, 0, out), 1);
    EXPECT_EQ(out, 0xFFFFu);  // 0 dB
    std::filesystem::remove(image);
}

}  // namespace
}  // namespace dorvik
