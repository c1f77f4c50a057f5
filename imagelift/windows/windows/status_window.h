// frmStatus: a status window, an MDI child of the frame that lists log lines in a grid, newest
// at the bottom, one line per row with its run time, level, module and message.
//
// Any number of them can be open; the frame keeps them in basApp::StatusWindows. The central
// logger posts every line to the window in slot 0, the main window's logger posts to every
// window. Each window shows only the lines whose level reaches its own DebugMessageLevel and
// keeps at most 500 rows (header included). It remembers its rectangle under the section
// "frmStatus" (one rectangle for all status windows: whichever closes last is where the next
// one opens).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"
#include "forms/grid.h"
#include "support/debug_log.h"
#include "support/program_context.h"

class frmStatus : public forms::Form, public imagelift::IStatusWindow {
public:
    frmStatus();
    ~frmStatus() override;

    // The frame fills the client area; the grid fills the frame.
    forms::Frame fraApplicationStatus{this, "fraApplicationStatus"};
    forms::MSFlexGrid mfgStatus{&fraApplicationStatus, "mfgStatus"};

    // Lowest level shown: the program's DebugMessageLevel when the window loads, then whatever
    // the frame sets.
    int32_t DebugMessageLevel = 7;
    // The window's slot in basApp::StatusWindows, set by the frame.
    int32_t WindowIndex = 0;
    // The largest row count (header row included) a posted line leaves.
    int32_t MaxStatusRows = 500;

    // Adds one line when `Priority` reaches DebugMessageLevel. A `Priority` of 0 is shown as
    // "unspecified", becomes 5 in the caller's variable and is filtered as 5. The run time is
    // shown as H:MM:SS.mmm. A failure shows in the window's caption and ends the posting.
    void PostMessage(const std::string& strMessage, float sngElapsedTime, int32_t& Priority,
                     const std::string& strModule);
    // The central logger's route (a missing module shows as an empty cell).
    void PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                     const std::optional<std::string>& module) override;

    // Saves the window's rectangle (pixels, in the coordinates its Top and Left use: the
    // frame's client area) as "Top", "Left", "Bottom", "Right"; 1 when saved, -1 when the
    // window is minimised or maximised and nothing was saved.
    int32_t SaveLayout();
    // Puts back the saved rectangle (the current one where none is saved or a value is not a
    // whole number), lays out the controls; 1.
    int32_t RestoreLayout();
    // Appends ": " and the message to the caption for a level of ERROR (11) and above.
    void ShowErrorInCaption(const std::string& message, const basDebug::LevelArg& level);

    // The time text of a run time in milliseconds: hours (unpadded), minutes, seconds and
    // milliseconds, "H:MM:SS.mmm"; the milliseconds round half to even.
    static std::string TimeText(float elapsedMs);

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;
};
