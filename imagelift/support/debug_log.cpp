#include "support/debug_log.h"

#include <array>
#include <cmath>
#include <limits>

#include "clock/clock.h"
#include "support/byte_utils.h"
#include "support/db_manager.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basDebug {

namespace {

struct NamedLevel {
    int32_t number;
    const char* name;
};
constexpr std::array<NamedLevel, 9> kNames{{{1, "DETAIL"},
                                            {3, "MUTEX"},
                                            {5, "TRACE"},
                                            {7, "WARNING"},
                                            {9, "WATCH"},
                                            {11, "ERROR"},
                                            {13, "USER"},
                                            {15, "FATAL"},
                                            {17, "NONE"}}};

// The words a level text is searched for, in the order they are tried: the first one found
// anywhere in the text decides (so "ERROR WATCH" is WATCH).
constexpr std::array<NamedLevel, 10> kWords{{{1, "DETAIL"},
                                             {3, "MUTEX"},
                                             {5, "TRACE"},
                                             {13, "DLL DEBUG SPEW"},
                                             {7, "WARNING"},
                                             {9, "WATCH"},
                                             {11, "ERROR"},
                                             {15, "FATAL"},
                                             {17, "NONE"},
                                             {13, "USER"}}};

int32_t clampToLong(double v) {
    v = vb::RoundHalfEven(v);
    if (!(v == v)) return 0;
    if (v >= double(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
    if (v <= double(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// A level text that starts with a digit: the number it holds. Text that is not a number as a
// whole ("7 WARNING") reads its leading number instead of failing, so such a line is never
// lost; a number beyond 32 bits is clamped.
int32_t numericLevel(const std::string& text) {
    try {
        return vb::CLng(text);
    } catch (const vb::Error&) {
    }
    try {
        return clampToLong(vb::Val(text));
    } catch (const vb::Error&) {
        return TRACE;
    }
}

void beepThreeTimes(const imagelift::ProgramContext& ctx) {
    if (!ctx.Beep) return;
    for (int i = 0; i < 3; ++i) ctx.Beep();
}

}  // namespace

std::string LevelArg::AsText() const {
    if (IsNumber()) return vb::CStr(Number());
    if (IsText()) return Text();
    return {};
}

std::string LevelName(int32_t level) {
    for (const auto& l : kNames)
        if (l.number == level) return l.name;
    return "unknown";
}

int32_t LevelNumber(const LevelArg& level) {
    if (level.IsMissing()) return TRACE;
    if (level.IsNumber() && level.Number() >= 0) return level.Number();
    const std::string text = level.AsText();
    if (basUtils::IsDigit(text)) return numericLevel(text);
    for (const auto& w : kWords)
        if (vb::InStrText(text, w.name) > 0) return w.number;
    return TRACE;
}

std::string RunTimeText(int32_t runTimeMs) {
    // A line logged before the clock could be read carries -1; it shows as zero time rather
    // than as a negative field that a script reading the file would stumble over.
    if (runTimeMs < 0) runTimeMs = 0;
    return vb::CStr(runTimeMs / 3600000) + ":" + vb::Format((runTimeMs % 3600000) / 60000, "00") +
           ":" + vb::Format((runTimeMs % 60000) / 1000, "00") + "." +
           vb::Format(runTimeMs % 1000, "000");
}

namespace {

// The status-file copy of a line: "H:MM:SS.mmm, LEVELNAME, Module, Message".
void writeStatusLine(const std::string& message, int32_t level, const std::string& module, int32_t runTimeMs) {
    imagelift::WriteStatusFileLine(RunTimeText(runTimeMs) + ", " + LevelName(level) + ", " + module + ", " +
                                   message);
}

// The status file of an unattended run gets every failure, whatever the logging level keeps;
// then `store`, when given, keeps the line. A status file that cannot be written never keeps a
// line out of the store: WriteStatusFileLine drops its own failures.
void recordIn(clsDbManager* store, const std::string& message, int32_t level, const std::string& module,
              int32_t runTimeMs) {
    if (imagelift::Ctx().AutomationMode && level >= ERROR_LEVEL) writeStatusLine(message, level, module, runTimeMs);
    if (store) store->AppendToLog(message, level, module, runTimeMs);
}

}  // namespace

void RecordLine(const std::string& message, int32_t level, const std::string& module, int32_t runTimeMs) {
    try {
        auto& ctx = imagelift::Ctx();
        recordIn(level >= ctx.DebugLoggingLevel ? ctx.DbManager.get() : nullptr, message, level, module,
                 runTimeMs);
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

void ReportStoreLine(clsDbManager& store, const std::string& message, int32_t level) {
    static const std::string kModule = "clsDbManager";
    try {
        if (imagelift::Ctx().MainChildForm)
            DebugLog(message, level, kModule);
        else
            recordIn(&store, message, level, kModule, -1);
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

void DebugLog(const std::string& message, const LevelArg& level,
              const std::optional<std::string>& module) {
    auto& ctx = imagelift::Ctx();
    try {
        if (!ctx.RunTimeClockStarted) {
            ctx.RunTimeClockStart = clk::QueryPerformanceCounter();
            ctx.RunTimeClockStarted = true;
        }

        int32_t n = LevelNumber(level);
        if (n >= FATAL) beepThreeTimes(ctx);

        const std::string moduleText = module.value_or("unspecified");

        // The run time comes from the access library; while it is not loaded the line is still
        // posted and stored, with time 0.
        float elapsed = 0.0f;
        int32_t runTime = 0;
        try {
            elapsed = imagelift::ElapsedMs(ctx.RunTimeClockStart);
            runTime = clampToLong(elapsed);
        } catch (const vb::Error& e) {
            if (!(e.Number() == 53 && vb::InStrText(e.Description(), "vsk1394api.dll") > 0))
                return;
        }

        if (ctx.StatusWindow0) ctx.StatusWindow0->PostMessage(message, elapsed, n, moduleText);

        RecordLine(message, n, moduleText, runTime);
    } catch (...) {
        // Logging never fails towards the caller.
    }
}

bool ModuleLogDrops(const ModuleLogRule& rule, const LevelArg& level) {
    const auto& ctx = imagelift::Ctx();
    if (rule.silentWithoutMainWindow && !ctx.MainChildForm) return true;
    if (!ctx.DownloadInProgress) return false;
    if (rule.dropBelow8WhileDownloading && LevelNumber(level) < 8) return true;
    if (rule.dropWarningTextWhileDownloading && level.IsText() &&
        vb::UCase(level.Text()) == "WARNING")
        return true;
    return false;
}

void ModuleLog(const ModuleLogRule& rule, const std::string& module, const std::string& message,
               const LevelArg& level) {
    try {
        if (ModuleLogDrops(rule, level)) return;
    } catch (...) {
        return;
    }
    DebugLog(message, level, module);
}

}  // namespace basDebug
