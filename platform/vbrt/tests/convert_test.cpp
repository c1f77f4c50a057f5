#include "vbrt/convert.h"
#include "vbrt/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The run-time error number a call raises, 0 when it returns.
template <class F>
int32_t ErrorOf(F&& f) {
    try {
        f();
    } catch (const vb::Error& e) {
        return e.Number();
    }
    return 0;
}

struct TextCase {
    const char* text;
    int64_t value;  // expected value, or the error number when error != 0
    int32_t error;
};

template <size_t N, class Convert>
void CheckTextCases(const TextCase (&cases)[N], Convert convert) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int64_t got = 0;
        EXPECT_EQ(ErrorOf([&] { got = convert(c.text); }), c.error);
        if (c.error == 0) {
            EXPECT_EQ(got, c.value);
        }
    }
}

TEST(Convert, CLngOfText) {
    const TextCase cases[] = {
        {"12", 12, 0},           {"  12  ", 12, 0},         {"\t-7 ", -7, 0},
        {"+7", 7, 0},            {"0.5", 0, 0},             {"1.5", 2, 0},
        {"2.5", 2, 0},           {"3.5", 4, 0},             {"-2.5", -2, 0},
        {"-3.5", -4, 0},         {".5", 0, 0},              {"5.", 5, 0},
        {"1e3", 1000, 0},        {"1D2", 100, 0},           {"&HFFFF", 65535, 0},
        {"&hff", 255, 0},        {"&HFFFFFFFF", -1, 0},     {"&H80000000", INT32_MIN, 0},
        {"&O17", 15, 0},         {"2147483647", INT32_MAX, 0}, {"-2147483648", INT32_MIN, 0},
        {"", 0, 13},             {"   ", 0, 13},            {"abc", 0, 13},
        {"7 WARNING", 0, 13},    {"1,000", 0, 13},          {"&H", 0, 13},
        {"&HG1", 0, 13},         {"1e", 0, 13},             {"2147483648", 0, 6},
        {"2147483647.5", 0, 6},  {"-2147483649", 0, 6},     {"&H100000000", 0, 6},
        {"1e400", 0, 6},
    };
    CheckTextCases(cases, [](std::string_view t) { return vb::CLng(t); });
}

TEST(Convert, CIntOfTextReadsShortHexAsA16BitPattern) {
    const TextCase cases[] = {
        {"&HFFFF", -1, 0},    {"&H8000", -32768, 0}, {"&H7FFF", 32767, 0}, {"&O177777", -1, 0},
        {"32767", 32767, 0},  {"-32768.5", -32768, 0}, {"32766.5", 32766, 0},
        {"32767.5", 0, 6},    {"&H10000", 0, 6},     {"-32769", 0, 6},     {"x", 0, 13},
    };
    CheckTextCases(cases, [](std::string_view t) { return vb::CInt(t); });
}

TEST(Convert, IntegerConversionsOfNumbersRoundHalfToEven) {
    const std::pair<double, int32_t> cases[] = {
        {0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}, {2.4999, 2}, {2.5001, 3}, {-2147483648.4, INT32_MIN}};
    for (auto [in, out] : cases) EXPECT_EQ(vb::CLng(in), out) << in;
    EXPECT_EQ(ErrorOf([] { vb::CLng(2147483647.5); }), 6);
    EXPECT_EQ(ErrorOf([] { vb::CInt(32767.5); }), 6);
    EXPECT_EQ(vb::CInt(-32768.5), -32768);
}

TEST(Convert, ValReadsTheLeadingNumber) {
    const std::pair<const char*, double> cases[] = {
        {"7 WARNING", 7},  {"  12abc", 12},  {"1 2 3", 123},     {"-1.5e2x", -150},
        {"1e", 1},         {"1e+", 1},       {".5", 0.5},        {"12.34.56", 12.34},
        {"abc", 0},        {"", 0},          {"-", 0},           {"&HFFFF", -1},
        {"&H10000", 65536}, {"&HFFFFFFFF", -1}, {"&h1F zz", 31}, {"&H", 0},
        {"&O777", 511},    {"0x12", 0},      {"\t\n42", 42},     {"1D3", 1000},
    };
    for (auto [text, value] : cases) EXPECT_DOUBLE_EQ(vb::Val(text), value) << text;
    EXPECT_EQ(ErrorOf([] { vb::Val("&H123456789"); }), 6);
    EXPECT_EQ(ErrorOf([] { vb::Val("1e999"); }), 6);
}

TEST(Convert, OtherNumericReaders) {
    EXPECT_DOUBLE_EQ(vb::CDbl(" 2.25 "), 2.25);
    EXPECT_EQ(ErrorOf([] { vb::CDbl("2.25x"); }), 13);
    EXPECT_TRUE(vb::IsNumeric("&H10"));
    EXPECT_FALSE(vb::IsNumeric("7 WARNING"));
    EXPECT_TRUE(vb::CBool("true"));
    EXPECT_FALSE(vb::CBool("False"));
    EXPECT_FALSE(vb::CBool("0"));
    EXPECT_TRUE(vb::CBool("-1"));
    EXPECT_EQ(ErrorOf([] { vb::CBool("yes"); }), 13);
}

