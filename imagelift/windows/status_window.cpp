// The status windows: a grid of log lines with a level filter, a row cap and a remembered
// rectangle.
#include "windows/status_window.h"

#include <algorithm>
#include <array>

#include "windows/kit.h"
#include "support/db_manager.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

namespace {

constexpr const char* kSection = "frmStatus";
constexpr const char* kEdges[4] = {"Top", "Left", "Bottom", "Right"};

// The window's outer rectangle in pixels, counted from where its Top and Left count: the
// frame's client area. Stored and restored in these coordinates, a window comes back exactly
// where it was closed.
forms::PixelRect outerRect(const forms::ILayoutWindow& w) {
    const forms::PixelRect r = w.WindowRectPx();
    const forms::PixelPoint o = w.ParentOriginPx();
    return {r.left - o.x, r.top - o.y, r.right - o.x, r.bottom - o.y};
}

std::string twoDigits(int32_t n) { return vb::Format(n, "00"); }

}  // namespace

frmStatus::frmStatus() : forms::Form("frmStatus", true) {}

frmStatus::~frmStatus() {
    auto& ctx = imagelift::Ctx();
    if (ctx.StatusWindow0 == this) ctx.StatusWindow0 = nullptr;
}

void frmStatus::Form_Design() {
    Caption = "Status Window";
    // The window's design size (its load then fits the client area to the frame inside it).
    Move(0, 0, 9840, 2880);
    fraApplicationStatus.Move(0, 0, 9600, 2400);
    mfgStatus.Move(0, 0, 9600, 2400);
}

std::string frmStatus::TimeText(float elapsedMs) {
    const int32_t ms = vb::CLng(vb::RoundHalfEven(elapsedMs));
    return vb::CStr(ms / 3600000) + ":" + twoDigits((ms % 3600000) / 60000) + ":" + twoDigits((ms % 60000) / 1000) +
           "." + vb::Format(ms % 1000, "000");
}

void frmStatus::PostMessage(const std::string& strMessage, float sngElapsedTime, int32_t& Priority,
                            const std::string& strModule) {
    try {
        std::string levelText;
        if (Priority != 0) {
            levelText = basDebug::LevelName(Priority) + "(" + vb::CStr(Priority) + ")";
        } else {
            levelText = "unspecified";
            Priority = basDebug::TRACE;
        }
        if (Priority < DebugMessageLevel) return;

        mfgStatus.AddItem(TimeText(sngElapsedTime));
        const int32_t last = mfgStatus.Rows - 1;
        mfgStatus.TextMatrix(last, 1) = levelText;
        mfgStatus.TextMatrix(last, 2) = strModule;
        mfgStatus.TextMatrix(last, 3) = strMessage;
        // A line whose time, level or module is wider than its column widens the column.
        for (int32_t c = 0; c < 3; ++c) {
            if (mfgStatus.ColTextWidth(c, last) > mfgStatus.ColWidth(c)) {
                Form_Resize();
                break;
            }
        }

        // Row 1 is the oldest line, just below the header.
        if (mfgStatus.Rows > MaxStatusRows) mfgStatus.RemoveItem(1);
        if (mfgStatus.Rows > MaxStatusRows) mfgStatus.RemoveItem(1);

        mfgStatus.TopRow = mfgStatus.Rows - 1;
        // Painted when events next run: a burst of lines (a bus scan logs several per node)
        // costs one paint, and the newest line is on screen as soon as the program is idle.
        RefreshWhenIdle();
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        ShowErrorInCaption(vb::ErrorLine("Error #", e, " in PostMessage"), "ERROR");
    }
}

void frmStatus::PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                            const std::optional<std::string>& module) {
    PostMessage(message, elapsedMs, priority, module.value_or(std::string()));
}

void frmStatus::ShowErrorInCaption(const std::string& message, const basDebug::LevelArg& level) {
    try {
        if (basDebug::LevelNumber(level) >= basDebug::ERROR_LEVEL) Caption = Caption() + ": " + message;
    } catch (...) {
        // Passed over: this is the window's own failure path, with nowhere further to report.
    }
}

