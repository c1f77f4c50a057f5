// The panel's control kit: owner-drawn faders, two-state toggles, rotary knobs and small text
// fields. Each control draws over a background captured from the panel's background picture at
// its own rectangle, so the window reads as one picture. Input follows the keyboard, the wheel
// and the mouse; changes are reported to the ControlParent with the window messages' codes.
#pragma once

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <string>

#include "strips/strip_set.h"

class QFont;

namespace dorvik {

// Scroll notification codes.
inline constexpr uint32_t kEndDrag = 0;           // the button went up after a drag
inline constexpr uint32_t kThumbPosition = 4;     // SB_THUMBPOSITION: key or wheel step
inline constexpr uint32_t kThumbTrack = 5;        // SB_THUMBTRACK: dragging, position in the high word
constexpr uint32_t ScrollParam(int32_t position, uint32_t code) { return (uint32_t(position) << 16) | code; }

// Class names of the kit's four kinds of control.
inline constexpr const char* kFaderClass = "Orvel_VSClass";
inline constexpr const char* kToggleClass = "Orvel_TogleClass";
inline constexpr const char* kKnobClass = "Orvel_KnobArrayClass";
inline constexpr const char* kTextFieldClass = "Orvel_SmallTextModifyClass";

// A w x h copy of the background source at (x, y) (the window colour where there is none).
QImage CaptureBackground(int x, int y, int w, int h);
// The step of one key press or wheel notch the controls use: the stored step, within 1..16.
int32_t WheelStep();
// The readouts' font (Arial, a cell 12 pixels high, normal weight), and the smaller one of the
// level readouts under the faders (a cell 10 pixels high).
QFont KitFont();
QFont LevelFont();
// Texts of a text field keep at most this many characters.
inline constexpr int kTextFieldRoom = 63;

// What every control shares: its id, whom it tells, and that it wants every key (Tab included).
class KitControl : public QWidget {
public:
    KitControl(QWidget* parent, ControlParent& notify, int id, const QRect& rect, const char* className);
    int id() const { return id_; }
    const char* className() const { return className_; }

protected:
    bool focusNextPrevChild(bool) override { return false; }
    // Draws the control into `into` (its size); the paint event copies the result in one step.
    virtual void compose(QImage& into) const = 0;
    void paintEvent(QPaintEvent*) override;

    ControlParent& notify_;
    int id_;
    const char* className_;
};

class Fader : public KitControl {
public:
    // `background` null: captured from the background source at `rect`.
    Fader(QWidget* parent, ControlParent& notify, int id, const QRect& rect, int32_t minimum, int32_t maximum,
          const QImage& overlay, const QImage& focusedThumb, const QImage& unfocusedThumb,
          const QImage& background = QImage());
    void SetPos(int32_t position);
    int32_t GetPos() const { return position_; }
    // The thumb's top row for the current position.
    int ThumbTop() const;
    bool focused() const { return focus_ == 1; }

protected:
    void compose(QImage& into) const override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    void step(int32_t delta);
    int32_t dragPosition(int y) const;

    int32_t travel_, top_ = 0, maximum_, minimum_, position_;
    int32_t focus_ = -1, halfThumb_;
    QImage background_, overlay_;
    QPixmap focusedThumb_, unfocusedThumb_;
    bool captured_ = false;
};

class Toggle : public KitControl {
public:
    // `off` null: captured from the background source at `rect`.
    Toggle(QWidget* parent, ControlParent& notify, int id, const QRect& rect, const QImage& on,
           const QImage& off = QImage());
    // Only 0 and 1 change the state.
    void SetCheck(int32_t state);
    bool GetCheck() const { return state_ == 1; }

protected:
    void compose(QImage& into) const override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;

private:
    int32_t state_ = 0;
    QImage on_, off_;
    bool captured_ = false;
};

class Knob : public KitControl {
public:
    static constexpr float kMaximumAngle = 2.7f;
    static constexpr float kMinimumAngle = -2.7f;
    Knob(QWidget* parent, ControlParent& notify, int id, const QRect& rect, int32_t range, int32_t radius,
         const QImage& indicator, const QImage& focusedBackground = QImage(),
         const QImage& unfocusedBackground = QImage());
    void SetPos(int32_t position);
    int32_t GetPos() const { return position_; }
    float angle() const { return angle_; }
    // Centre of the indicator for the current angle.
    QPoint IndicatorCentre() const;

protected:
    void compose(QImage& into) const override;
    void keyPressEvent(QKeyEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    // Turns by `delta` radians, clamps, and derives the position.
    void turn(float delta);

    float angle_ = kMinimumAngle;
    int lastY_ = 0;
    bool focus_ = false;
    int32_t position_ = 0, range_, radius_;
    QImage focusedBackground_, unfocusedBackground_, indicator_;
    bool captured_ = false;
};

// Draws in its own font, the kit font unless it is given another (setFont).
class TextField : public KitControl {
public:
    // `background` null: captured from the background source at `rect`.
    TextField(QWidget* parent, ControlParent& notify, int id, const QRect& rect, uint32_t textColour,
              uint32_t secondColour, const std::string& text, const QImage& background = QImage());
    // Keeps the first 63 characters.
    void SetText(const std::string& text);
    const std::string& text() const { return text_; }
    uint32_t textColour() const { return textColour_; }

protected:
    void compose(QImage& into) const override;

private:
    uint32_t textColour_, secondColour_;
    QImage background_;
    std::string text_;
};

}  // namespace dorvik
