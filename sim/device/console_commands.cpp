// The commands the Lumarel 460's bootloader console understands. A person types them in a shell
// window; the answer ends with the prompt, so the window always shows where to type next.
//
//   help (or ?)      the list of commands
//   ver (or version) the running bootloader, each flash image and the shell's protocol version
//
// Words are matched without regard to case; blanks around them do not count. An empty line gets
// the prompt again, anything else a line naming the word and pointing to "help".
#include <cctype>
#include <cstdio>
#include <string>

#include "device/lumarel460.h"

namespace sim::lumarel {

namespace {

constexpr char kPrompt[] = "> ";

std::string Text8(const std::array<uint8_t, 8>& t) {
    std::string s;
    for (uint8_t c : t) {
        if (c == 0) break;
        s.push_back(c >= 0x20 && c < 0x7F ? char(c) : '.');
    }
    return s.empty() ? "-" : s;
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

}  // namespace

std::string Lumarel460::ConsoleCommand(const std::string& line) {
    std::string typed, word;  // the first word as typed, and in lower case
    for (char c : line) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (!typed.empty()) break;
            continue;
        }
        typed.push_back(c);
        word.push_back(char(std::tolower(static_cast<unsigned char>(c))));
    }
    std::string out;
    if (word.empty()) {
        // nothing typed: only the prompt
    } else if (word == "help" || word == "?") {
        out = "Commands:\r\n"
              "  help     this list\r\n"
              "  ver      versions of the bootloader, the flash images and the shell\r\n";
    } else if (word == "ver" || word == "version") {
        out = "Lumarel 460 " + std::string(ToString(mode_)) + "\r\n";
        out += "bootloader " + Hex(runningBootVersion_) + "  " + Text8(runningBootDate_) + " " +
               Text8(runningBootTime_) + "\r\n";
        for (int t = 0; t < kSlotCount; ++t) {
            const FlashSlot& s = slots_[size_t(t)];
            out += std::string(SlotName(t)) + ": ";
            if (s.Empty()) {
                out += "empty\r\n";
                continue;
            }
            out += Text8(s.info.date) + " " + Text8(s.info.time) + "  version " + Hex(s.info.softwareVersion) +
                   "  " + std::to_string(s.bytes.size()) + " bytes" + (s.Valid() ? "" : "  (invalid)") + "\r\n";
        }
        out += "shell protocol " + std::string(ToString(config_.protocol)) + "\r\n";
    } else {
        // At most 32 characters of it, and only printable ones, go back to the terminal.
        std::string shown;
        for (char c : typed.substr(0, 32)) shown.push_back(c >= 0x20 && c < 0x7F ? c : '.');
        out = "unknown command \"" + shown + "\" (type help)\r\n";
    }
    return out + kPrompt;
}

}  // namespace sim::lumarel