void frmStatus::Form_Load() {
    MaxStatusRows = 500;
    DebugMessageLevel = imagelift::Ctx().DebugMessageLevel;

    mfgStatus.Rows = 2;
    mfgStatus.Cols = 4;
    mfgStatus.FixedRows = 1;
    mfgStatus.FixedCols = 0;
    mfgStatus.Rows = 1;
    mfgStatus.ScrollBars = 2;
    const char* headers[4] = {"Time", "Level", "Module", "Message"};
    for (int32_t c = 0; c < 4; ++c) {
        mfgStatus.TextMatrix(0, c) = std::string(headers[c]);
        mfgStatus.ColAlignment(c) = forms::flexAlignLeftCenter;
    }

    // The client area just holds the frame.
    Height = fraApplicationStatus.Top + fraApplicationStatus.Height + (Height - ScaleHeight);
    Width = fraApplicationStatus.Left + fraApplicationStatus.Width + (Width - ScaleWidth);

    RestoreLayout();
    basApp::FitFormToScreen(*this);
}

void frmStatus::Form_Resize() {
    fraApplicationStatus.Move(0, 0, ScaleWidth, ScaleHeight);
    mfgStatus.Move(0, 0, fraApplicationStatus.Width, fraApplicationStatus.Height);
    const double usable = mfgStatus.Width - 100;
    // The time, level and module columns never cut their texts in the font in use (a time needs
    // its whole width to be read); the message takes what is left, at least its share.
    double taken = 0;
    for (int32_t c = 0; c < 3; ++c) {
        const double w = std::max(vb::RoundHalfEven(usable * 0.1), mfgStatus.ColTextWidth(c));
        if (w > 0) mfgStatus.ColWidth(c) = w;
        taken += std::max(w, 0.0);
    }
    const double message = std::max(vb::RoundHalfEven(usable * 0.7), usable - taken);
    if (message > 0) mfgStatus.ColWidth(3) = message;
}

int32_t frmStatus::SaveLayout() {
    if (WindowState != forms::vbNormal) return -1;
    auto& ctx = imagelift::Ctx();
    if (!ctx.DbManager) return -1;
    const forms::PixelRect r = outerRect(*this);
    const std::array<int32_t, 4> edges{r.top, r.left, r.bottom, r.right};
    for (size_t i = 0; i < 4; ++i) ctx.DbManager->SaveSetting(ctx.App.Title, kSection, kEdges[i], vb::CStr(edges[i]));
    return 1;
}

int32_t frmStatus::RestoreLayout() {
    auto& ctx = imagelift::Ctx();
    const forms::PixelRect current = outerRect(*this);
    const std::array<int32_t, 4> defaults{current.top, current.left, current.bottom, current.right};
    std::array<int32_t, 4> edges = defaults;
    if (ctx.DbManager) {
        // A stored edge that is not a whole number, or a rectangle turned inside out, counts as
        // no stored rectangle: the window keeps its place.
        bool usable = true;
        for (size_t i = 0; i < 4 && usable; ++i) {
            try {
                edges[i] = vb::CLng(ctx.DbManager->GetSetting(ctx.App.Title, kSection, kEdges[i], vb::CStr(defaults[i])));
            } catch (const vb::Error&) {
                usable = false;
            }
        }
        if (!usable || edges[2] < edges[0] || edges[3] < edges[1]) edges = defaults;
    }
    const double tpx = forms::Screen().TwipsPerPixelX(), tpy = forms::Screen().TwipsPerPixelY();
    Move(edges[1] * tpx, edges[0] * tpy, (double(edges[3]) - edges[1]) * tpx, (double(edges[2]) - edges[0]) * tpy);
    Form_Resize();
    return 1;
}

void frmStatus::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    basApp::IFrameWindow* frame = basApp::FrameWindow();
    vb::ResumeNext steps;
    steps.Run([&] { SaveLayout(); });
    // Hidden, it takes no share of the frame's tiling.
    steps.Run([&] { Hide(); });
    steps.Run([&] {
        if (frame) frame->MDIForm_Resize();
    });
    steps.Run([&] {
        if (frame && frame->AutoScalesChildren()) frame->ArrangeChildren(1);
    });
    steps.Run([&] {
        auto& ctx = imagelift::Ctx();
        if (ctx.StatusWindow0 == this) ctx.StatusWindow0 = nullptr;
        auto& windows = basApp::StatusWindows;
        if (WindowIndex >= 0 && size_t(WindowIndex) < windows.size() && windows[size_t(WindowIndex)].get() == this)
            basApp::EmptySlot(windows, WindowIndex);
    });
}
