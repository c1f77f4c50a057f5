// Fuzz target: the downloader's command-line parser. The input is the command text as start-up
// hands it over. However it is quoted, the text comes back trimmed and is cut into tokens that
// are its own pieces in order, each after the first starting at its "/"; a first token without
// one is reported, and every problem is a message of its own.
#include "app/bas_app.h"
#include "clock/clock.h"
#include "support/program_context.h"
#include "tests/quiet_program.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

bool isBlank(char c) { return c == ' '; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clk::ManualClock clock;
    clk::ScopedClock scopedClock(clock);
    imagelift::ProgramContext ctx;
    supporttest::CountingStatusWindow status;
    supporttest::QuietMainWindow main;
    ctx.StatusWindow0 = &status;
    ctx.MainChildForm = &main;
    imagelift::ScopedContext scopedContext(ctx);

    std::string text(reinterpret_cast<const char*>(data), size);
    if (basApp::ParseCommandLine(text) != 1) std::abort();
    if (!text.empty() && (isBlank(text.front()) || isBlank(text.back()))) std::abort();

    const auto& tokens = basApp::CommandLineTokens;
    const auto& errors = basApp::CommandLineErrors;
    if (tokens.empty() || !tokens[0].empty() || errors.empty() || !errors[0].empty()) std::abort();
    if (text.empty() != (tokens.size() == 1)) std::abort();
    size_t at = 0;
    for (size_t k = 1; k < tokens.size(); ++k) {
        const std::string& token = tokens[k];
        if (k > 1 && (token.empty() || token[0] != '/')) std::abort();
        const size_t found = text.find(token, at);
        if (found == std::string::npos) std::abort();
        at = found + token.size();
    }
    const bool slashFirst = !text.empty() && text[0] == '/';
    const std::string noSlash = "ERROR: expected '/' in command line position 1";
    if (!text.empty() && slashFirst == (errors.size() > 1 && errors[1] == noSlash)) std::abort();
    for (size_t k = 1; k < errors.size(); ++k) {
        if (errors[k].empty()) std::abort();
    }
    return 0;
}
