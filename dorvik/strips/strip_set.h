// The seven stereo channel strips over the panel's background, with the clock, WDM and ASIO
// readouts and their labels. The controls are owner-drawn widgets of the panel's control kit;
// their notifications go to a ControlParent (the main window), keeping the window messages'
// codes: 4 for a key or wheel step (SB_THUMBPOSITION), 5 while dragging (SB_THUMBTRACK).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QImage;
class QWidget;

namespace dorvik {

class Panel;

// Where the controls report to.
class ControlParent {
public:
    virtual ~ControlParent() = default;
    // Fader moved (WM_VSCROLL): code 4 (key, wheel), 5 (drag, position in the high word) or 0
    // (button released); `position` is the fader's position after the move.
    virtual void OnFaderNotify(int id, uint32_t wParam, int32_t position) = 0;
    // Knob turned (WM_HSCROLL); `position` as the knob reports it (-range..range).
    virtual void OnKnobNotify(int id, uint32_t wParam, int32_t position) = 0;
    // Toggle clicked (WM_COMMAND, notification code 1).
    virtual void OnToggleNotify(int id) = 0;
    // A double click on a fader or knob (WM_LBUTTONDBLCLK to the parent).
    virtual void OnControlDoubleClick(int id) { (void)id; }
};

// The control kit's program-wide state: the font, the bitmap cache, the background source and
// the wheel step. RegisterControlClasses at start, UnregisterControlClasses at exit.
void RegisterControlClasses();
void UnregisterControlClasses();
// The skin bitmap of that name ("BACK", "FADER", "MUTE_ON", "LINK_ON", "POINT", the icon
// "ICON217" and the About picture "ABOUT216"); a missing name is reported once ("NotFound")
// and gives a null image.
QImage GetBitmap(const std::string& name);
void SetBackgroundBitmap(const QImage& background);
void SetWheelStep(int32_t step);

class StripSet {
public:
    // Builds the strips as children of `client` (the widget that paints "BACK" at 0, 0) in the
    // order pairs 0-6, clock field, WDM and ASIO value fields, "WDM" and "ASIO" labels. Makes
    // "BACK" the kit's background source, from which every control captures its own.
    static std::unique_ptr<StripSet> CreateMixerStrips(QWidget* client, ControlParent& parent, int x0, int y0);
    ~StripSet();

    // Hands each strip of pairs 0-6 the working levels where they differ from the applied ones,
    // then brings the strip's controls up to date.
    void UpdateMixerStrips(const Panel& panel);
    // Shows the levels last handed to the strip of `pair` where they differ from those shown,
    // and sets its mutes and link (and, on the pan strip, its knobs) where working and applied
    // settings differ.
    void UpdateStrip(int pair, const Panel& panel);
    void UpdatePanStrip(int pair, const Panel& panel);
    void EnablePanKnobs(bool on);
    void ShowMixerStrips(bool shown);
    void DestroyMixerStrips();
    // The clock field and the two value fields.
    void SetClockText(const std::string& text);
    void SetWdmText(const std::string& text);
    void SetAsioText(const std::string& text);

    // The control of that id (the first of the shared 0x4200 id), or null.
    QWidget* Control(int id) const;
    // Every control, in creation order.
    std::vector<QWidget*> Controls() const;

private:
    StripSet();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace dorvik
