#include "layout/layout_manager.h"

#include "forms/app.h"
#include "registry/registry.h"
#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

#include <array>
#include <cmath>
#include <optional>

namespace {

constexpr int32_t kMinimumSize = 100;  // twips
constexpr const char* kEdges[4] = {"Top", "Left", "Bottom", "Right"};

void StatusDisplay(const std::string& message, const basDebug::LevelArg& level = {}) {
    basDebug::DebugLog(message, level, "clsLayoutManager");
}

std::string AppTitle() { return imagelift::Ctx().App.Title; }

// A control's snapshot value: a whole number of twips, halves to the even number.
int32_t Whole(double twips) { return vb::CLng(vb::RoundHalfEven(twips)); }

// The outer rectangle in the coordinates Top and Left are measured in.
forms::PixelRect OuterRect(const forms::ILayoutWindow& w) {
    forms::PixelRect r = w.WindowRectPx();
    forms::PixelPoint o = w.ParentOriginPx();
    return {r.left - o.x, r.top - o.y, r.right - o.x, r.bottom - o.y};
}

}  // namespace

clsLayoutManager::clsLayoutManager()
    : kinds_{"TextBox",  "Frame",    "MSFlexGrid",    "TabStrip", "ComboBox",     "CheckBox",
             "Label",    "ListBox",  "CommandButton", "TreeView", "DriveListBox", "ListView",
             "DirListBox", "ProgressBar", "Image",    "RichTextBox"},
      records_(1) {}

clsLayoutManager::~clsLayoutManager() { Release(); }

void clsLayoutManager::Release() {
    if (!form_) return;
    SaveLayout();
    form_ = nullptr;
}

bool clsLayoutManager::IsScaledKind(const std::string& typeName) const {
    for (const auto& k : kinds_)
        if (k == typeName) return true;
    return false;
}

void clsLayoutManager::LayoutForm(forms::ILayoutWindow& window) {
    form_ = &window;
    TakeLayoutSnapshot();
    RestoreLayout();
}

void clsLayoutManager::TakeLayoutSnapshot() {
    records_.assign(1, ControlLayout{});
    if (!form_) vb::Raise(91, "clsLayoutManager");
    forms::PixelRect client = form_->ClientRectPx();
    clientWidth_ = client.right - client.left;
    clientHeight_ = client.bottom - client.top;
    for (forms::ILayoutControl* c : form_->LayoutControls()) {
        std::string type = c->TypeName();
        if (!IsScaledKind(type)) continue;
        ControlLayout r;
        r.Name = c->LayoutName();
        r.Top = Whole(c->LayoutTop());
        r.Left = Whole(c->LayoutLeft());
        r.Height = Whole(c->LayoutHeight());
        r.Width = Whole(c->LayoutWidth());
        r.FixedHeight = type == "ComboBox" || type == "DriveListBox";
        records_.push_back(r);
    }
}

std::string clsLayoutManager::Setting(const std::string& key, const std::string& defaultValue) const {
    auto& ctx = imagelift::Ctx();
    if (ctx.DbManager) return ctx.DbManager->GetSetting(AppTitle(), form_->LayoutName(), key, defaultValue);
    return registry::GetSetting(AppTitle(), form_->LayoutName(), key, defaultValue);
}

void clsLayoutManager::StoreSetting(const std::string& key, const std::string& value) const {
    auto& ctx = imagelift::Ctx();
    if (ctx.DbManager) ctx.DbManager->SaveSetting(AppTitle(), form_->LayoutName(), key, value);
    else registry::SaveSetting(AppTitle(), form_->LayoutName(), key, value);
}

int32_t clsLayoutManager::SaveLayout() {
    int32_t result = -1;
    if (!form_) return result;
    // Each step that fails is skipped; the next one runs.
    try {
        int32_t state = form_->LayoutWindowState();
        if (state == 2 || state == 1) return result;  // the last normal rectangle stays
    } catch (...) {
        // A step that fails is skipped without a word; the next one runs.
    }
    forms::PixelRect r{};
    try {
        r = OuterRect(*form_);
    } catch (...) {
        // Without the window's rectangle there is nothing true to store; storing an empty
        // rectangle would lose the one saved last time.
        return result;
    }
    const std::array<int32_t, 4> edges{r.top, r.left, r.bottom, r.right};
    for (size_t i = 0; i < 4; ++i) {
        try {
            StoreSetting(kEdges[i], std::to_string(edges[i]));
        } catch (...) {
            // A step that fails is skipped without a word; the next one runs.
        }
    }
    return 1;
}

