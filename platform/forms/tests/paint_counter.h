// Counts the paints a widget receives, for tests of when and what a window paints.
#pragma once

#include <QEvent>
#include <QObject>
#include <QWidget>

namespace formstest {

class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* w) { w->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace formstest
