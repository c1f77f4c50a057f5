// The central logger (basDebug): log levels, their names, and the one procedure every line of
// the program passes through. A line is stamped with the program's run time and handed to the
// first status window and, from the logging level up, to the status-log table of the store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace basDebug {

// Named levels; a lower number means a more detailed line.
inline constexpr int32_t DETAIL = 1;
inline constexpr int32_t MUTEX = 3;
inline constexpr int32_t TRACE = 5;
inline constexpr int32_t WARNING = 7;
inline constexpr int32_t WATCH = 9;
inline constexpr int32_t ERROR_LEVEL = 11;  // "ERROR"; the lowest level copied to the status file
inline constexpr int32_t USER = 13;         // also the access library's own text lines
inline constexpr int32_t FATAL = 15;        // the lowest level that beeps
inline constexpr int32_t NONE = 17;

// A level as callers give it: missing, a number, or a text holding a number or a level word
// ("ERROR", "warning", "DLL DEBUG SPEW" ...).
class LevelArg {
public:
    LevelArg() = default;
    LevelArg(int32_t n) : v_(n) {}
    LevelArg(const char* text) : v_(std::string(text)) {}
    LevelArg(std::string text) : v_(std::move(text)) {}
    LevelArg(std::string_view text) : v_(std::string(text)) {}

    bool IsMissing() const { return std::holds_alternative<std::monostate>(v_); }
    bool IsNumber() const { return std::holds_alternative<int32_t>(v_); }
    bool IsText() const { return std::holds_alternative<std::string>(v_); }
    int32_t Number() const { return std::get<int32_t>(v_); }
    const std::string& Text() const { return std::get<std::string>(v_); }
    // The level's text form: a number becomes its decimal text, missing becomes "".
    std::string AsText() const;

private:
    std::variant<std::monostate, int32_t, std::string> v_;
};

// The name of a level ("DETAIL" ... "NONE"); "unknown" for any other number.
std::string LevelName(int32_t level);

// The level number of a level argument:
//  - missing: 5;
//  - a text form starting with a digit: its leading number (a 7 followed by words reads as 7;
//    halves round to even; values beyond 32 bits are clamped);
//  - otherwise the first level word found anywhere in the text, without regard to case, in the
//    order DETAIL, MUTEX, TRACE, "DLL DEBUG SPEW", WARNING, WATCH, ERROR, FATAL, NONE, USER;
//  - no word (also empty text, and negative numbers): 5.
int32_t LevelNumber(const LevelArg& level = {});

// Logs one line. Never fails towards the caller. See debug_log.cpp for the order of the steps.
void DebugLog(const std::string& message, const LevelArg& level = {},
              const std::optional<std::string>& module = std::nullopt);

// Writes the automation status-file copy of a line: "H:MM:SS.mmm, LEVELNAME, Module, Message".
// Used by the logger and the store so that, in automation, every line of level ERROR and above
// reaches the status file exactly once whatever the logging level.
void WriteStatusLine(const std::string& message, int32_t level, const std::string& module,
                     int32_t runTimeMs);
// The time text of a status-file line: hours (as many digits as needed), then :MM:SS.mmm.
std::string RunTimeText(int32_t runTimeMs);

// --- module log procedures ---
// Each module has a private log procedure that adds its name and calls DebugLog. The rules
// below are the filters those procedures apply before logging.
struct ModuleLogRule {
    // basBootloader.Log, bas1394.LogMsg: while a download sends blocks, lines below level 8
    // (a missing level counts as 5) are dropped.
    bool dropBelow8WhileDownloading = false;
    // basConfigRom.LogMsg: while a download sends blocks, a level given as the text "WARNING"
    // (any case) is dropped; a numeric 7 passes.
    bool dropWarningTextWhileDownloading = false;
    // basConfigRom.LogMsg: nothing at all is logged while the main window does not exist.
    bool silentWithoutMainWindow = false;
};
inline constexpr ModuleLogRule kPlainRule{};
inline constexpr ModuleLogRule kBootloaderRule{true, false, false};  // basBootloader, bas1394
inline constexpr ModuleLogRule kConfigRomRule{false, true, true};    // basConfigRom

// True when `rule` drops a line of `level` in the present program state.
bool ModuleLogDrops(const ModuleLogRule& rule, const LevelArg& level);
// Applies `rule`, then logs the line under `module` (a missing level stays missing, so the
// line is logged at TRACE).
void ModuleLog(const ModuleLogRule& rule, const std::string& module, const std::string& message,
               const LevelArg& level = {});

}  // namespace basDebug
