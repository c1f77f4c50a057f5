// The device's protocol engine driven over the in-process bus as a host drives it.
#include <zlib.h>

#include "tests/device_bus.h"

namespace sim::lumarel::testing {
namespace {

using C = Command;
uint8_t Code(C c) { return uint8_t(c); }

// DownloadStart operands: type, date, time, software ID, version, address, length, CRC.
std::vector<uint8_t> StartOperands(uint8_t type, uint32_t address, uint32_t length, uint32_t crc,
                                   uint32_t softwareId = 77, uint32_t version = 0x01020304) {
    std::vector<uint8_t> op = {type, 0, 0, 0};
    const std::string date = "20260301", time = "134500";
    op.insert(op.end(), date.begin(), date.end());
    op.insert(op.end(), time.begin(), time.end());
    op.push_back(0);
    op.push_back(0);
    for (uint32_t x : {softwareId, version, address, length, crc}) PutLe(op, x);
    return op;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
    return v;
}

uint32_t ZlibCrc(const std::vector<uint8_t>& v) { return uint32_t(crc32(0L, v.data(), uInt(v.size()))); }

// Downloads an image of `type` in blocks of `block` bytes; returns the DownloadEnd answer.
Response Download(DeviceBus& d, uint8_t type, const std::vector<uint8_t>& image, uint32_t crc,
                  uint32_t address = 0x20000000, uint32_t block = 1024) {
    Response start = d.Command(Code(C::DownloadStart), StartOperands(type, address, uint32_t(image.size()), crc));
    EXPECT_TRUE(start.answered);
    EXPECT_EQ(start.count, 1);
    uint32_t number = 0;
    for (size_t at = 0; at < image.size(); at += block, ++number) {
        const size_t n = std::min<size_t>(block, image.size() - at);
        Response r = d.Command(Code(C::DownloadBlock), Le32s({number, uint32_t(address + at), uint32_t(n)}),
                               std::vector<uint8_t>(image.begin() + at, image.begin() + at + n));
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(r.Op(0), number);
        EXPECT_EQ(r.Op(1), 0u) << "block " << number;
    }
    return d.Command(Code(C::DownloadEnd));
}

class DeviceTest : public ::testing::Test {
protected:
    TempRoot root;
};

TEST_F(DeviceTest, InfoRegistersInEachProtocolVersionAndByteOrder) {
    struct Case {
        ProtocolVariant protocol;
        std::vector<uint8_t> version;
        bool bigEndian;
    };
    const Case cases[] = {
        {ProtocolVariant::V1, {1, 0, 0, 0}, false},
        {ProtocolVariant::V3, {3, 0, 0, 0}, false},
        {ProtocolVariant::V2, {2, 0, 0, 0}, false},
        {ProtocolVariant::V2BigEndian, {0, 0, 0, 2}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToString(c.protocol));
        DeviceConfig config;
        config.protocol = c.protocol;
        config.factoryGuid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02};
        config.hardwareModelId = 0x1CC;
        config.bootloaderVersion = 0x01000005;
        DeviceBus d(config);
        const auto probe = d.ReadOk(kRegionBase, 12);
        EXPECT_EQ(std::string(probe.begin(), probe.begin() + 8), "vaskonel");
        EXPECT_EQ(std::vector<uint8_t>(probe.begin() + 8, probe.end()), c.version);
        const auto info = d.ReadOk(kRegionBase, 104);
        const std::vector<uint8_t> guid(info.begin() + 16, info.begin() + 24);
        const std::vector<uint8_t> model(info.begin() + 24, info.begin() + 28);
        const std::vector<uint8_t> boot(info.begin() + 12, info.begin() + 16);
        if (c.bigEndian) {
            EXPECT_EQ(guid, (std::vector<uint8_t>{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02}));
            EXPECT_EQ(model, (std::vector<uint8_t>{0, 0, 0x01, 0xCC}));
            EXPECT_EQ(boot, (std::vector<uint8_t>{1, 0, 0, 5}));
        } else {
            EXPECT_EQ(guid, (std::vector<uint8_t>{0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}));
            EXPECT_EQ(model, (std::vector<uint8_t>{0xCC, 0x01, 0, 0}));
            EXPECT_EQ(boot, (std::vector<uint8_t>{5, 0, 0, 1}));
        }
        EXPECT_EQ(std::string(info.begin() + 64, info.begin() + 72), "20260105");
    }
}

// A read anywhere in the info area gives the registers' bytes where they lie and zeros past
// their end, up to the end of the area.
TEST_F(DeviceTest, InfoAreaReadsGiveTheRegistersThenZeros) {
    DeviceBus d;
    const auto registers = d.ReadOk(kRegionBase, kInfoRegistersSize);
    struct Case {
        uint32_t at, length;
    };
    const Case cases[] = {{0, 2048}, {96, 16}, {100, 4}, {104, 8}, {kAreaSize - 2048, 2048}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.at);
        const auto got = d.ReadOk(kRegionBase + c.at, c.length);
        ASSERT_EQ(got.size(), c.length);
        for (uint32_t i = 0; i < c.length; ++i) {
            const uint32_t at = c.at + i;
            ASSERT_EQ(got[i], at < kInfoRegistersSize ? registers[at] : 0) << "byte " << at;
        }
    }
}