int32_t clsLayoutManager::RestoreLayout() {
    int32_t result = -1;
    if (!form_) return result;
    forms::PixelRect current = OuterRect(*form_);
    const std::array<int32_t, 4> defaults{current.top, current.left, current.bottom, current.right};
    std::array<int32_t, 4> stored = defaults;
    // A stored rectangle that cannot be read, or that is turned inside out, counts as absent:
    // the window keeps its current edges.
    bool valid = true;
    for (size_t i = 0; i < 4 && valid; ++i) {
        std::string text = Setting(kEdges[i], std::to_string(defaults[i]));
        try {
            stored[i] = vb::CLng(text);
        } catch (const vb::Error&) {
            valid = false;
        }
    }
    if (valid && (stored[2] < stored[0] || stored[3] < stored[1])) valid = false;
    if (!valid) {
        StatusDisplay("The stored layout of '" + form_->LayoutName() + "' is not usable.  Ignoring it...",
                      basDebug::WARNING);
        stored = defaults;
    }

    VerifyFormPosition(*form_);
    const double tpx = forms::Screen().TwipsPerPixelX(), tpy = forms::Screen().TwipsPerPixelY();
    form_->SetLayoutTop(float(stored[0] * tpy));
    form_->SetLayoutLeft(float(stored[1] * tpx));
    form_->SetLayoutHeight(float((double(stored[2]) - stored[0]) * tpy));
    form_->SetLayoutWidth(float((double(stored[3]) - stored[1]) * tpx));
    // The rectangle as stored may lie off the screen now (another screen size).
    VerifyFormPosition(*form_);
    ResizeForm();
    return 1;
}

void clsLayoutManager::SetControl(forms::ILayoutControl& control, void (forms::ILayoutControl::*setter)(double),
                                  double twips) {
    try {
        (control.*setter)(twips);
    } catch (...) {
        vb::Error e = vb::CurrentException();
        if (e.Number() == 383)
            StatusDisplay("Error #383: " + control.LayoutName() + ", type " + control.TypeName() + " " +
                              e.Description() + " in ResizeForm",
                          basDebug::WARNING);
        else
            StatusDisplay(vb::ErrorLine("Error #", e, " in ResizeForm"));
    }
}

template <class Apply>
void clsLayoutManager::WalkControls(const char* notFoundPrefix, Apply&& apply) {
    size_t p = 0;
    for (forms::ILayoutControl* c : form_->LayoutControls()) {
        if (!IsScaledKind(c->TypeName())) continue;
        std::string name = c->LayoutName();
        // The records follow the collection's order, so the next record normally matches.
        if (p + 1 < records_.size() && records_[p + 1].Name == name) {
            ++p;
        } else {
            size_t found = 0;
            for (size_t i = 1; i < records_.size() && !found; ++i)
                if (records_[i].Name == name) found = i;
            if (!found) {
                StatusDisplay(notFoundPrefix + name + "'");
                continue;
            }
            p = found;
        }
        apply(*c, records_[p]);
    }
}

int32_t clsLayoutManager::ResizeForm() {
    if (!form_) return 0;
    if (form_->TypeName() == "MDIForm") return MdiResizeAllowed();
    try {
        if (form_->LayoutWindowState() == 1) return 0;
        forms::PixelRect client = form_->ClientRectPx();
        // The factor of an axis whose snapshot had no extent cannot be formed; that axis is
        // left as it is rather than collapsing every control onto it.
        std::optional<float> x, y;
        if (clientWidth_ != 0) x = float(double(client.right - client.left) / clientWidth_);
        else StatusDisplay("Error #11: Division by zero in ResizeForm");
        if (clientHeight_ != 0) y = float(double(client.bottom - client.top) / clientHeight_);
        else StatusDisplay("Error #11: Division by zero in ResizeForm");
        if (x && *x < 0) return 0;
        if (y && *y < 0) return 0;
        WalkControls("Error in frmMain.Resize.  Could not find control named '",
                     [&](forms::ILayoutControl& c, const ControlLayout& r) {
                         using C = forms::ILayoutControl;
                         if (y && !r.SkipTop) SetControl(c, &C::SetLayoutTop, double(*y) * r.Top);
                         if (x && !r.SkipLeft) SetControl(c, &C::SetLayoutLeft, double(*x) * r.Left);
                         if (x && !r.FixedWidth) SetControl(c, &C::SetLayoutWidth, double(*x) * r.Width);
                         if (y && !r.FixedHeight) SetControl(c, &C::SetLayoutHeight, double(*y) * r.Height);
                     });
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ResizeForm"));
    }
    return 0;
}

