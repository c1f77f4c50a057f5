// Keeps one window of the downloader in shape (clsLayoutManager).
//
// When a window hands itself over (LayoutForm), the manager takes a snapshot of the window's
// design: its client size and the position and size of every control of the scaled kinds.
// On every resize it scales those controls by the ratio of the current client size to the
// snapshot's, always from the snapshot, so rounding never accumulates. It stores the window's
// rectangle under the window's name when the window goes away and puts it back when the window
// is next attached: in the settings store when there is one, otherwise in the per-user
// settings store. It keeps a window at least 100 twips high and wide and on the screen.
//
// Rectangles are stored in pixels in the coordinates the window's Top and Left use: the screen
// for a top-level window, the MDI frame's client area for a child window; so a child comes back
// exactly where it was closed instead of creeping by the client area's offset each time.
//
// The manager holds a reference to its window; the window releases the manager (Release or
// destruction) in its unload handler, while it still exists, which saves the rectangle.
#pragma once

#include "forms/layout_window.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Keeps `window` at least 100 twips high and wide and inside an area of `areaWidth` x
// `areaHeight` twips whose corner is the origin of the window's Top and Left (the screen, or an
// MDI frame's client area); the bottom 25 twips of the area stay free. Each correction is logged
// through `log` (line, level). Failures reach the caller.
void FitWindowToArea(forms::ILayoutWindow& window, double areaWidth, double areaHeight,
                     const std::function<void(const std::string&, int32_t)>& log);

// The snapshot of one control.
struct ControlLayout {
    std::string Name;
    int32_t Top = 0;
    int32_t Left = 0;
    int32_t Height = 0;
    int32_t Width = 0;
    bool SkipTop = false;
    bool SkipLeft = false;
    bool FixedHeight = false;
    bool FixedWidth = false;
};

class clsLayoutManager {
public:
    // Class_Initialize.
    clsLayoutManager();
    // Class_Terminate: saves the rectangle when a window is attached (see Release).
    ~clsLayoutManager();
    clsLayoutManager(const clsLayoutManager&) = delete;
    clsLayoutManager& operator=(const clsLayoutManager&) = delete;

    // The attached window, or nullptr.
    forms::ILayoutWindow* LayoutForm() const { return form_; }
    // Attaches a window (replacing any earlier one), takes the snapshot and restores the stored
    // rectangle. Failures reach the caller.
    void LayoutForm(forms::ILayoutWindow& window);

    void TakeLayoutSnapshot();
    // 1 saved, -1 nothing saved (minimised, maximised, no window, or its rectangle unknown).
    int32_t SaveLayout();
    // 1 restored, -1 no window attached. Failures of applying the rectangle reach the caller.
    int32_t RestoreLayout();
    // Removes the stored rectangle (only with a settings store) and puts the window and its
    // controls back to the snapshot. Always -1.
    int32_t ResetLayout();
    // -1 for an MDI frame, otherwise 0.
    int32_t ResizeForm();
    // Keeps the window at least 100 twips high and wide and on the screen.
    void VerifyFormPosition(forms::ILayoutWindow& window);

    // Class_Terminate now: saves the rectangle and lets go of the window. The window's unload
    // handler calls this (or destroys the manager) while the window still exists.
    void Release();

    // For tests: the snapshot.
    const std::vector<ControlLayout>& Records() const { return records_; }
    int32_t SnapshotClientWidth() const { return clientWidth_; }
    int32_t SnapshotClientHeight() const { return clientHeight_; }

private:
    int32_t MdiResizeAllowed() const { return -1; }
    bool IsScaledKind(const std::string& typeName) const;
    template <class Apply>
    void WalkControls(const char* notFoundPrefix, Apply&& apply);
    void SetControl(forms::ILayoutControl& control, void (forms::ILayoutControl::*setter)(double), double twips);
    std::string Setting(const std::string& key, const std::string& defaultValue) const;
    void StoreSetting(const std::string& key, const std::string& value) const;

    std::vector<std::string> kinds_;
    forms::ILayoutWindow* form_ = nullptr;
    int32_t clientWidth_ = 0;
    int32_t clientHeight_ = 0;
    std::vector<ControlLayout> records_;  // record 0 is an empty placeholder
};
