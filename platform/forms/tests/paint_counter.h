// Counts the paints a widget receives, for tests of when and what a window paints.
#pragma once

#include <QEvent>
#include <QPaintEvent>
#include <QRegion>
#include <QObject>
#include <QWidget>

namespace formstest {

class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int paints = 0;
    QRegion painted;  // all that was painted, in the widget's own coordinates

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) {
            ++paints;
            painted += static_cast<QPaintEvent*>(e)->region();
        }
        return false;
    }
};

}  // namespace formstest