TEST(Convert, HexOfBothWidths) {
    EXPECT_EQ(vb::Hex(int32_t(-1)), "FFFFFFFF");
    EXPECT_EQ(vb::Hex(int16_t(-1)), "FFFF");
    EXPECT_EQ(vb::Hex(int16_t(-32768)), "8000");
    EXPECT_EQ(vb::Hex(int32_t(-2)), "FFFFFFFE");
    EXPECT_EQ(vb::Hex(255), "FF");
    EXPECT_EQ(vb::Hex(0), "0");
    EXPECT_EQ(vb::Hex(uint32_t(0xDEADBEEF)), "DEADBEEF");
    EXPECT_EQ(vb::Hex(uint8_t(0xAB)), "AB");
    EXPECT_EQ(vb::Oct(8), "10");
}

TEST(Convert, DefaultTextOfNumbers) {
    const std::pair<float, const char*> singles[] = {
        {0.1f, "0.1"},           {1e-5f, "1E-05"},          {123456789.0f, "1.234568E+08"},
        {1234567.0f, "1234567"}, {12345678.0f, "1.234568E+07"}, {0.0001f, "0.0001"},
        {-2.5f, "-2.5"},         {100.0f, "100"},           {1.0f / 3, "0.3333333"},
        {-0.0f, "0"},            {3.4028235e38f, "3.402823E+38"}, {1.5e-7f, "1.5E-07"},
    };
    for (auto [value, text] : singles) EXPECT_EQ(vb::CStr(value), text) << text;
    EXPECT_EQ(vb::CStr(0.1), "0.1");
    EXPECT_EQ(vb::CStr(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(vb::CStr(1e15), "1E+15");
    EXPECT_EQ(vb::CStr(int32_t(-42)), "-42");
    EXPECT_EQ(vb::CStr(true), "True");
    EXPECT_EQ(vb::CStr(false), "False");
}

TEST(Convert, ZeroPaddedFormatPutsTheSignFirst) {
    EXPECT_EQ(vb::Format(-1, "000"), "-001");
    EXPECT_EQ(vb::Format(5, "00"), "05");
    EXPECT_EQ(vb::Format(1234, "00"), "1234");
    EXPECT_EQ(vb::Format(0, "000"), "000");
    EXPECT_EQ(vb::Format(7, ""), "7");
    EXPECT_EQ(vb::Format(INT64_MIN, "0"), "-9223372036854775808");
    EXPECT_EQ(ErrorOf([] { vb::Format(1, "0.0"); }), 5);
}

TEST(Convert, Windows1252RoundTripsEveryByte) {
    for (int b = 0; b < 256; ++b) {
        std::string one(1, char(b));
        auto back = vb::Utf8ToWin1252(vb::Win1252ToUtf8(one));
        ASSERT_TRUE(back.has_value()) << b;
        EXPECT_EQ(*back, one) << b;
    }
    EXPECT_EQ(vb::Win1252ToUtf8("\x80\xE9"), "\xE2\x82\xAC\xC3\xA9");  // euro sign, e acute
    EXPECT_EQ(vb::UnicodeToWin1252(0x2122), 0x99);
    EXPECT_FALSE(vb::Utf8ToWin1252("\xE4\xB8\xAD").has_value());  // not in the code page
    EXPECT_FALSE(vb::Utf8ToWin1252("\xC3").has_value());          // cut sequence
    EXPECT_FALSE(vb::IsValidUtf8("\xE9t\xE9"));
    EXPECT_EQ(vb::TextToBytes("A\xE9"), (std::vector<uint8_t>{0x41, 0xE9}));
    EXPECT_EQ(vb::BytesToText({0x41, 0x00, 0xFF}), std::string("A\0\xFF", 3));
    EXPECT_EQ(vb::Asc("\xE9"), 0xE9);
    EXPECT_EQ(vb::Chr(0x41), "A");
    EXPECT_EQ(ErrorOf([] { vb::Chr(256); }), 5);
    EXPECT_EQ(ErrorOf([] { vb::Asc(""); }), 5);
}

TEST(Convert, CaseOf8BitText) {
    EXPECT_EQ(vb::UCase("abc\xE9\x9A\xFF\xDF\xF7"), "ABC\xC9\x8A\x9F\xDF\xF7");
    EXPECT_EQ(vb::LCase("ABC\xC9\x8A\x9F\xD7"), "abc\xE9\x9A\xFF\xD7");
}

TEST(Convert, InStrPositions) {
    using vb::Compare;
    EXPECT_EQ(vb::InStr("abcABC", "C"), 6);
    EXPECT_EQ(vb::InStr("abcABC", "C", Compare::Text), 3);
    EXPECT_EQ(vb::InStrText("xx Warning yy", "WARNING"), 4);
    EXPECT_EQ(vb::InStrText("CAF\xC9", "caf\xE9"), 1);
    EXPECT_EQ(vb::InStrText("trace", "ERROR"), 0);
    EXPECT_EQ(vb::InStr(4, "abcabc", "a"), 4);
    EXPECT_EQ(vb::InStr(5, "abcabc", "a"), 0);
    EXPECT_EQ(vb::InStr(9, "abc", "a"), 0);
    EXPECT_EQ(vb::InStr("abc", ""), 1);
    EXPECT_EQ(vb::InStr("", ""), 0);
    EXPECT_EQ(vb::InStr("ab", "abc"), 0);
    EXPECT_EQ(ErrorOf([] { vb::InStr(0, "abc", "a"); }), 5);
    EXPECT_EQ(vb::InStrRev("C:\\dir\\file.txt", "\\"), 7);
    EXPECT_EQ(vb::InStrRev("abc", "x"), 0);
    EXPECT_TRUE(vb::StrEqual("MDIForm", "mdiform", Compare::Text));
    EXPECT_FALSE(vb::StrEqual("MDIForm", "mdiform"));
}

TEST(Convert, TrimRemovesBlanksOnly) {
    EXPECT_EQ(vb::Trim("  a b \t "), "a b \t");
    EXPECT_EQ(vb::LTrim("  a "), "a ");
    EXPECT_EQ(vb::RTrim("  a "), "  a");
    EXPECT_EQ(vb::Trim("   "), "");
    EXPECT_EQ(vb::Trim("\ta\t"), "\ta\t");
}

TEST(Convert, LeftMidRightBounds) {
    EXPECT_EQ(vb::Left("abc", 5), "abc");
    EXPECT_EQ(vb::Left("abc", 0), "");
    EXPECT_EQ(vb::Right("abc", 2), "bc");
    EXPECT_EQ(vb::Right("abc", 9), "abc");
    EXPECT_EQ(vb::Mid("abc", 2), "bc");
    EXPECT_EQ(vb::Mid("abc", 4), "");
    EXPECT_EQ(vb::Mid("abc", 2, 5), "bc");
    EXPECT_EQ(vb::Mid("abc", 2, 0), "");
    EXPECT_EQ(ErrorOf([] { vb::Left("abc", -1); }), 5);
    EXPECT_EQ(ErrorOf([] { vb::Right("abc", -1); }), 5);
    EXPECT_EQ(ErrorOf([] { vb::Mid("abc", 0); }), 5);
    EXPECT_EQ(ErrorOf([] { vb::Mid("abc", 1, -1); }), 5);
}

TEST(Convert, ReplaceEveryOccurrence) {
    EXPECT_EQ(vb::Replace("Day dd", "d", "X", vb::Compare::Text), "Xay XX");
    EXPECT_EQ(vb::Replace("Day dd", "d", "X"), "Day XX");
    EXPECT_EQ(vb::Replace("aaa", "a", "aa"), "aaaaaa");  // replacements are not searched again
    EXPECT_EQ(vb::Replace("0x12 0x34", "0x", ""), "12 34");
    EXPECT_EQ(vb::Replace("abc", "", "x"), "abc");
}

TEST(Errors, ExceptionsBecomeTheFittingRunTimeError) {
    namespace stdfs = std::filesystem;
    struct Case {
        std::exception_ptr ex;
        int32_t number;
    };
    const Case cases[] = {
        {std::make_exception_ptr(vb::Error(30753, "bas1394", "PROGRAM ERROR: x")), 30753},
        {std::make_exception_ptr(std::out_of_range("x")), 9},
        {std::make_exception_ptr(std::overflow_error("x")), 6},
        {std::make_exception_ptr(std::bad_alloc()), 7},
        {std::make_exception_ptr(stdfs::filesystem_error(
             "copy", std::make_error_code(std::errc::no_such_file_or_directory))), 53},
        {std::make_exception_ptr(stdfs::filesystem_error(
             "copy", std::make_error_code(std::errc::permission_denied))), 70},
        {std::make_exception_ptr(std::runtime_error("boom")), 5},
        {std::make_exception_ptr(42), 5},
    };
    for (const auto& c : cases) {
        try {
            std::rethrow_exception(c.ex);
        } catch (...) {
            EXPECT_EQ(vb::CurrentException("src").Number(), c.number);
        }
    }
    vb::Error boom = vb::FromException(std::runtime_error("boom"), "src");
    EXPECT_EQ(boom.Description(), "boom");
    EXPECT_EQ(boom.Source(), "src");
    EXPECT_EQ(vb::ErrorLine("Error #", vb::Error(53), " in MakeCopy."), "Error #53: File not found in MakeCopy.");
}

}  // namespace
