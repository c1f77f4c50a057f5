// The shell in each protocol version and the key exchanges, driven as a host drives them.
#include <optional>

#include "tests/device_bus.h"

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

// Host side of the key exchanges, one exchange per Step so that tests can interleave keys.
struct KeyResult {
    bool ok = false;
    std::vector<uint8_t> data;
    std::vector<size_t> chunks;  // data bytes per exchange
    int exchanges = 0;
};

// What a key read and a key write share: the device, the name, the outcome.
class KeyHost {
public:
    KeyResult res;

    // Gives the host its own request numbers, as a second program has (by default it shares
    // the bus's counter).
    void OwnSequence(uint16_t first) { sequence_ = first; }

protected:
    KeyHost(DeviceBus& d, std::string name) : d_(d), name_(std::move(name)) {}
    // Swaps the host's own counter in for one exchange.
    struct Numbering {
        explicit Numbering(KeyHost& h) : h_(h) {
            if (h_.sequence_) std::swap(h_.d_.sequence, *h_.sequence_);
        }
        ~Numbering() {
            if (h_.sequence_) std::swap(h_.d_.sequence, *h_.sequence_);
        }
        KeyHost& h_;
    };
    std::optional<uint16_t> sequence_;
    bool End(bool ok) {
        res.ok = ok;
        done_ = true;
        return false;
    }
    DeviceBus& d_;
    std::string name_;
    bool done_ = false;
};

class KeyWriter : public KeyHost {
public:
    KeyWriter(DeviceBus& d, std::string name, std::vector<uint8_t> data)
        : KeyHost(d, std::move(name)), data_(std::move(data)), size_(uint32_t(data_.size())) {}

    // One exchange; false once the write has ended (res.ok tells how).
    bool Step() {
        if (done_) return false;
        const Numbering numbering(*this);
        const uint32_t length = uint32_t(name_.size() + 1);
        const uint32_t n = std::min<uint32_t>((uint32_t(name_.size()) + 3) / 4, 9);
        const uint32_t total = uint32_t(data_.size());
        ++res.exchanges;
        std::vector<uint8_t> op = Le32s({length, offset_, total, sent_});
        for (uint32_t i = offset_; i < length; ++i) op.push_back(i < name_.size() ? uint8_t(name_[i]) : 0);
        size_t chunk = 0;
        if (length < offset_ + 37) {
            chunk = std::min<size_t>(128, total - sent_);
            std::vector<uint8_t> buffer(128, 0);
            std::copy_n(data_.begin() + sent_, chunk, buffer.begin());
            for (size_t q = 0; q < 128; q += 4) std::reverse(buffer.begin() + q, buffer.begin() + q + 4);
            EXPECT_EQ(d_.Write(kRegionBase + kRequestArea + kPayloadOffset, buffer), kResultSuccess);
        }
        EXPECT_EQ(d_.Send(uint8_t(Command::WriteKey), op, int(4 + n)), kResultSuccess);
        const Response r = d_.Poll();
        if (!r.answered || r.count != 3 || r.Op(0) != 0 || res.exchanges >= 100) return End(false);
        size_ = r.Op(1);
        sent_ += uint32_t(chunk);
        res.chunks.push_back(chunk);
        offset_ += 4 * n;
        if (offset_ >= length && sent_ >= size_) return End(true);
        return true;
    }

private:
    std::vector<uint8_t> data_;
    uint32_t offset_ = 0, sent_ = 0, size_;
};

class KeyReader : public KeyHost {
public:
    KeyReader(DeviceBus& d, std::string name) : KeyHost(d, std::move(name)) {}

    bool Step() {
        if (done_) return false;
        const Numbering numbering(*this);
        const uint32_t length = uint32_t(name_.size() + 1);
        const uint32_t n = std::min<uint32_t>((uint32_t(name_.size()) + 3) / 4, 10);
        ++res.exchanges;
        std::vector<uint8_t> op = Le32s({length, offset_, got_});
        for (uint32_t i = offset_; i < length; ++i) op.push_back(i < name_.size() ? uint8_t(name_[i]) : 0);
        EXPECT_EQ(d_.Send(uint8_t(Command::ReadKey), op, int(3 + n)), kResultSuccess);
        const Response r = d_.Poll();
        if (!r.answered || r.count != 4 || res.exchanges >= 1000) return End(false);
        status = r.Op(0);
        size_ = r.Op(1);
        const uint32_t chunk = r.Op(2);
        EXPECT_EQ(r.Op(3), got_);
        if (size_ < 1) return End(false);
        if (chunk > 0) {
            const auto bytes = d_.ReadOk(kRegionBase + kResponseArea + kPayloadOffset, (chunk + 3) & ~3u);
            res.data.insert(res.data.end(), bytes.begin(), bytes.begin() + chunk);
        }
        res.chunks.push_back(chunk);
        got_ += chunk;
        offset_ += 4 * n;
        if (offset_ >= length && got_ >= size_) return End(got_ == size_);
        return true;
    }
    uint32_t status = 99;

private:
    uint32_t offset_ = 0, got_ = 0, size_ = 0;
};

