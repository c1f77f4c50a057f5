// The command-line parser: one token per "/" outside double quotes, problems reported but the
// tokens still cut.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/bas_app.h"
#include "tests/app_fixture.h"
#include "vbrt/convert.h"

namespace {

using Strings = std::vector<std::string>;

class CommandLine : public apptest::AppTest {};

struct ParseCase {
    const char* name;
    std::string text;
    Strings tokens;  // from index 1
    Strings errors;  // from index 1
};

const std::string kNoEnd = "Command Line Error: Begin quotation with no matching end quotation!";

TEST_F(CommandLine, CutsOneTokenPerSlashOutsideQuotes) {
    const std::vector<ParseCase> cases = {
        {"empty", "", {}, {}},
        {"blank", "    ", {}, {}},
        {"three options", "/O /B A.FWP /D B.FWP", {"/O", "/B A.FWP", "/D B.FWP"}, {}},
        {"quoted value with slashes", "/B \"C:/X Y/A.FWP\" /D B.FWP", {"/B \"C:/X Y/A.FWP\"", "/D B.FWP"}, {}},
        {"quoted slash, no later quote", "/B \"C:/A.FWP\"", {"/B \"C:/A.FWP\""}, {}},
        {"unmatched quote", "/B \"X /D Y", {"/B \"X", "/D Y"}, {kNoEnd}},
        {"no leading slash", "ABC /B X", {"ABC", "/B X"}, {"ERROR: expected '/' in command line position 1"}},
        {"trailing slash", "/O /", {"/O"}, {}},
        {"blanks around", "  /S   /R K.HTML  ", {"/S", "/R K.HTML"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text;
        EXPECT_EQ(basApp::ParseCommandLine(text), 1);
        Strings tokens{""}, errors{""};
        tokens.insert(tokens.end(), c.tokens.begin(), c.tokens.end());
        errors.insert(errors.end(), c.errors.begin(), c.errors.end());
        EXPECT_EQ(basApp::CommandLineTokens, tokens);
        EXPECT_EQ(basApp::CommandLineErrors, errors);
        EXPECT_EQ(text, vb::Trim(c.text)) << "the caller's text comes back trimmed";
    }
}

TEST_F(CommandLine, EveryProblemIsLoggedAtErrorAndEveryParseStartsAfresh) {
    std::string text = "X /B \"Y";
    ASSERT_EQ(basApp::ParseCommandLine(text), 1);
    // The lone quote is seen again from the second token's "/".
    EXPECT_EQ(basApp::CommandLineErrors,
              (Strings{"", "ERROR: expected '/' in command line position 1", kNoEnd, kNoEnd}));
    // Without a main window an ERROR line of this module is a message box.
    ASSERT_EQ(boxes_.asked().size(), 3u);
    EXPECT_EQ(boxes_.asked()[0].prompt, "ERROR: expected '/' in command line position 1");
    EXPECT_EQ(boxes_.asked()[0].title, "basApp Message: ERROR level");
    EXPECT_EQ(boxes_.asked()[1].prompt, kNoEnd);

    std::string clean = "/O";
    ASSERT_EQ(basApp::ParseCommandLine(clean), 1);
    EXPECT_EQ(basApp::CommandLineTokens, (Strings{"", "/O"}));
    EXPECT_EQ(basApp::CommandLineErrors, (Strings{""}));
}

TEST(RawCommandLine, KeepsEachValueOneValueForTheParser) {
    struct Case {
        std::vector<const char*> argv;
        std::string line;
    };
    // The letters that take a value, as the option table has them.
    const auto takesValue = [](char letter) { return std::string("DBCQGMRX").find(letter) != std::string::npos; };
    const std::vector<Case> cases = {
        {{"Imagelift"}, ""},
        {{"Imagelift", "/O", "/B", "a.fwp"}, "/O /B a.fwp"},
        {{"Imagelift", "/B", "C:/X Y/A.FWP", "/D", "b.fwp"}, "/B \"C:/X Y/A.FWP\" /D b.fwp"},
        {{"Imagelift", "/BC:/X/A.FWP"}, "/B\"C:/X/A.FWP\""},
        {{"Imagelift", "/G", "0A3C7E10 00010203"}, "/G \"0A3C7E10 00010203\""},
        // An absolute path after its option is its value; after an option without one, or
        // where the next option stands alone, a "/" starts an option.
        {{"Imagelift", "/D", "/tmp/x/app.fwp"}, "/D \"/tmp/x/app.fwp\""},
        {{"Imagelift", "/O", "/B", "/a b/boot.fwp", "/D", "pkgs/app.fwp"},
         "/O /B \"/a b/boot.fwp\" /D \"pkgs/app.fwp\""},
        {{"Imagelift", "/O", "/BC:/X.FWP"}, "/O /B\"C:/X.FWP\""},
        {{"Imagelift", "/D", "/B", "b.fwp"}, "/D /B b.fwp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(basApp::RawCommandLine(int(c.argv.size()), c.argv.data(), takesValue), c.line);
        // What the parser makes of it: the options stay apart, each value with its option.
        std::string text = vb::UCase(c.line);
        ASSERT_EQ(basApp::ParseCommandLine(text), 1);
        EXPECT_EQ(basApp::CommandLineErrors.size(), 1u) << c.line;
    }
}

}  // namespace
