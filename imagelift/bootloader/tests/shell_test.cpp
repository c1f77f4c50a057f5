// The 1394 shell's character transport in each protocol version, against the simulated console.
#include "tests/boot_fixture.h"
#include "bootloader/commands.h"
#include "bootloader/shell.h"

namespace boottest {
namespace {

using namespace basBootloader;
using sim::lumarel::ProtocolVariant;

class Shell : public BootTest {
protected:
    int32_t Add(const std::string& id, ProtocolVariant protocol, uint16_t ring = 1024, uint8_t guidTail = 1) {
        auto c = Config(protocol, guidTail);
        c.shellRingSize = ring;
        AddDevice(id, c);
        EXPECT_EQ(Rescan(), 1);
        ClearLines();
        return HandleOf(id);
    }
    void Emit(const std::string& id, const std::string& text) {
        Dev(id, [&](sim::lumarel::Lumarel460& d) { d.console().Emit(text); });
    }
    std::string Received(const std::string& id) {
        std::string r;
        Dev(id, [&](sim::lumarel::Lumarel460& d) { r = d.console().Received(); });
        return r;
    }
    uint64_t Requests(const std::string& id) {
        uint64_t n = 0;
        Dev(id, [&](sim::lumarel::Lumarel460& d) { n = d.RequestsTaken(); });
        return n;
    }
    std::string Read(int32_t handle, bool wrapNotices = false, int32_t expect = 1) {
        ByteArray chars;
        EXPECT_EQ(ReadShellCharacters(handle, chars, wrapNotices), expect);
        if (chars == ByteArray{0}) return "";
        return std::string(chars.begin(), chars.end());
    }
    static ByteArray Bytes(const std::string& s) { return ByteArray(s.begin(), s.end()); }
    static std::string Run(size_t n, char first = 'a') {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += char(first + i % 26);
        return s;
    }
};

TEST_F(Shell, EchoInEveryProtocolVersion) {
    uint8_t tail = 0;
    for (auto protocol : {ProtocolVariant::V1, ProtocolVariant::V2, ProtocolVariant::V2BigEndian, ProtocolVariant::V3}) {
        SCOPED_TRACE(int(protocol));
        bus_.RemoveNode("d");
        const int32_t h = Add("d", protocol, 1024, ++tail);
        ASSERT_GE(h, 63);
        ASSERT_EQ(WriteShellCharacters(h, Bytes("hi\r")), 1);
        EXPECT_EQ(Received("d"), "hi\r");
        // The echo, then the console's answer to a word it does not know.
        EXPECT_EQ(Read(h), "hi\r\nunknown command \"hi\" (type help)\r\n> ");
        EXPECT_EQ(Read(h), "") << "nothing new";
    }
}

TEST_F(Shell, ProtocolTwoRingWrapsWithOrWithoutNotice) {
    for (bool notices : {true, false}) {
        bus_.RemoveNode("d");
        const int32_t h = Add("d", ProtocolVariant::V2, 256, notices ? 1 : 2);
        const std::string first = Run(250), second = Run(10, 'A');
        Emit("d", first);
        EXPECT_EQ(Read(h, notices), first);
        Emit("d", second);
        const std::string expected =
            notices ? second.substr(0, 5) + "\r\n *** BUFFER WRAP *** \r\n" + second.substr(5) : second;
        EXPECT_EQ(Read(h, notices), expected);
        EXPECT_EQ(State.TargetList[GetDeviceIndex(h)].ShellReadPosition, 260);
    }
}

TEST_F(Shell, ProtocolTwoOverrunDeliversTheWholeRing) {
    const int32_t h = Add("d", ProtocolVariant::V2, 256);
    const std::string text = Run(300);
    Emit("d", text);
    const std::string got = Read(h, true);
    auto line = Find("ReadShellCharacters error: Overflow: loss of 44 bytes");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
    // Oldest first: the 256 characters after the 44 lost ones, ending with the one at the head.
    EXPECT_EQ(got, text.substr(44, 211) + "\r\n *** BUFFER WRAP *** \r\n" + text.substr(255));
}

TEST_F(Shell, ProtocolTwoHeadPassingSixtyFiveThousandFiveHundredThirtyFive) {
    const int32_t h = Add("d", ProtocolVariant::V2, 1024);
    Emit("d", Run(65530));
    Read(h);  // far more than the ring holds: an overrun
    ClearLines();
    Emit("d", "twelve chars");
    EXPECT_EQ(Read(h), "twelve chars") << "the 16-bit head went from 65530 to 6";
    EXPECT_FALSE(Find("Overflow"));
}

TEST_F(Shell, EachTargetKeepsItsOwnReadPosition) {
    const int32_t a = Add("a", ProtocolVariant::V2, 1024, 1);
    const int32_t b = Add("b", ProtocolVariant::V2BigEndian, 1024, 2);
    Emit("a", "hello from a");
    EXPECT_EQ(Read(a), "hello from a");
    Emit("b", "b");
    EXPECT_EQ(Read(b), "b");
    Emit("a", "!");
    EXPECT_EQ(Read(a), "!");
    ASSERT_EQ(WriteShellCharacters(b, Bytes("hi\r")), 1);
    EXPECT_EQ(Received("b"), "hi\r") << "the big-endian count arrives whole";
}

TEST_F(Shell, ProtocolOneOverflowNotice) {
    const int32_t h = Add("d", ProtocolVariant::V1);
    Emit("d", Run(9000));
    const std::string got = Read(h);
    const std::string notice = "\r\n\r\n << buffer overflow on target: 808 characters lost >>\r\n\r\n";
    ASSERT_GT(got.size(), notice.size());
    EXPECT_EQ(got.substr(0, notice.size()), notice);
    EXPECT_EQ(got.substr(notice.size()), Run(9000).substr(0, got.size() - notice.size()));
    EXPECT_TRUE(Find("ReadShellCharacters: received=2048 status=0 charsLost=808"));
}

TEST_F(Shell, ProtocolThreeTakesTheWholeCount) {
    const int32_t h = Add("d", ProtocolVariant::V3);
    Emit("d", Run(256));
    EXPECT_EQ(Read(h), Run(256)) << "a count of 256 has a first byte of 0";
}

TEST_F(Shell, WritesGoInPiecesOf128) {
    for (auto protocol : {ProtocolVariant::V1, ProtocolVariant::V3}) {
        bus_.RemoveNode("d");
        const int32_t h = Add("d", protocol);
        Dev("d", [](sim::lumarel::Lumarel460& d) { d.console().SetEcho(false); });
        const uint64_t before = Requests("d");
        ASSERT_EQ(WriteShellCharacters(h, Bytes(Run(300))), 1);
        EXPECT_EQ(Requests("d") - before, 3u);
        EXPECT_EQ(Received("d"), Run(300));
    }
}

TEST_F(Shell, RefusalsAndSkips) {
    const int32_t h = Add("d", ProtocolVariant::V1);
    const uint64_t before = Requests("d");
    EXPECT_EQ(WriteShellCharacters(h, ByteArray{0}), -1);
    EXPECT_TRUE(Find("Warning: WriteShellCharacters fail: no data to send"));
    Read(0, false, -101);
    Read(-101, false, -101);
    EXPECT_EQ(WriteShellCharacters(0, Bytes("x")), -101);
    Read(99, false, 0);
    EXPECT_TRUE(Find("WARNING: no bootloader device with handle 0x63"));
    EXPECT_EQ(WriteShellCharacters(99, Bytes("x")), 0);

    // While a download block of this target awaits its answer, the shell leaves it alone.
    Emit("d", "waiting");
    State.DownloadBlockInFlight = h;
    EXPECT_EQ(Read(h), "");
    EXPECT_EQ(WriteShellCharacters(h, Bytes("x")), -1);
    State.DownloadBlockInFlight = 0;
    EXPECT_EQ(Requests("d"), before);
    EXPECT_EQ(Read(h), "waiting");
}

}  // namespace
}  // namespace boottest
