#include "registry/values.h"

#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace registry;

class RegistryValues : public testing_support::TempRootTest {
protected:
    RegistryValues() : TempRootTest("registry_values") {}
};

TEST_F(RegistryValues, TypedValuesRoundTripUnderKeysThatIgnoreCase) {
    const uint8_t blob[] = {0, 1, 0xFF, '\n', 0};
    ASSERT_EQ(SetValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "MixerSetting", kRegBinary, blob, 5), kRegOk);
    int32_t x = -12;
    ASSERT_EQ(SetValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", kRegBinary, &x, 4), kRegOk);
    ASSERT_EQ(SetValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", kRegDword, &x, 4), kRegOk);

    Value v;
    ASSERT_EQ(QueryValue(Hive::LocalMachine, "\\SOFTWARE\\nrx\\LUMAREL460", "mixersetting", v), kRegOk);
    EXPECT_EQ(v.type, kRegBinary);
    EXPECT_EQ(v.data, std::vector<uint8_t>(blob, blob + 5));
    ASSERT_EQ(QueryValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", v), kRegOk);
    EXPECT_EQ(v.type, kRegDword);  // replaced, not added

    // The other hive, a missing key and a missing value are all "not found".
    EXPECT_EQ(QueryValue(Hive::CurrentUser, "Software\\NRX\\Lumarel460", "WinX", v), kRegFileNotFound);
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "Software\\NRX", "WinX", v), kRegFileNotFound);
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinZ", v), kRegFileNotFound);
    // A path that names no key, or climbs out of the store, is refused.
    EXPECT_EQ(SetValue(Hive::LocalMachine, "Software\\..\\..\\etc", "x", kRegBinary, blob, 1), kRegInvalidParameter);
    EXPECT_EQ(SetValue(Hive::LocalMachine, "\\\\", "x", kRegBinary, blob, 1), kRegInvalidParameter);

    EXPECT_EQ(DeleteKey(Hive::LocalMachine, "Software\\NRX\\Lumarel460"), kRegOk);
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", v), kRegFileNotFound);
}

TEST_F(RegistryValues, ABufferTooSmallOrAFailedReadLeavesTheBufferAlone) {
    std::vector<uint8_t> big(700, 0x11);
    ASSERT_EQ(SetValue(Hive::LocalMachine, "K", "Big", kRegBinary, big.data(), 700), kRegOk);
    std::vector<uint8_t> buffer(684, 0xAB);
    uint32_t type = 0, size = 684;
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "K", "Big", type, buffer.data(), size), kRegMoreData);
    EXPECT_EQ(size, 700u);
    size = 684;
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "K", "None", type, buffer.data(), size), kRegFileNotFound);
    EXPECT_EQ(buffer, std::vector<uint8_t>(684, 0xAB));

    // A damaged key file holds no values, and the next write starts it afresh.
    std::ofstream(std::filesystem::path(root_) / "registry" / "hklm" / "k" / "values.key", std::ios::trunc) << "junk";
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "K", "Big", type, buffer.data(), size), kRegFileNotFound);
    uint8_t one = 1;
    EXPECT_EQ(SetValue(Hive::LocalMachine, "K", "One", kRegBinary, &one, 1), kRegOk);
    size = 684;
    EXPECT_EQ(QueryValue(Hive::LocalMachine, "K", "One", type, buffer.data(), size), kRegOk);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[1], 0xAB);
}

}  // namespace
