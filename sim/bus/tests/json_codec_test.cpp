#include "bus/json_codec.h"

#include <fstream>

#include "tests/fixture.h"

namespace {

using namespace sim;
using json = nlohmann::json;

std::string Nested(size_t depth, const std::string& inside = "") {
    return std::string(depth, '[') + inside + std::string(depth, ']');
}

TEST(JsonInput, NestingIsBoundedBeforeAnythingIsParsed) {
    struct Case {
        const char* what;
        std::string text;
        std::string error;  // empty: parses
    };
    const std::string deep = "nested more than 64 levels deep";
    const Case cases[] = {
        {"as deep as allowed", Nested(64, "1"), ""},
        {"one level deeper", Nested(65, "1"), deep},
        {"objects count as levels", R"({"a":)" + Nested(63) + "}", ""},
        {"objects count as levels, too deep", R"({"a":)" + Nested(64) + "}", deep},
        {"the attack", R"({"cmd":"fault","id":"host","fault":)" + Nested(100000) + "}", deep},
        {"never closed", std::string(100000, '['), deep},
        {"brackets inside texts do not count", R"({"a":")" + std::string(500, '[') + R"("})", ""},
        {"nor after an escaped quote", R"({"a":"\"[[[[)" + std::string(500, '{') + R"("})", ""},
        {"not JSON", R"({"nodes": [1, 2)", "not valid JSON"},
    };
    for (const Case& c : cases) {
        std::string error;
        json j = ParseJson(c.text, &error);
        EXPECT_EQ(j.is_discarded(), !c.error.empty()) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

class JsonFiles : public simtest::BusFixture {};

TEST_F(JsonFiles, AreBoundedInSizeAndNesting) {
    auto file = root_ / "bus.json";
    std::ofstream(file) << R"({"nodes": )" << Nested(100000) << "}";
    std::string error;
    EXPECT_TRUE(ReadJsonFile(file, &error).is_discarded());
    EXPECT_EQ(error, "nested more than 64 levels deep");
    try {
        LoadDescriptionFile(bus, file);
        ADD_FAILURE();
    } catch (const DescriptionError& e) {
        EXPECT_NE(std::string(e.what()).find("bus.json\": nested more than 64 levels deep"), std::string::npos) << e.what();
    }
    // A large file is read no further than the bound; an endless device not at all.
    std::ofstream(root_ / "large.json") << "[";
    std::filesystem::resize_file(root_ / "large.json", (17u << 20));
    EXPECT_TRUE(ReadJsonFile(root_ / "large.json", &error).is_discarded());
    EXPECT_EQ(error, "larger than 16 MiB");
    EXPECT_TRUE(ReadJsonFile("/dev/zero", &error).is_discarded());
    EXPECT_EQ(error, "is not a regular file");
    EXPECT_TRUE(ReadJsonFile(root_ / "missing.json", &error).is_discarded());
    EXPECT_EQ(error, "cannot be opened");
}

// A bad value from outside is quoted in the refusal, but only its start.
TEST(JsonInput, RefusalsQuoteAShortCutOfTheBadValue) {
    const std::string longText(100000, 'x');
    json longList = json::array();
    for (int i = 0; i < 10000; ++i) longList.push_back(i);
    struct Case {
        const char* what;
        std::function<void()> decode;
    };
    const Case cases[] = {
        {"a fault that is no object", [&] { FaultFromJson(longList); }},
        {"an unknown fault kind", [&] { FaultFromJson({{"kind", longText}}); }},
        {"a fault address that is no number", [&] { FaultFromJson({{"kind", "no_response"}, {"address", longList}}); }},
        {"a hexadecimal text that is not", [&] { JsonU32(longText, "value"); }},
        {"an unknown PHY key", [&] { PhyFromJson({{longText, 1}}); }},
        {"a port that is none", [&] { PhyFromJson({{"ports", {longList}}}); }},
        {"a config ROM entry", [&] { BuildConfigRomFromJson({{"root", {{{"what", longList}}}}}); }},
    };
    for (const Case& c : cases) {
        try {
            c.decode();
            ADD_FAILURE() << c.what;
        } catch (const std::invalid_argument& e) {
            std::string message = e.what();
            EXPECT_LT(message.size(), 200u) << c.what << ": " << message;
            EXPECT_NE(message.find("..."), std::string::npos) << c.what << ": " << message;
        }
    }
    EXPECT_EQ(QuoteText("short"), "\"short\"");
    // The cut falls between characters, so the message still goes into a JSON answer.
    std::string accents;
    for (int i = 0; i < 100; ++i) accents += "x\xC3\xA9";  // "xé" in UTF-8
    EXPECT_NO_THROW(json(QuoteText(accents)).dump());
    EXPECT_NO_THROW(json(QuoteText(accents.substr(1))).dump());
    EXPECT_EQ(QuoteJson(json{{"a", 1}}), R"({"a":1})");
}

}  // namespace
