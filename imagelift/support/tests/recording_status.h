// Test support: a status window 0 that records every line the central logger posts to it, so
// tests of any layer can look for the lines (and levels) a procedure logged.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "support/program_context.h"

namespace supporttest {

struct LogLine {
    std::string message;
    int32_t level;
    std::string module;
};

class RecordingStatusWindow : public imagelift::IStatusWindow {
public:
    // With `onlyModule`, lines of other modules are not kept.
    explicit RecordingStatusWindow(std::string onlyModule = "") : only_(std::move(onlyModule)) {}

    void PostMessage(const std::string& message, float, int32_t& priority,
                     const std::optional<std::string>& module) override {
        if (!only_.empty() && module.value_or("") != only_) return;
        lines.push_back({message, priority, module.value_or("")});
    }

    // The messages in order, of one module or (empty) of all.
    std::vector<std::string> Messages(const std::string& module = "") const {
        std::vector<std::string> out;
        for (const auto& l : lines) {
            if (module.empty() || l.module == module) out.push_back(l.message);
        }
        return out;
    }
    // The first line that contains `part`, if any.
    std::optional<LogLine> Find(const std::string& part) const {
        for (const auto& l : lines) {
            if (l.message.find(part) != std::string::npos) return l;
        }
        return std::nullopt;
    }
    int Count(const std::string& part) const {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const LogLine& l) { return l.message.find(part) != std::string::npos; }));
    }

    std::vector<LogLine> lines;

private:
    std::string only_;
};

}  // namespace supporttest
