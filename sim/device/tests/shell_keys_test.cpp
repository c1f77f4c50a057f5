// The shell in each protocol version and the key exchanges, driven as a host drives them.
#include "device/tests/device_bus.h"

namespace sim::lumarel::testing {
namespace {

// Host side of the shell, per protocol version.
class ShellHost {
public:
    ShellHost(DeviceBus& d, ProtocolVariant protocol) : d_(d), protocol_(protocol) {}

    void Write(const std::string& text) {
        if (protocol_ == ProtocolVariant::V2 || protocol_ == ProtocolVariant::V2BigEndian) {
            std::vector<uint8_t> block(6, 0);
            const uint16_t n = uint16_t(text.size());
            if (protocol_ == ProtocolVariant::V2BigEndian) {
                block.push_back(uint8_t(n >> 8));
                block.push_back(uint8_t(n));
            } else {
                block.push_back(uint8_t(n));
                block.push_back(uint8_t(n >> 8));
            }
            block.insert(block.end(), text.begin(), text.end());
            ASSERT_EQ(d_.Write(kRegionBase + kRequestArea + kPayloadOffset, block), kResultSuccess);
            return;
        }
        const Response r = d_.Command(uint8_t(Command::ShellWrite), Le32s({uint32_t(text.size())}),
                                      Bytes(text));
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(r.count, 0);
    }

    std::string Read() {
        if (protocol_ == ProtocolVariant::V2 || protocol_ == ProtocolVariant::V2BigEndian) {
            const bool be = protocol_ == ProtocolVariant::V2BigEndian;
            const auto header = d_.ReadOk(kRegionBase + kResponseArea + kPayloadOffset, 8);
            const auto u16 = [&](size_t at) { return be ? uint16_t(header[at] << 8 | header[at + 1])
                                                        : uint16_t(header[at] | header[at + 1] << 8); };
            const uint16_t mask = u16(4), head = u16(6);
            const auto all = d_.ReadOk(kRegionBase + kResponseArea + kPayloadOffset, 8u + mask + 1u);
            std::string out;
            for (uint16_t p = position_; p != head;) {
                p = uint16_t(p + 1);
                out.push_back(char(all[8 + (p & mask)]));
            }
            position_ = head;
            return out;
        }
        const Response r = d_.Command(uint8_t(Command::ShellRead));
        EXPECT_TRUE(r.answered);
        EXPECT_EQ(r.count, protocol_ == ProtocolVariant::V1 ? 7 : 1);
        lastLost_ = protocol_ == ProtocolVariant::V1 ? r.Op(2) : 0;
        const uint32_t n = r.Op(0);
        if (n == 0) return {};
        const auto chars = d_.ReadOk(kRegionBase + kResponseArea + kPayloadOffset, (n + 3) & ~3u);
        return std::string(chars.begin(), chars.begin() + n);
    }
    uint32_t lastLost_ = 0;

private:
    DeviceBus& d_;
    ProtocolVariant protocol_;
    uint16_t position_ = 0;
};

TEST(DeviceShell, EchoesAndAnswersLinesInEveryProtocolVersion) {
    TempRoot root;
    for (ProtocolVariant p : {ProtocolVariant::V1, ProtocolVariant::V2, ProtocolVariant::V2BigEndian,
                              ProtocolVariant::V3}) {
        SCOPED_TRACE(ToString(p));
        DeviceConfig config;
        config.protocol = p;
        config.shellRingSize = 64;
        DeviceBus d(config);
        d.Dev([](Lumarel460& dev) {
            dev.console().SetLineHandler([](const std::string& line) { return "you said " + line + "\r\n> "; });
        });
        ShellHost host(d, p);
        const Response routed = d.Command(uint8_t(Command::SwitchToShell), std::vector<uint8_t>(8, 0));
        EXPECT_TRUE(routed.answered);
        EXPECT_EQ(routed.count, 0);
        d.Dev([](Lumarel460& dev) { EXPECT_TRUE(dev.ShellRouted()); });
        host.Write("ver\r");
        EXPECT_EQ(host.Read(), "ver\r\nyou said ver\r\n> ");
        EXPECT_EQ(host.Read(), "");
        // More than a 64-byte ring holds between reads: the ring keeps only its newest bytes,
        // the FIFO keeps everything.
        const std::string longLine(100, 'x');
        host.Write(longLine);
        const std::string got = host.Read();
        if (p == ProtocolVariant::V2 || p == ProtocolVariant::V2BigEndian) {
            EXPECT_EQ(got.size(), 100u);  // the host's view: new = head - tail, overwritten ones included
            EXPECT_EQ(got.substr(36), std::string(64, 'x'));
        } else {
            EXPECT_EQ(got, longLine);
        }
    }
}

TEST(DeviceShell, ProtocolOneReportsLostCharactersOnce) {
    TempRoot root;
    DeviceBus d;
    d.Dev([](Lumarel460& dev) { dev.console().Emit(std::string(9000, 'o')); });
    ShellHost host(d, ProtocolVariant::V1);
    EXPECT_EQ(host.Read().size(), kShellReadMax);
    EXPECT_EQ(host.lastLost_, 9000u - 8192u);
    host.Read();
    EXPECT_EQ(host.lastLost_, 0u);
}

// Host side of the key exchanges.
struct KeyResult {
    bool ok = false;
    std::vector<uint8_t> data;
    std::vector<size_t> chunks;  // data bytes per exchange
    int exchanges = 0;
};

KeyResult WriteKey(DeviceBus& d, const std::string& name, const std::vector<uint8_t>& data) {
    KeyResult res;
    const uint32_t length = uint32_t(name.size() + 1);
    const uint32_t n = std::min<uint32_t>((uint32_t(name.size()) + 3) / 4, 9);
    const uint32_t total = uint32_t(data.size());
    uint32_t offset = 0, sent = 0, size = total;
    while (res.exchanges < 100) {
        ++res.exchanges;
        std::vector<uint8_t> op = Le32s({length, offset, total, sent});
        for (uint32_t i = offset; i < length; ++i) op.push_back(i < name.size() ? uint8_t(name[i]) : 0);
        size_t chunk = 0;
        if (length < offset + 37) {
            chunk = std::min<size_t>(128, total - sent);
            std::vector<uint8_t> buffer(128, 0);
            std::copy_n(data.begin() + sent, chunk, buffer.begin());
            for (size_t q = 0; q < 128; q += 4) std::reverse(buffer.begin() + q, buffer.begin() + q + 4);
            EXPECT_EQ(d.Write(kRegionBase + kRequestArea + kPayloadOffset, buffer), kResultSuccess);
        }
        EXPECT_EQ(d.Send(uint8_t(Command::WriteKey), op, int(4 + n)), kResultSuccess);
        const Response r = d.Poll();
        if (!r.answered || r.count != 3 || r.Op(0) != 0) return res;
        size = r.Op(1);
        sent += uint32_t(chunk);
        res.chunks.push_back(chunk);
        offset += 4 * n;
        if (offset >= length && sent >= size) break;
    }
    res.ok = true;
    return res;
}

KeyResult ReadKey(DeviceBus& d, const std::string& name, uint32_t* status = nullptr) {
    KeyResult res;
    const uint32_t length = uint32_t(name.size() + 1);
    const uint32_t n = std::min<uint32_t>((uint32_t(name.size()) + 3) / 4, 10);
    uint32_t offset = 0, got = 0, size = 0;
    while (res.exchanges < 1000) {
        ++res.exchanges;
        std::vector<uint8_t> op = Le32s({length, offset, got});
        for (uint32_t i = offset; i < length; ++i) op.push_back(i < name.size() ? uint8_t(name[i]) : 0);
        EXPECT_EQ(d.Send(uint8_t(Command::ReadKey), op, int(3 + n)), kResultSuccess);
        const Response r = d.Poll();
        if (!r.answered || r.count != 4) return res;
        if (status) *status = r.Op(0);
        size = r.Op(1);
        const uint32_t chunk = r.Op(2);
        EXPECT_EQ(r.Op(3), got);
        if (size < 1) return res;
        if (chunk > 0) {
            const auto bytes = d.ReadOk(kRegionBase + kResponseArea + kPayloadOffset, (chunk + 3) & ~3u);
            res.data.insert(res.data.end(), bytes.begin(), bytes.begin() + chunk);
        }
        res.chunks.push_back(chunk);
        got += chunk;
        offset += 4 * n;
        if (offset >= length && got >= size) break;
    }
    res.ok = got == size;
    return res;
}

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + 1);
    return v;
}

