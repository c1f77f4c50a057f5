// The shell window's terminal rules without a window: how reads show in the box, the history
// ring and its replay, the keys and the polling period.
#include <gtest/gtest.h>

#include "shell/terminal_input.h"
#include "shell/terminal_text.h"

namespace {

using namespace imagelift_shell;
using basBootloader::kShellBufferSize;

ByteArray Bytes(const std::string& s) { return ByteArray(s.begin(), s.end()); }

// The box after showing `reads` one after another, starting from `box`.
std::string Show(std::string box, const std::vector<std::string>& reads) {
    for (const std::string& read : reads) {
        const ShellOutputEdit edit = ComposeShellOutput(Bytes(read));
        box = box.substr(0, size_t(ShellOutputStart(int32_t(box.size()), edit))) + edit.Text;
    }
    return box;
}

TEST(TerminalText, ReadsShowAsTheTerminalWouldShowThem) {
    struct Case {
        const char* what;
        std::string box;
        std::vector<std::string> reads;
        std::string shown;
    };
    const Case cases[] = {
        {"CR LF is one line break", "", {"a\r\nb"}, "a\r\nb"},
        {"a lone CR is dropped", "", {"a\rb"}, "ab"},
        {"a lone LF becomes a line break", "", {"a\nb"}, "a\r\nb"},
        {"CR and LF in separate reads", "", {"a\r", "\nb"}, "a\r\nb"},
        {"two letters and three backspaces erase one shown character", "xyz", {"ab\b\b\b"}, "xy"},
        {"backspaces never erase more than the box holds", "x", {"\b\b\b\b"}, ""},
        {"a backspace takes the read's own last character", "", {"abc\bd"}, "abd"},
        {"a backspace after a line break takes the LF, the next character its CR", "", {"a\n\bb"}, "ab"},
        {"a NUL inside a read shows as a blank", "", {std::string("a\0b", 3)}, "a b"},
        {"one NUL byte alone is no data", "x", {std::string(1, '\0')}, "x"},
        {"bytes of the upper half pass as they are", "", {"\xE9\xFC"}, "\xE9\xFC"},
    };
    for (const Case& c : cases) EXPECT_EQ(Show(c.box, c.reads), c.shown) << c.what;
}

TEST(TerminalText, TheRingWrapsAndReplaysOldestFirst) {
    ByteArray ring;
    int32_t pos = 0;
    AppendToShellRing(ring, pos, Bytes(std::string("a\0b", 3)));
    ASSERT_EQ(ring.size(), size_t(kShellBufferSize));
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(ShellRingHistory(ring, pos), std::vector<ByteArray>{Bytes("a b")}) << "NUL kept as a blank";

    // Exactly one ring's worth brings the position back to 0 and replays everything in order.
    ByteArray all(static_cast<size_t>(kShellBufferSize));
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t('A' + i % 26);
    ring.clear();
    pos = 0;
    AppendToShellRing(ring, pos, all);
    EXPECT_EQ(pos, 0);
    EXPECT_EQ(ShellRingHistory(ring, pos), std::vector<ByteArray>{all});

    // One more byte: it replaces the oldest; the history runs from the write position round.
    AppendToShellRing(ring, pos, Bytes("!"));
    const auto pieces = ShellRingHistory(ring, pos);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], ByteArray(all.begin() + 1, all.end()));
    EXPECT_EQ(pieces[1], Bytes("!"));
}

TEST(TerminalText, TheOldestByteIsReplayedWhenTheWritePositionIsTheLastIndex) {
    ByteArray ring;
    int32_t pos = 0;
    ByteArray all(size_t(kShellBufferSize) + kShellBufferSize - 1, 'x');
    all[size_t(kShellBufferSize) - 1] = 'O';  // will be the oldest byte kept, at index 16533
    AppendToShellRing(ring, pos, all);
    ASSERT_EQ(pos, kShellBufferSize - 1);
    const auto pieces = ShellRingHistory(ring, pos);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0], Bytes("O"));
    EXPECT_EQ(pieces[1].size(), size_t(kShellBufferSize) - 1);
}

TEST(TerminalText, ABrokenRingIsMadeWholeBeforeUse) {
    ByteArray ring(10, 'z');
    int32_t pos = 99999;
    EXPECT_TRUE(ShellRingHistory(ring, pos).empty());
    AppendToShellRing(ring, pos, Bytes("ok"));
    EXPECT_EQ(ring.size(), size_t(kShellBufferSize));
    EXPECT_EQ(ShellRingHistory(ring, pos), std::vector<ByteArray>{Bytes("ok")});
}

TEST(TerminalInput, KeysAndPaste) {
    EXPECT_EQ(ArrowKeySequence(vbKeyUp), (ByteArray{27, '[', 'A'}));
    EXPECT_EQ(ArrowKeySequence(vbKeyDown), (ByteArray{27, '[', 'B'}));
    EXPECT_EQ(ArrowKeySequence(vbKeyRight), (ByteArray{27, '[', 'C'}));
    EXPECT_EQ(ArrowKeySequence(vbKeyLeft), (ByteArray{27, '[', 'D'}));
    EXPECT_TRUE(ArrowKeySequence(46).empty()) << "Delete sends nothing";

    EXPECT_EQ(TypedCharacterData('a', "ignored"), ByteArray{'a'});
    EXPECT_EQ(TypedCharacterData(8, ""), ByteArray{8});
    EXPECT_EQ(TypedCharacterData(kPasteKey, "two\r\nlines"), Bytes("two\r\nlines"));
    EXPECT_TRUE(TypedCharacterData(kPasteKey, "").empty());
}

TEST(TerminalInput, PollingPeriods) {
    struct Case {
        const char* text;
        std::optional<int32_t> answer;  // what the polling-rate question accepts
        int32_t stored;                 // what a stored setting gives
    };
    const Case cases[] = {
        {"150", 150, 150},     {"150.5", 150, 150},     {"151.5", 152, 152},   {"20 ms", 20, 200},
        {"1", 1, 1},           {"65535", 65535, 65535}, {"65536", {}, 200},    {"0", {}, 200},
        {"-5", {}, 200},       {"0.4", {}, 200},        {"abc", {}, 200},      {"", {}, 200},
        {"1e9", {}, 200},      {"&H1F4", 500, 500},     {"&HFFFFFFFFFF", {}, 200},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PollingPeriodFromAnswer(c.text), c.answer) << c.text;
        EXPECT_EQ(PollingPeriodFromSetting(c.text), c.stored) << c.text;
    }
}

}  // namespace