int32_t clsLayoutManager::ResetLayout() {
    auto& ctx = imagelift::Ctx();
    if (!form_ || !ctx.DbManager) return -1;
    for (const char* key : kEdges) ctx.DbManager->RemoveSetting(AppTitle(), form_->LayoutName(), key);
    const double tpx = forms::Screen().TwipsPerPixelX(), tpy = forms::Screen().TwipsPerPixelY();
    form_->SetLayoutTop(0);
    form_->SetLayoutLeft(0);
    form_->SetLayoutWidth(clientWidth_ * tpx);
    form_->SetLayoutHeight(clientHeight_ * tpy);
    if (form_->LayoutWindowState() == 1) return -1;
    WalkControls("clsLayoutManager.ResetLayout error: Could not find control named '",
                 [](forms::ILayoutControl& c, const ControlLayout& r) {
                     if (!r.SkipTop) c.SetLayoutTop(r.Top);
                     if (!r.SkipLeft) c.SetLayoutLeft(r.Left);
                     if (!r.FixedWidth) c.SetLayoutWidth(r.Width);
                     if (!r.FixedHeight) c.SetLayoutHeight(r.Height);
                 });
    return -1;
}

void FitWindowToArea(forms::ILayoutWindow& window, double areaWidth, double areaHeight,
                     const std::function<void(const std::string&, int32_t)>& log) {
    const std::string n = window.LayoutName();
    const std::string min = std::to_string(kMinimumSize);
    if (window.LayoutHeight() < kMinimumSize) {
        log("The height of '" + n + "' is below the minimum of " + min + ".  Adjusting...", basDebug::TRACE);
        window.SetLayoutHeight(kMinimumSize);
    }
    if (window.LayoutWidth() < kMinimumSize) {
        log("The width of '" + n + "' is below the minimum of " + min + ".  Adjusting...", basDebug::TRACE);
        window.SetLayoutWidth(kMinimumSize);
    }
    // The bottom 25 twips stay free (the edge of a task bar or of the frame's client area).
    const double W = areaWidth;
    const double H = areaHeight - 25;
    if (window.LayoutWidth() > W) {
        log("'" + n + "' is wider than the screen.  Adjusting...", basDebug::WARNING);
        window.SetLayoutWidth(W);
    }
    if (window.LayoutHeight() > H) {
        log("'" + n + "' is higher than the screen.  Adjusting...", basDebug::TRACE);
        window.SetLayoutHeight(H);
    }
    if (window.LayoutTop() < 0) {
        log("The top of '" + n + "' is above the screen.  Adjusting...", basDebug::TRACE);
        window.SetLayoutTop(0);
    }
    if (window.LayoutLeft() < 0) {
        log("The Left of '" + n + "' is off the screen.  Adjusting...", basDebug::TRACE);
        window.SetLayoutLeft(0);
    }
    if (window.LayoutTop() + window.LayoutHeight() > H) {
        log("The bottom of '" + n + "' is off the screen.  Adjusting...", basDebug::TRACE);
        window.SetLayoutTop(H - window.LayoutHeight());
    }
    if (window.LayoutLeft() + window.LayoutWidth() > W) {
        log("The right side of '" + n + "' is off the screen.  Adjusting...", basDebug::TRACE);
        window.SetLayoutLeft(W - window.LayoutWidth());
    }
}

void clsLayoutManager::VerifyFormPosition(forms::ILayoutWindow& window) {
    try {
        FitWindowToArea(window, vb::RoundHalfEven(forms::Screen().Width()),
                        vb::RoundHalfEven(forms::Screen().Height()),
                        [](const std::string& line, int32_t level) { StatusDisplay(line, level); });
    } catch (...) {
        StatusDisplay(vb::ErrorLine("ERROR #", vb::CurrentException(), " in VerifyFormPosition"),
                      basDebug::ERROR_LEVEL);
    }
}