TEST(DeviceKeys, WrittenKeysReadBackByteForByte) {
    TempRoot root;
    struct Case {
        std::string name;
        size_t size;
        std::vector<size_t> writeChunks;
    };
    const Case cases[] = {
        {"serial", 300, {128, 128, 44}},
        {"abcd", 100, {100, 0}},  // the terminating zero needs a second exchange
        {std::string(45, 'n'), 200, {0, 128, 72}},  // the name spans exchanges before any data
        {"big", 5000, {}},
    };
    for (ProtocolVariant p : {ProtocolVariant::V1, ProtocolVariant::V2BigEndian}) {
        DeviceConfig config;
        config.protocol = p;
        DeviceBus d(config);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name + " " + ToString(p));
            const std::vector<uint8_t> data = Pattern(c.size);
            const KeyResult w = WriteKey(d, c.name, data);
            ASSERT_TRUE(w.ok);
            if (!c.writeChunks.empty()) {
                EXPECT_EQ(w.chunks, c.writeChunks);
            }
            const KeyResult r = ReadKey(d, c.name);
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.data, data);
        }
        d.Dev([&](Lumarel460& dev) { EXPECT_EQ(dev.keys().size(), std::size(cases)); });
    }
}

TEST(DeviceKeys, UnknownKeyAndInterruptedWrite) {
    TempRoot root;
    DeviceBus d;
    uint32_t status = 99;
    const KeyResult r = ReadKey(d, "missing", &status);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(status, uint32_t(kKeyUnknown));

    // A write that stops half way stores nothing; a later full write replaces it cleanly.
    std::vector<uint8_t> op = Le32s({4, 0, 300, 0});
    for (char c : std::string("key")) op.push_back(uint8_t(c));
    op.push_back(0);
    EXPECT_TRUE(d.Command(uint8_t(Command::WriteKey), op, std::vector<uint8_t>(128, 1)).answered);
    d.Dev([](Lumarel460& dev) { EXPECT_TRUE(dev.keys().empty()); });
    EXPECT_TRUE(WriteKey(d, "key", Pattern(10)).ok);
    EXPECT_EQ(ReadKey(d, "key").data, Pattern(10));
}

}  // namespace
}  // namespace sim::lumarel::testing