KeyResult WriteKey(DeviceBus& d, const std::string& name, const std::vector<uint8_t>& data) {
    KeyWriter w(d, name, data);
    while (w.Step()) {
    }
    return w.res;
}

KeyResult ReadKey(DeviceBus& d, const std::string& name, uint32_t* status = nullptr) {
    KeyReader r(d, name);
    while (r.Step()) {
    }
    if (status) *status = r.status;
    return r.res;
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

namespace sim::lumarel::testing {
namespace {

// Two programs move keys through one device, each locking only around its own exchanges, so
// their exchanges alternate. Every key must end up with its own data.
TEST(DeviceKeys, InterleavedKeysOfTwoHostsStayApart) {
    TempRoot root;
    struct Case {
        std::string a, b;
        size_t sizeA, sizeB;
        std::optional<uint16_t> firstA, firstB;  // each program's own request numbers
        bool bothOk;  // false: the device cannot tell the later exchanges apart
    };
    const Case cases[] = {
        {"alpha", "bravo_key", 200, 201, {}, {}, true},  // names of different lengths
        {"alpha", "bravo", 200, 260, {}, {}, true},      // one name length, different totals
        {std::string(45, 'a'), std::string(45, 'b'), 300, 310, {}, {}, true},  // long names go out again
        {"alpha", "bravo", 200, 200, 100, 5000, true},   // only the request numbers differ
        {"alpha", "bravo", 200, 200, 32766, 40, true},   // the numbers wrap to 1
        {"alpha", "bravo", 200, 200, 100, 100, false},   // nothing tells the two writes apart
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        DeviceBus d;
        const std::vector<uint8_t> dataA = Pattern(c.sizeA);
        std::vector<uint8_t> dataB = Pattern(c.sizeB);
        std::reverse(dataB.begin(), dataB.end());
        KeyWriter wa(d, c.a, dataA), wb(d, c.b, dataB);
        if (c.firstA) wa.OwnSequence(uint16_t(*c.firstA - 1));
        if (c.firstB) wb.OwnSequence(uint16_t(*c.firstB - 1));
        bool moreA = true, moreB = true;
        while (moreA || moreB) {
            if (moreA) moreA = wa.Step();
            if (moreB) moreB = wb.Step();
        }
        d.Dev([&](Lumarel460& dev) {
            // Whatever was stored belongs to its own key.
            for (const auto& [name, data] : dev.keys()) EXPECT_EQ(data, name == c.a ? dataA : dataB) << name;
        });
        if (!c.bothOk) {
            EXPECT_FALSE(wa.res.ok && wb.res.ok);
            continue;
        }
        ASSERT_TRUE(wa.res.ok);
        ASSERT_TRUE(wb.res.ok);
        // Reads of keys longer than one answer interleave as well, and two reads of one key.
        for (const std::string& extra : {std::string("big"), c.a}) {
            const std::vector<uint8_t> big = Pattern(1500);
            if (extra == "big") {
                ASSERT_TRUE(WriteKey(d, "big", big).ok);
            }
            KeyReader r1(d, extra), r2(d, c.b), r3(d, extra);
            bool m1 = true, m2 = true, m3 = true;
            while (m1 || m2 || m3) {
                if (m1) m1 = r1.Step();
                if (m2) m2 = r2.Step();
                if (m3) m3 = r3.Step();
            }
            EXPECT_EQ(r1.res.data, extra == "big" ? big : dataA);
            EXPECT_EQ(r3.res.data, r1.res.data);
            EXPECT_EQ(r2.res.data, dataB);
        }
    }
}

// A key write abandoned half way does not stay in the way: up to eight writes may be open, and
// the least recently used gives way to a new one.
TEST(DeviceKeys, AbandonedWritesGiveWay) {
    TempRoot root;
    DeviceBus d;
    std::vector<std::unique_ptr<KeyWriter>> abandoned;
    for (int i = 0; i < 12; ++i) {
        abandoned.push_back(std::make_unique<KeyWriter>(d, "k" + std::to_string(i), Pattern(300 + size_t(i))));
        ASSERT_TRUE(abandoned.back()->Step());
    }
    // The four oldest were pushed out; the newest eight go on where they stopped.
    EXPECT_FALSE(abandoned[0]->Step());
    for (int i = 4; i < 12; ++i) {
        while (abandoned[size_t(i)]->Step()) {
        }
        EXPECT_TRUE(abandoned[size_t(i)]->res.ok) << i;
    }
    d.Dev([](Lumarel460& dev) { EXPECT_EQ(dev.keys().size(), 8u); });
}

}  // namespace
}  // namespace sim::lumarel::testing
