#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/errors.h"
#include "devices/inf.h"
#include "testing/store_fixture.h"

namespace devices {
namespace {

// A section's lines as "key=f1,f2" ("f1,f2" for a line without a key).
std::vector<std::string> Render(const InfText& inf, const std::string& section) {
    std::vector<std::string> out;
    const InfSection* s = inf.Find(section);
    if (!s) return out;
    for (const InfLine& line : s->lines) {
        std::string text = line.key ? *line.key + "=" : "";
        for (size_t i = 0; i < line.fields.size(); ++i) text += (i ? "," : "") + line.fields[i];
        out.push_back(text);
    }
    return out;
}

struct ParseCase {
    const char* name;
    const char* text;
    const char* section;
    std::vector<std::string> lines;
};

TEST(InfText, ReadsLinesKeysAndFields) {
    const ParseCase cases[] = {
        {"comment outside quotes only", "[S]\na = \"x;y\" , z ; comment\n", "S", {"a=x;y,z"}},
        {"continued line", "[S]\na = b, \\\n   c\n", "S", {"a=b,c"}},
        {"CR LF line ends", "[S]\r\na=b\r\n", "S", {"a=b"}},
        {"key without fields", "[S]\nKey =\n", "S", {"Key="}},
        {"line without key", "[S]\n x , y \n", "S", {"x,y"}},
        {"empty middle field kept", "[S]\na = x,,y\n", "S", {"a=x,,y"}},
        {"doubled quote inside quotes", "[S]\na = \"say \"\"hi\"\"\"\n", "S", {"a=say \"hi\""}},
        {"sections merge without regard to case", "[Models]\na=1\n[Other]\nq=0\n[MODELS]\nb=2\n", "models",
         {"a=1", "b=2"}},
        {"strings substituted in keys and fields, unknown kept, %% is %",
         "[S]\n%Mfg% = %DESC%, %nope%, 100%%\n[Strings]\nmfg = \"Halvorin Inc\"\nDesc=\"A, B\"\n", "S",
         {"Halvorin Inc=A, B,%nope%,100%"}},
        {"lines before any section belong to none", "a=b\n[S]\n", "S", {}},
        {"unclosed header still names a section", "[S\nx=1\n", "S", {"x=1"}},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(Render(InfText::Parse(c.text), c.section), c.lines) << c.name;
    }
}

TEST(InfText, Win4SignatureIsRequiredForTheStyle) {
    EXPECT_TRUE(InfText::Parse("[Version]\nSignature=\"$Windows NT$\"\n").IsWin4());
    EXPECT_TRUE(InfText::Parse("[version]\nsignature=$CHICAGO$\n").IsWin4());
    EXPECT_FALSE(InfText::Parse("[Version]\nSignature=\"$Windows 3$\"\n").IsWin4());
    EXPECT_FALSE(InfText::Parse("[Manufacturer]\n").IsWin4());
}

class InfCalls : public fixture::StoreTest {};

TEST_F(InfCalls, OpenFailuresLeaveTheirReason) {
    WriteInf("old.inf", "[Version]\nSignature=\"$Windows 3$\"\n");
    WriteInf("big.inf", std::string(kMaxInfBytes + 1, ' '));
    struct {
        std::string path;
        uint32_t error;
    } cases[] = {
        {std::string(kWindowsFolder) + "\\inf\\missing.inf", ERROR_FILE_NOT_FOUND},
        {std::string(kWindowsFolder) + "\\nofolder\\x.inf", ERROR_PATH_NOT_FOUND},
        {std::string(kWindowsFolder) + "\\inf\\old.inf", ERROR_WRONG_INF_STYLE},
        {std::string(kWindowsFolder) + "\\inf\\big.inf", ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_EQ(SetupOpenInfFileA(c.path.c_str(), nullptr, INF_STYLE_WIN4, nullptr), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    // The old style opens what the Windows 4 style refuses.
    HINF old = SetupOpenInfFileA((std::string(kWindowsFolder) + "\\inf\\OLD.INF").c_str(), nullptr,
                                 INF_STYLE_OLDNT | INF_STYLE_WIN4, nullptr);
    EXPECT_NE(old, INVALID_HANDLE_VALUE);
    SetupCloseInfFile(old);
}

TEST_F(InfCalls, WalksLinesAndReadsFieldsWithSizeQuery) {
    std::string path = WriteInf("x.inf", fixture::InfListing({"A\\One", "B\\Two"}) + "[Models]\nNoFields =\n");
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    ASSERT_NE(inf, INVALID_HANDLE_VALUE);

    INFCONTEXT line;
    ASSERT_TRUE(SetupFindFirstLineA(inf, "models", nullptr, &line));
    EXPECT_EQ(SetupGetFieldCount(&line), 2u);
    uint32_t size = 0;
    ASSERT_TRUE(SetupGetStringFieldA(&line, 2, nullptr, 0, &size));
    EXPECT_EQ(size, 6u);  // "A\One" and its NUL
    char small[4];
    EXPECT_FALSE(SetupGetStringFieldA(&line, 2, small, sizeof small, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    char field[16];
    ASSERT_TRUE(SetupGetStringFieldA(&line, 0, field, sizeof field, nullptr));
    EXPECT_STREQ(field, "Test device");
    EXPECT_FALSE(SetupGetStringFieldA(&line, 3, field, sizeof field, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_TRUE(SetupFindNextLine(&line, &line));
    ASSERT_TRUE(SetupGetStringFieldA(&line, 2, field, sizeof field, nullptr));
    EXPECT_STREQ(field, "B\\Two");
    ASSERT_TRUE(SetupFindNextLine(&line, &line));
    EXPECT_EQ(SetupGetFieldCount(&line), 0u);
    EXPECT_FALSE(SetupFindNextLine(&line, &line));
    EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);

    EXPECT_FALSE(SetupFindFirstLineA(inf, "Nowhere", nullptr, &line));
    EXPECT_EQ(GetLastError(), ERROR_LINE_NOT_FOUND);
    ASSERT_TRUE(SetupFindFirstLineA(inf, "Version", "SIGNATURE", &line));
    SetupCloseInfFile(inf);
    // A closed INF's positions are no longer valid.
    EXPECT_EQ(SetupGetFieldCount(&line), 0u);
}

TEST_F(InfCalls, ModelHardwareIdsTakeEveryIdOfEveryModelLine) {
    std::string path = WriteInf("m.inf",
                                "[Version]\nSignature=$Chicago$\n[Manufacturer]\nM=ModelsA\nN=ModelsB\nX=Missing\n"
                                "[ModelsA]\nd=i, 1394\\A, 1394\\CompatA\nlonely=i\n[ModelsB]\nd=i,1394\\B\n");
    auto ids = InfModelHardwareIds(path);
    ASSERT_TRUE(ids);
    EXPECT_EQ(*ids, (std::vector<std::string>{"1394\\A", "1394\\CompatA", "1394\\B"}));
    EXPECT_FALSE(InfModelHardwareIds(std::string(kWindowsFolder) + "\\inf\\none.inf"));
}

}  // namespace
}  // namespace devices
