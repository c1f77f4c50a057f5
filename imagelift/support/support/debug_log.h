// The central logger (basDebug): level texts and names, and the one procedure every line of the
// program passes through. The logger alone decides where a line goes: it stamps the line with
// the program's run time and hands it, in this order, to the first status window, to the status
// file of an unattended run (ERROR and above) and, from the logging level up, to the status log
// of the store. The store only stores; its own lines come back here through the reporter it is
// given (ReportStoreLine).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "support/log_levels.h"

class clsDbManager;

namespace basDebug {

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

// Hands a stamped line to the sinks after the status windows, in this order: in an unattended
// run a line of level ERROR and above goes to the status file, whatever the logging level; then,
// from the logging level up, the program's store keeps it. DebugLog ends here, and so does a
// window that posts its lines to the status windows itself.
void RecordLine(const std::string& message, int32_t level, const std::string& module, int32_t runTimeMs);

// The route of the store's own lines (opening, closing, failures), the reporter every store of
// the program is given. Once the main window exists a line is logged like any other under the
// module "clsDbManager". Before that (and once it is gone) it goes straight into the status log
// of `store`, which may not yet be the program's, with run time -1 whatever the logging level;
// an unattended run still gets it in its status file from ERROR up.
void ReportStoreLine(clsDbManager& store, const std::string& message, int32_t level);

// The time text that starts a status-file line ("H:MM:SS.mmm, LEVELNAME, Module, Message"):
// hours (as many digits as needed), then :MM:SS.mmm.
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
