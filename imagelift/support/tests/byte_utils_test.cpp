#include "support/byte_utils.h"

#include <gtest/gtest.h>

#include "tests/support_fixture.h"
#include "vbrt/error.h"

namespace {

using basUtils::ByteArray;
using supporttest::SupportTest;

// Runs fn and returns the vb::Error it raised (number 0 when it raised nothing).
template <class F>
vb::Error RaisedBy(F&& fn) {
    try {
        fn();
    } catch (const vb::Error& e) {
        return e;
    }
    return vb::Error(0, "", "");
}

TEST(BitField, ShiftsByTheMaskAndKeepsTheSign) {
    struct Case { uint32_t value, mask, expected; };
    const Case cases[] = {
        {0xC5, 0x3F, 5},
        {0xC5, 0xC0, 3},
        {0x7FFF0000, 0xFFFF0000, 0x7FFF},
        {0x80000000, 0xFFFF0000, 0xFFFF8000},
        {0x12345678, 0xFFFF, 0x5678},
        {0x12345678, 0, 0},  // an empty mask is an empty field, not an endless loop
    };
    for (const auto& c : cases)
        EXPECT_EQ(uint32_t(basUtils::GetBitField(int32_t(c.value), int32_t(c.mask))), c.expected)
            << std::hex << c.value << " mask " << c.mask;
}

TEST(FormatHex, PadsCutsAndPrefixes) {
    struct Case { int32_t value; const char* templ; const char* expected; };
    const Case cases[] = {
        {-1, "0000", "FFFF"},       {255, "0x00000000", "0x000000FF"},
        {0, "", ""},                {0x12345, "0000", "2345"},
        {0xAB, "0x", "0x"},         {-2, "00000000", "FFFFFFFE"},
    };
    for (const auto& c : cases) EXPECT_EQ(basUtils::FormatHex(c.value, c.templ), c.expected);
}

TEST(HexDump, RowsLabelsPaddingAndCharacters) {
    const ByteArray data{0x41, 0x42, 0x00, 0x43, 0x44, 0x45};
    const std::string expected = std::string("0x100: 41 42 00 43 AB") + char(21) + "C\r\n" +
                                 "0x104: 44 45       DE\r\n";
    EXPECT_EQ(basUtils::HexDump(256, data, "<columnwidth = 4>"), expected);
    // Without a usable column tag the dump has four columns.
    EXPECT_EQ(basUtils::HexDump(256, data, ""), expected);
    EXPECT_EQ(basUtils::HexDump(256, data, "<columnwidth=0>"), expected);
    EXPECT_EQ(basUtils::HexDump(0, {1, 2, 3}, "<COLUMNWIDTH=2>"),
              "0x0: 01 02 \x01\x02\r\n0x2: 03    \x03\r\n");
    EXPECT_EQ(basUtils::HexDump(0, {}, ""), "");
    EXPECT_EQ(RaisedBy([&] { basUtils::HexDump(0, data, "<columnwidth=40000>"); }).Number(), 6);
}

TEST(GetTagValue, FindsTagsWithoutRegardToCaseOrBlanks) {
    EXPECT_EQ(basUtils::GetTagValue("x <ColumnWidth = 8 > y", "columnwidth"), "8");
    EXPECT_EQ(basUtils::GetTagValue("<a=1><b=2>", "b"), "2");
    EXPECT_EQ(basUtils::GetTagValue("<a=1>", "b"), "");
    EXPECT_EQ(RaisedBy([] { basUtils::GetTagValue("<a=1", "a"); }).Number(), 5);
}

TEST(Packing, LongsAndIntsInBothByteOrders) {
    ByteArray d(4);
    basUtils::LongToByteArray(0x12345678, d, 0);
    EXPECT_EQ(d, (ByteArray{0x78, 0x56, 0x34, 0x12}));
    basUtils::LongToByteArray(0x12345678, d, 0, true);
    EXPECT_EQ(d, (ByteArray{0x12, 0x34, 0x56, 0x78}));
    basUtils::LongToByteArray(-2, d, 0);
    EXPECT_EQ(d, (ByteArray{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(RaisedBy([&] { basUtils::LongToByteArray(1, d, 1); }).Number(), 9);
    EXPECT_EQ(d, (ByteArray{0xFE, 0xFF, 0xFF, 0xFF}));  // a refused write changes nothing

    EXPECT_EQ(basUtils::ByteArrayToLong({0xFE, 0xFF, 0xFF, 0xFF}), -2);
    EXPECT_EQ(basUtils::ByteArrayToLong({1, 2}, 0, 1), 513);
    EXPECT_EQ(basUtils::ByteArrayToLong({1, 2}, 0, 1, true), 258);
    EXPECT_EQ(basUtils::ByteArrayToLong({0, 0xFF, 0xFF, 0xFF}, 1, 3), 0xFFFFFF);
    EXPECT_EQ(basUtils::ByteArrayToInt({0xFF, 0x7F}), 32767);
    EXPECT_EQ(basUtils::ByteArrayToInt({0x00, 0x80}), -32768);
    EXPECT_EQ(basUtils::ByteArrayToInt({0x80, 0x00}, 0, true), -32768);
    EXPECT_EQ(basUtils::BytesToLong(0x12, 0x34, 0x56, 0x78), 0x12345678);
    EXPECT_EQ(RaisedBy([] { basUtils::BytesToLong(0x80, 0, 0, 0); }).Number(), 6);
}

TEST(WireValues, ReadInEitherOrderAndZeroWhenNotWhollyThere) {
    using basUtils::ByteOrder;
    const ByteArray b{0x12, 0x34, 0x56, 0x78, 0x9A};
    struct Case { size_t at; ByteOrder order; uint16_t u16; uint32_t u32; };
    const Case cases[] = {
        {0, ByteOrder::Little, 0x3412, 0x78563412},
        {0, ByteOrder::Big, 0x1234, 0x12345678},
        {1, ByteOrder::Big, 0x3456, 0x3456789A},
        {3, ByteOrder::Little, 0x9A78, 0},  // a quadlet that runs past the end reads 0
        {4, ByteOrder::Big, 0, 0},
        {5, ByteOrder::Little, 0, 0},
        {size_t(-1), ByteOrder::Little, 0, 0},  // an offset far outside does not wrap around
    };
    for (const auto& c : cases) {
        EXPECT_EQ(basUtils::ReadU16(b, c.at, c.order), c.u16) << "at " << c.at;
        EXPECT_EQ(basUtils::ReadU32(b, c.at, c.order), c.u32) << "at " << c.at;
    }
    EXPECT_EQ(basUtils::ReadI32({0xFE, 0xFF, 0xFF, 0xFF}, 0, ByteOrder::Little), -2);
}

TEST(WireValues, AppendInEitherOrder) {
    using basUtils::ByteOrder;
    ByteArray b{0xAA};
    basUtils::AppendU32(b, 0x12345678, ByteOrder::Little);
    basUtils::AppendU32(b, 0x12345678, ByteOrder::Big);
    basUtils::AppendU16(b, 0xBEEF, ByteOrder::Little);
    basUtils::AppendU16(b, 0xBEEF, ByteOrder::Big);
    EXPECT_EQ(b, (ByteArray{0xAA, 0x78, 0x56, 0x34, 0x12, 0x12, 0x34, 0x56, 0x78, 0xEF, 0xBE, 0xBE, 0xEF}));
    // What is appended reads back the same in its order.
    EXPECT_EQ(basUtils::ReadU32(b, 1, ByteOrder::Little), basUtils::ReadU32(b, 5, ByteOrder::Big));
}

TEST(Packing, WrongRangesRaiseTheProgramErrors) {
    const ByteArray d{1, 2, 3, 4};
    const vb::Error past = RaisedBy([&] { basUtils::ByteArrayToLong(d, 1); });
    EXPECT_EQ(past.Number(), 30753);
    EXPECT_EQ(past.Source(), "bas1394");
    EXPECT_EQ(past.Description(),
              "PROGRAM ERROR: ByteArrayToLong is instructed to read beyond the end of the incoming array!");
    const vb::Error wide = RaisedBy([&] { basUtils::ByteArrayToLong(d, 0, 4); });
    EXPECT_EQ(wide.Number(), 30752);
    EXPECT_EQ(wide.Description(), "PROGRAM ERROR: invalid start and end bytes in ByteArrayToLong");
    EXPECT_EQ(RaisedBy([&] { basUtils::ByteArrayToLong(d, 2, 1); }).Number(), 30752);
    const vb::Error intPast = RaisedBy([&] { basUtils::ByteArrayToInt(d, 3); });
    EXPECT_EQ(intPast.Number(), 30753);
    EXPECT_EQ(intPast.Description(),
              "PROGRAM ERROR: ByteArrayToInt is instructed to read beyond the end of the incoming array!");
}

TEST(Copies, GrowTheDestinationAndReportShortSources) {
    ByteArray dest{9, 8};
    EXPECT_EQ(basUtils::CopyBytes({1, 2, 3, 4}, 0, 4, dest, 1), 1);
    EXPECT_EQ(dest, (ByteArray{9, 1, 2, 3, 4}));

    ByteArray partial{0, 0, 0};
    EXPECT_EQ(basUtils::CopyBytes({1, 2}, 1, 3, partial, 0), -1);
    EXPECT_EQ(partial, (ByteArray{2, 0, 0}));  // the byte before the failure stays
    EXPECT_EQ(basUtils::CopyBytes({1}, 0, 0, partial, 5), 1);
    EXPECT_EQ(partial, (ByteArray{2, 0, 0, 0, 0}));  // grown to the start, nothing copied
    EXPECT_EQ(basUtils::CopyBytes({1}, -1, 1, partial, 0), -1);

    ByteArray text{7};
    EXPECT_EQ(basUtils::StringToByteArray(text, 2, "A\xE9"), 1);  // "é" in the 8-bit code page
    EXPECT_EQ(text, (ByteArray{7, 0, 0x41, 0xE9}));
    EXPECT_EQ(basUtils::StringToByteArray(text, -1, "A"), -1);
}

TEST(HexText, ParsesSeparatedPairsAndRefusesOddCounts) {
    struct Case { const char* text; int32_t result; ByteArray bytes; };
    const Case cases[] = {
        {"0x12 0x34", 1, {0x12, 0x34}},
        {"&H0a\r\n&HfF", 1, {0x0A, 0xFF}},
        {"0X12", 1, {0x00, 0x12}},  // the capital X is not a prefix: "0X" reads as 0
        {"G1A-", 1, {0x00, 0x0A}},
        {"", -1, {0}},
        {"   ", -1, {0}},
    };
    for (const auto& c : cases) {
        ByteArray out{5, 5, 5};
        EXPECT_EQ(basUtils::HexString2Ascii(c.text, out), c.result) << c.text;
        EXPECT_EQ(out, c.bytes) << c.text;
    }
    ByteArray out;
    const vb::Error odd = RaisedBy([&] { basUtils::HexString2Ascii("123", out); });
    EXPECT_EQ(odd.Number(), 30742);
    EXPECT_EQ(odd.Source(), "basUtils.HexString2Ascii");
    EXPECT_EQ(odd.Description(),
              "Error: invalid hex string - 2 chars per byte - this one is not divisible by 2: '123'");

    EXPECT_EQ(basUtils::ByteArrayToHexString({0x01, 0xAB, 0x00, 0x0F}, 2), "01AB 000F");
    EXPECT_EQ(basUtils::ByteArrayToHexString({0x01, 0xAB, 0x00, 0x0F}), "01 AB 00 0F");
    EXPECT_EQ(basUtils::ByteArrayToHexString({}), "");
    EXPECT_EQ(RaisedBy([] { basUtils::ByteArrayToHexString({1}, 0); }).Number(), 11);
}

TEST(Misc, EqualityDigitsAndCounters) {
    EXPECT_FALSE(basUtils::ByteArraysEqual({1, 2}, {1, 2, 3}));
    EXPECT_TRUE(basUtils::ByteArraysEqual({}, {}));
    EXPECT_FALSE(basUtils::ByteArraysEqual({1, 2}, {1, 3}));
    EXPECT_TRUE(basUtils::IsDigit("7abc"));
    EXPECT_FALSE(basUtils::IsDigit("a7"));
    EXPECT_FALSE(basUtils::IsDigit(""));
    EXPECT_EQ(basUtils::LargeIntegerToDouble({0x80000000u, 0}), 2147483648.0);
    EXPECT_EQ(basUtils::LargeIntegerToDouble({1, -1}), -4294967295.0);
}

class ChangeEndianTest : public SupportTest {};

TEST_F(ChangeEndianTest, PadsAndSwapsEveryQuadlet) {
    ByteArray d{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(basUtils::ChangeEndian(d), 1);
    EXPECT_EQ(d, (ByteArray{4, 3, 2, 1, 0, 0, 6, 5}));
    ByteArray empty;
    EXPECT_EQ(basUtils::ChangeEndian(empty), 1);
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(boxes_.asked().empty());
}

// A firmware package is far larger than 32 KB; every helper that takes positions must handle
// it, with positions near its end.
TEST(LargeArrays, FortyThousandBytesThroughEveryPositionHelper) {
    constexpr int32_t n = 40000;
    ByteArray big(n);
    for (int32_t i = 0; i < n; ++i) big[size_t(i)] = uint8_t(i * 7);

    basUtils::LongToByteArray(0x11223344, big, n - 4);
    EXPECT_EQ(basUtils::ByteArrayToLong(big, n - 4), 0x11223344);
    EXPECT_EQ(basUtils::ByteArrayToLong(big, n - 4, n - 1, true), 0x44332211);
    EXPECT_EQ(basUtils::ByteArrayToInt(big, n - 2), 0x1122);
    EXPECT_EQ(basUtils::ByteArrayToLong(big, 0), basUtils::ByteArrayToLong(ByteArray(big.begin(), big.begin() + 4)));
    EXPECT_EQ(RaisedBy([&] { basUtils::ByteArrayToLong(big, n - 3); }).Number(), 30753);

    ByteArray copy;
    EXPECT_EQ(basUtils::CopyBytes(big, 0, n, copy, 0), 1);
    EXPECT_TRUE(basUtils::ByteArraysEqual(big, copy));
    copy[n - 1] ^= 1;
    EXPECT_FALSE(basUtils::ByteArraysEqual(big, copy));

    const std::string hex = basUtils::ByteArrayToHexString(big);
    EXPECT_EQ(hex.size(), size_t(n) * 3 - 1);
    ByteArray parsed;
    EXPECT_EQ(basUtils::HexString2Ascii(hex, parsed), 1);
    EXPECT_EQ(parsed, big);

    const std::string dump = basUtils::HexDump(0, big, "<columnwidth=16>");
    EXPECT_NE(dump.find("0x9C30: "), std::string::npos);  // the last row, 39984
    EXPECT_EQ(dump.substr(dump.size() - 2), "\r\n");

    ByteArray text;
    EXPECT_EQ(basUtils::StringToByteArray(text, n - 1, "xy"), 1);
    EXPECT_EQ(text.size(), size_t(n) + 1);

    ByteArray swapped = big;
    EXPECT_EQ(basUtils::ChangeEndian(swapped), 1);
    EXPECT_EQ(basUtils::ByteArrayToLong(swapped, n - 4, n - 1, true), 0x11223344);
}

}  // namespace
