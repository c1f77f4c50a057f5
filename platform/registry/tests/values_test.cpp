#include "registry/values.h"

#include "clock/clock.h"
#include "testing/temp_root.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

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

// Another process holding a key's lock is waited for, but not for ever: after kLockWaitMs the
// call ends with kRegBusy, changes nothing, and the holder is named. A wait told to give up ends
// at once, yet a free lock is still taken; readers do not keep each other out.
TEST_F(RegistryValues, AHeldKeyLockIsWaitedForBoundedAndItsHolderNamed) {
    const std::string key = "Software\\NRX\\Lumarel460";
    const uint8_t stored = 7, other = 9;
    ASSERT_EQ(SetValue(Hive::LocalMachine, key, "MixerSetting", kRegBinary, &stored, 1), kRegOk);
    // Locks belong to the open file: this one conflicts with the registry's own opens.
    const auto lockFile = std::filesystem::path(root_) / "registry" / "hklm" / "software" / "nrx" / "lumarel460" / "values.lock";
    const int holder = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);

    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    struct Case {
        const char* what;
        int lock;  // LOCK_EX or LOCK_SH, as the other process holds it
        std::function<int32_t()> call;
        int32_t expected;
    };
    Value v;
    const Case cases[] = {
        {"read while written", LOCK_EX, [&] { return QueryValue(Hive::LocalMachine, key, "MixerSetting", v); }, kRegBusy},
        {"write while written", LOCK_EX,
         [&] { return SetValue(Hive::LocalMachine, key, "MixerSetting", kRegBinary, &other, 1); }, kRegBusy},
        {"delete while written", LOCK_EX, [&] { return DeleteKey(Hive::LocalMachine, key); }, kRegBusy},
        {"write while read", LOCK_SH,
         [&] { return SetValue(Hive::LocalMachine, key, "MixerSetting", kRegBinary, &other, 1); }, kRegBusy},
        {"read while read", LOCK_SH, [&] { return QueryValue(Hive::LocalMachine, key, "MixerSetting", v); }, kRegOk},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(::flock(holder, c.lock), 0);
        const int64_t before = clock.NowMicros();
        EXPECT_EQ(c.call(), c.expected);
        if (c.expected == kRegBusy) {
            EXPECT_GE(clock.NowMicros() - before, int64_t(kLockWaitMs) * 1000);
            EXPECT_LT(clock.NowMicros() - before, int64_t(kLockWaitMs + 1000) * 1000);
            EXPECT_NE(BusyKeyHolder().find("process " + std::to_string(::getpid()) + " ("), std::string::npos)
                << BusyKeyHolder();
        }
        ASSERT_EQ(::flock(holder, LOCK_UN), 0);
    }
    ASSERT_EQ(QueryValue(Hive::LocalMachine, key, "MixerSetting", v), kRegOk);
    EXPECT_EQ(v.data, std::vector<uint8_t>{stored});

    // Told to give up (the program is asked to end): no wait for a held lock, a free one taken.
    SetLockWaitGiveUp([] { return true; });
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    const int64_t before = clock.NowMicros();
    EXPECT_EQ(QueryValue(Hive::LocalMachine, key, "MixerSetting", v), kRegBusy);
    EXPECT_EQ(clock.NowMicros(), before);
    ASSERT_EQ(::flock(holder, LOCK_UN), 0);
    EXPECT_EQ(SetValue(Hive::LocalMachine, key, "MixerSetting", kRegBinary, &other, 1), kRegOk);
    SetLockWaitGiveUp(nullptr);
    ::close(holder);
}

}  // namespace
