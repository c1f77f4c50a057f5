#include <gtest/gtest.h>
#include <zlib.h>

#include <vector>

#include "device/crc32.h"
#include "tests/device_bus.h"

namespace sim::lumarel {
namespace {

TEST(Crc32, MatchesCheckValueAndZlibWholeAndInPieces) {
    testing::TempRoot root;
    const std::string check = "123456789";
    EXPECT_EQ(Crc32({reinterpret_cast<const uint8_t*>(check.data()), check.size()}), 0xCBF43926u);
    EXPECT_EQ(Crc32({}), 0u);

    std::vector<uint8_t> image(300 * 1024 + 7);
    uint32_t x = 12345;
    for (auto& b : image) b = uint8_t((x = x * 1103515245u + 12345u) >> 16);
    const uint32_t expected = uint32_t(crc32(0L, image.data(), uInt(image.size())));
    EXPECT_EQ(Crc32(image), expected);
    uint32_t pieces = 0;
    for (size_t at = 0; at < image.size(); at += 1000)
        pieces = Crc32Update(pieces, image.data() + at, std::min<size_t>(1000, image.size() - at));
    EXPECT_EQ(pieces, expected);
}

}  // namespace
}  // namespace sim::lumarel