TEST_F(DeviceTest, AnswerEchoesRequestAndANewRequestVoidsTheOldAnswer) {
    DeviceConfig config;
    config.timing.answerLatencyMs = 30;
    DeviceBus d(config);
    d.version = 3;
    ASSERT_EQ(d.Send(Code(C::Halt)), kResultSuccess);
    EXPECT_FALSE(d.Poll().answered);  // not yet: the answer comes after 30 ms
    d.clock.Advance(30);
    Response r = d.Poll();
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.count, 0);

    // The next request clears the header at once, even though its own answer is late.
    ASSERT_EQ(d.Send(Code(C::GetDebugGuid)), kResultSuccess);
    const auto header = d.ReadOk(kRegionBase + kResponseArea, 8);
    EXPECT_EQ(header, std::vector<uint8_t>(8, 0));
    d.clock.Advance(30);
    r = d.Poll();
    EXPECT_TRUE(r.answered);
    EXPECT_EQ(r.count, 2);
    bool halted = false;
    d.Dev([&](Lumarel460& dev) { halted = dev.Halted(); });
    EXPECT_TRUE(halted);
}

TEST_F(DeviceTest, FullDownloadIsCheckedWithZlibsCrcAndCommitted) {
    DeviceBus d;
    const std::vector<uint8_t> image = Pattern(300 * 1024);
    const uint32_t crc = ZlibCrc(image);
    Response end = Download(d, kApplicationImage, image, crc);
    ASSERT_TRUE(end.answered);
    EXPECT_EQ(end.Op(0), crc);
    EXPECT_EQ(end.Op(1), kCrcValid);

    Response check = d.Command(Code(C::ReadImageCrc), {kApplicationImage, 0, 0, 0});
    ASSERT_EQ(check.count, 2);
    EXPECT_EQ(check.Op(0), crc);
    EXPECT_EQ(check.Op(1), kCrcValid);
    d.Dev([&](Lumarel460& dev) { EXPECT_EQ(dev.slot(kApplicationImage).bytes, image); });

    const auto info = d.ReadOk(kRegionBase, 104);
    EXPECT_EQ(std::string(info.begin() + 32, info.begin() + 40), "20260301");
    EXPECT_EQ(GetLe(&info[48]), 77u);
    EXPECT_EQ(GetLe(&info[52]), 0x01020304u);

    // The block size the device offers is configurable.
    DeviceConfig config;
    config.maxBlockSize = 8192;
    DeviceBus big(config);
    Response start = big.Command(Code(C::DownloadStart), StartOperands(0, 0, 10, 0));
    EXPECT_EQ(start.Op(0), 8192u);
}

TEST_F(DeviceTest, BadBlocksAndFailedDownloadsKeepTheImageInFlash) {
    DeviceBus d;
    const std::vector<uint8_t> good = Pattern(4096, 7);
    ASSERT_EQ(Download(d, kApplicationImage, good, ZlibCrc(good)).Op(1), kCrcValid);

    const uint32_t base = 0x20000000;
    const auto block = [&](uint32_t number, uint32_t address, uint32_t length) {
        return d.Command(Code(C::DownloadBlock), Le32s({number, address, length}), Pattern(length, 3));
    };
    // Outside a session.
    EXPECT_EQ(block(0, base, 1024).Op(1), uint32_t(kBlockRejected));
    // Refused starts: unknown type, empty image, an image larger than its slot.
    for (auto op : {StartOperands(4, base, 100, 0), StartOperands(0, base, 0, 0),
                    StartOperands(1, base, SlotCapacity(1) + 1, 0)}) {
        Response r = d.Command(Code(C::DownloadStart), op);
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(r.count, 0);
    }

    const std::vector<uint8_t> next = Pattern(3000, 9);
    ASSERT_EQ(d.Command(Code(C::DownloadStart), StartOperands(0, base, 3000, ZlibCrc(next))).count, 1);
    struct BlockCase {
        uint32_t address, length;
        int32_t status;
    };
    const BlockCase cases[] = {
        {base - 4, 8, kBlockRejected},         // before the image
        {base + 2048, 1024, kBlockRejected},   // after a gap
        {base + 2990, 20, kBlockRejected},     // past the end
        {base, 0, kBlockRejected},             // empty
        {base, 1024, kBlockGood},
        {base, 1024, kBlockGood},              // sent again: taken again
    };
    for (const BlockCase& c : cases) {
        Response r = block(5, c.address, c.length);
        EXPECT_EQ(r.Op(0), 5u);
        EXPECT_EQ(int32_t(r.Op(1)), c.status) << std::hex << c.address << " " << std::dec << c.length;
    }
    d.Dev([](Lumarel460& dev) { dev.faults().flashWriteFailures = 1; });
    EXPECT_EQ(int32_t(block(1, base + 1024, 1024).Op(1)), kBlockFlashWriteFailed);
    // Ending early: the CRC of what arrived, invalid, and the old image stays.
    Response end = d.Command(Code(C::DownloadEnd));
    EXPECT_EQ(end.Op(1), kCrcInvalid);
    d.Dev([&](Lumarel460& dev) {
        EXPECT_EQ(dev.slot(0).bytes, good);
        EXPECT_FALSE(dev.DownloadOpen());
    });
    // DownloadEnd without a session answers invalid, and a corrupting flash fails the check.
    EXPECT_EQ(d.Command(Code(C::DownloadEnd)).Op(1), kCrcInvalid);
    d.Dev([](Lumarel460& dev) { dev.faults().corruptImage = true; });
    EXPECT_EQ(Download(d, kApplicationImage, next, ZlibCrc(next)).Op(1), kCrcInvalid);
    d.Dev([&](Lumarel460& dev) { EXPECT_EQ(dev.slot(0).bytes, good); });
}

