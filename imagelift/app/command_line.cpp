// The command-line parser: the line is a row of options, each a "/" with its letter and value
// ("/B file.fwp /D other.fwp"). A token runs from its "/" to the next "/" that is not inside
// double quotes, so a quoted path keeps its slashes. Nothing is interpreted here: letters,
// values and quotes stay as they were typed.
#include "app/bas_app.h"
#include "app/internal.h"

#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basApp {

namespace {

const char kNoEndQuote[] = "Command Line Error: Begin quotation with no matching end quotation!";

// 1-based position of `c` after `pos` (0 when none), as InStr(pos + 1, ...) gives it.
int32_t nextAfter(const std::string& text, int32_t pos, char c) {
    if (pos >= int32_t(text.size())) return 0;
    return vb::InStr(pos + 1, text, std::string(1, c));
}

}  // namespace

void CommandLineError(const std::string& message) {
    CommandLineErrors.push_back(message);
    StatusDisplay(CommandLineErrors.back(), basDebug::ERROR_LEVEL);
}

namespace internal {

void CutCommandLine(std::string& text, std::vector<std::string>& tokens,
                    const std::function<void(const std::string&)>& problem) {
    tokens.assign(1, "");
    text = vb::Trim(text);
    const int32_t length = int32_t(text.size());
    if (length == 0) return;
    int32_t pos = 1;
    do {
        if (text[size_t(pos - 1)] != '/') problem("ERROR: expected '/' in command line position " + vb::CStr(pos));
        int32_t slash = nextAfter(text, pos, '/');
        int32_t q1 = nextAfter(text, pos, '"');
        int32_t q2 = 0;
        if (q1 > 1) {
            q2 = nextAfter(text, q1, '"');
            if (q2 == 0) problem(kNoEndQuote);
        }
        // A slash between a pair of quotes belongs to a quoted value: look past the pair.
        while (slash > q1 && slash < q2) {
            slash = nextAfter(text, q2, '/');
            q1 = nextAfter(text, q2, '"');
            if (q1 >= 2) {
                q2 = nextAfter(text, q1, '"');
                if (q2 == 0) problem(kNoEndQuote);
            } else {
                q2 = 0;
            }
            if (slash == 0) break;
        }
        if (slash == 0) {
            tokens.push_back(vb::Trim(vb::Mid(text, pos)));
            pos = length;
        } else {
            tokens.push_back(vb::Trim(vb::Mid(text, pos, slash - pos)));
            pos = slash;
        }
    } while (pos < length);
}

}  // namespace internal

int32_t ParseCommandLine(std::string& text) {
    int32_t result = -1;
    try {
        CommandLineTokens.assign(1, "");
        CommandLineErrors.assign(1, "");
        internal::CutCommandLine(text, CommandLineTokens, [](const std::string& m) { CommandLineError(m); });
        result = 1;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        StatusDisplay(vb::ErrorLine("ERROR #", e, " in ParseCommandLine."), basDebug::ERROR_LEVEL);
    }
    return result;
}

}  // namespace basApp
