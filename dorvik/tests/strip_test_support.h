// Test support for the strips and their controls: a parent that records what the controls tell
// it, synthetic input, and picture comparisons.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

#include "strips/controls.h"
#include "strips/layout.h"
#include "strips/strip_set.h"

namespace dorvik::testing {

struct Notice {
    enum Kind { Fader, Knob, Toggle, DoubleClick } kind;
    int id;
    uint32_t wParam;
    int32_t position;
    bool operator==(const Notice&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Notice& n) {
    return os << "{kind " << n.kind << ", id 0x" << std::hex << n.id << ", wParam 0x" << n.wParam << std::dec
              << ", position " << n.position << "}";
}

// Records every notification; `forward` (when set) lets a test act on it as the main window does.
class RecordingParent : public ControlParent {
public:
    void OnFaderNotify(int id, uint32_t wParam, int32_t position) override { add({Notice::Fader, id, wParam, position}); }
    void OnKnobNotify(int id, uint32_t wParam, int32_t position) override { add({Notice::Knob, id, wParam, position}); }
    void OnToggleNotify(int id) override { add({Notice::Toggle, id, 0, 0}); }
    void OnControlDoubleClick(int id) override { add({Notice::DoubleClick, id, 0, 0}); }
    // What came since the last call.
    std::vector<Notice> Take() { return std::exchange(notices, {}); }

    std::vector<Notice> notices;
    std::function<void(const Notice&)> forward;

private:
    void add(const Notice& n) {
        notices.push_back(n);
        if (forward) forward(n);
    }
};

inline void Key(QWidget* w, int key) {
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}

inline void Wheel(QWidget* w, int angleY) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QWheelEvent e(at, w->mapToGlobal(at), QPoint(), QPoint(0, angleY), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                  false);
    QApplication::sendEvent(w, &e);
}

// Mouse events with the held buttons set (a move carries the left button while dragging).
inline void Mouse(QWidget* w, QEvent::Type type, int x, int y, Qt::MouseButton button, Qt::MouseButtons held) {
    const QPointF at(x, y);
    QMouseEvent e(type, at, w->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}
inline void Press(QWidget* w, int x, int y) { Mouse(w, QEvent::MouseButtonPress, x, y, Qt::LeftButton, Qt::LeftButton); }
inline void DragTo(QWidget* w, int x, int y) { Mouse(w, QEvent::MouseMove, x, y, Qt::NoButton, Qt::LeftButton); }
inline void Release(QWidget* w, int x, int y) { Mouse(w, QEvent::MouseButtonRelease, x, y, Qt::LeftButton, Qt::NoButton); }
inline void Click(QWidget* w) {
    Press(w, w->width() / 2, w->height() / 2);
    Release(w, w->width() / 2, w->height() / 2);
}

inline QImage Shot(QWidget* w) { return w->grab().toImage().convertToFormat(QImage::Format_RGB32); }

// Equal pictures, or where the first difference is.
inline ::testing::AssertionResult SamePicture(const QImage& actual, const QImage& expected) {
    const QImage a = actual.convertToFormat(QImage::Format_RGB32), b = expected.convertToFormat(QImage::Format_RGB32);
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "size " << a.width() << "x" << a.height() << " instead of " << b.width()
                                             << "x" << b.height();
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is 0x" << std::hex
                                                     << a.pixel(x, y) << " instead of 0x" << b.pixel(x, y);
    return ::testing::AssertionSuccess();
}

inline QRect ToQRect(const layout::Rect& r) { return QRect(r.x, r.y, r.w, r.h); }

// A client area that paints the background picture, as the main window does.
class BackClient : public QWidget {
public:
    BackClient() {
        resize(layout::kBackWidth, layout::kBackHeight);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, GetBitmap("BACK")); }
};

}  // namespace dorvik::testing