TEST_F(DeviceTest, MalformedRequestsGetNoAnswerAndChangeNothing) {
    DeviceBus d;
    const std::vector<uint8_t> image = Pattern(2048, 5);
    ASSERT_EQ(Download(d, kApplicationImage, image, ZlibCrc(image)).Op(1), kCrcValid);
    nlohmann::json before;
    d.Dev([&](Lumarel460& dev) {
        dev.SetKey("serial", Bytes("A123"));
        before = dev.Describe();
    });
    const std::vector<uint8_t> guidWire = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Bad {
        const char* what;
        uint8_t command;
        std::vector<uint8_t> operands;
        int count;
    };
    const Bad silent[] = {
        {"operand count 15", Code(C::ProgramGuid), std::vector<uint8_t>(60, 0), 15},
        {"operand count 255", Code(C::ProgramMac), std::vector<uint8_t>(8, 0), 255},
        {"command 16", 16, {}, -1},
        {"command 0", 0, {}, -1},
        {"command 200", 200, guidWire, -1},
        {"ProgramGUID without operands", Code(C::ProgramGuid), {}, -1},
        {"block without operands", Code(C::DownloadBlock), {}, -1},
        // Announced operands that the write does not carry: the request area still holds
        // the bytes of "command 200" above, which must not become a GUID.
        {"ProgramGUID announcing operands it lacks", Code(C::ProgramGuid), {}, 2},
        {"block announcing three operands, carrying one", Code(C::DownloadBlock), Le32s({0}), 3},
        {"WriteKey short", Code(C::WriteKey), Le32s({4, 0, 4}), -1},
    };
    for (const Bad& b : silent) {
        SCOPED_TRACE(b.what);
        ASSERT_EQ(d.Send(b.command, b.operands, b.count), kResultSuccess);
        d.clock.Advance(100);
        EXPECT_FALSE(d.Poll().answered);
    }
    // Answered refusals: oversized and unterminated key names, a block outside any session.
    // (A host announces at most 10 name quadlets and writes the rest of the name beyond them.)
    std::vector<uint8_t> longName = Le32s({400, 0, 0});
    longName.resize(longName.size() + 399, 'k');
    longName.push_back(0);
    EXPECT_EQ(d.Command(Code(C::ReadKey), longName, {}, 13).Op(0), uint32_t(kKeyBadRequest));
    std::vector<uint8_t> unterminated = Le32s({5, 0, 4, 0});
    for (char c : std::string("abcdX")) unterminated.push_back(uint8_t(c));
    EXPECT_EQ(d.Command(Code(C::WriteKey), unterminated, std::vector<uint8_t>(128, 1)).Op(0),
              uint32_t(kKeyBadRequest));
    std::vector<uint8_t> hugeKey = Le32s({4, 0, kMaxKeyDataBytes + 1, 0});
    for (char c : std::string("big")) hugeKey.push_back(uint8_t(c));
    hugeKey.push_back(0);
    EXPECT_EQ(d.Command(Code(C::WriteKey), hugeKey).Op(0), uint32_t(kKeyBadRequest));
    EXPECT_EQ(d.Command(Code(C::DownloadBlock), Le32s({0, 0x20000000, 16}), std::vector<uint8_t>(16, 0)).Op(1),
              uint32_t(kBlockRejected));
    EXPECT_EQ(d.Command(Code(C::ReadImageCrc), {9, 0, 0, 0}).count, 0);

    d.Dev([&](Lumarel460& dev) {
        const nlohmann::json after = dev.Describe();
        for (const char* field : {"guid", "mac", "debug_guid", "slots", "keys", "persistent", "mode"})
            EXPECT_EQ(after[field], before[field]) << field;
    });
}

TEST_F(DeviceTest, GuidAndMacTakeTheByteOrdersCallersSend) {
    DeviceBus d;
    // GUID 0A3C7E10 00010002 arrives with each quadlet reversed.
    EXPECT_TRUE(d.Command(Code(C::ProgramGuid), {0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}).answered);
    // MAC 00 11 22 33 44 55 arrives as m4 m3 m2 m1 0 0 m6 m5.
    EXPECT_TRUE(d.Command(Code(C::ProgramMac), {0x33, 0x22, 0x11, 0x00, 0x00, 0x00, 0x55, 0x44}).answered);
    d.Dev([](Lumarel460& dev) {
        EXPECT_EQ(dev.Describe()["guid"], "0A3C7E1000010002");
        EXPECT_EQ(dev.Describe()["mac"], "001122334455");
    });
    // The info registers show it at once, the config ROM after the next bus reset.
    const auto info = d.ReadOk(kRegionBase + 16, 8);
    EXPECT_EQ(info, (std::vector<uint8_t>{0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}));
    d.bus.Reset();
    const auto rom = d.Rom();
    ASSERT_GE(rom.size(), 5u);
    EXPECT_EQ(rom[3], 0x0A3C7E10u);
    EXPECT_EQ(rom[4], 0x00010002u);

    // Debug GUID: 8 opaque bytes back exactly as set, unless the device ignores them.
    const std::vector<uint8_t> debug = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_TRUE(d.Command(Code(C::SetDebugGuid), debug).answered);
    Response got = d.Command(Code(C::GetDebugGuid));
    EXPECT_EQ(got.operands, debug);
    d.Dev([](Lumarel460& dev) { dev.faults().ignoreDebugGuid = true; });
    EXPECT_TRUE(d.Command(Code(C::SetDebugGuid), std::vector<uint8_t>(8, 0x11)).answered);
    EXPECT_EQ(d.Command(Code(C::GetDebugGuid)).operands, debug);

    // Persistent parameters return to the factory identity; keys survive.
    d.Dev([](Lumarel460& dev) { dev.SetKey("k", {1}); });
    EXPECT_TRUE(d.Command(Code(C::InitPersistentParams)).answered);
    d.Dev([](Lumarel460& dev) {
        const auto j = dev.Describe();
        EXPECT_EQ(j["guid"], j["factory_guid"]);
        EXPECT_EQ(j["debug_guid"], "0000000000000000");
        EXPECT_EQ(j["keys"].size(), 1u);
        EXPECT_EQ(j["persistent"]["initializations"], 1);
    });
}

TEST_F(DeviceTest, FactoryDefaultsLoadTheConfigurationEvenWhenSilent) {
    DeviceBus d;
    const std::vector<uint8_t> cne = Pattern(300, 11);
    ASSERT_EQ(Download(d, kConfigImage, cne, ZlibCrc(cne), 0x201A0000).Op(1), kCrcValid);
    EXPECT_TRUE(d.Command(Code(C::ConfigFactoryDefaults)).answered);
    d.Dev([&](Lumarel460& dev) {
        EXPECT_EQ(dev.persistent().liveConfig, cne);
        dev.faults().silentFactoryDefaults = true;
    });
    EXPECT_FALSE(d.Command(Code(C::ConfigFactoryDefaults)).answered);
    d.Dev([](Lumarel460& dev) { EXPECT_EQ(dev.persistent().factoryDefaultLoads, 2u); });
}

TEST_F(DeviceTest, SilentDeviceTakesNothing) {
    DeviceConfig config;
    config.faults.silent = true;
    DeviceBus d(config);
    EXPECT_FALSE(d.Command(Code(C::ProgramGuid), std::vector<uint8_t>(8, 0x42)).answered);
    d.Dev([&](Lumarel460& dev) { EXPECT_EQ(dev.guid(), config.factoryGuid); });
}

TEST_F(DeviceTest, LateAnswerComesAfterItsDelay) {
    DeviceBus d;
    d.Dev([](Lumarel460& dev) {
        dev.faults().lateAnswerMs = 150;
        dev.timing().eraseTimeMs = 1000;
    });
    ASSERT_EQ(d.Send(Code(C::DownloadStart), StartOperands(0, 0, 100, 0)), kResultSuccess);
    d.clock.Advance(1149);
    EXPECT_FALSE(d.Poll().answered);
    d.clock.Advance(1);
    EXPECT_EQ(d.Poll().Op(0), 1024u);
}

}  // namespace
}  // namespace sim::lumarel::testing
