#include "forms/tests/real_input.h"

#include "forms/form.h"

#include <QGuiApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStyle>
#include <QStyleHints>
#include <QStyleOptionTitleBar>

// The X headers come last: they define macros (None, Bool, Status ...) that Qt's names collide with.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace formstest {

namespace {
Display* dpy(void* d) { return static_cast<Display*>(d); }
}  // namespace

RealInput::RealInput() {
    Display* d = XOpenDisplay(nullptr);
    if (!d) return;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d, &event, &error, &major, &minor)) {
        XCloseDisplay(d);
        return;
    }
    display_ = d;
}

RealInput::~RealInput() {
    if (display_) XCloseDisplay(dpy(display_));
}

void RealInput::Click(QPoint global) {
    if (!display_) return;
    Display* d = dpy(display_);
    // Each click is a click of its own: a test clicks again at once where a person would pause,
    // and the program would otherwise take the second click on a spot for a double click.
    QGuiApplication::styleHints()->setMouseDoubleClickInterval(0);
    // A person's pointer comes onto the spot and rests there before the button goes down: the
    // window learns what lies under the pointer from its moves (and the pointer may already be
    // there, from an earlier click, which would make no move at all).
    for (const QPoint at : {global + QPoint(1, 1), global}) {
        XTestFakeMotionEvent(d, DefaultScreen(d), at.x(), at.y(), CurrentTime);
        XSync(d, False);
        Settle();
    }
    XTestFakeButtonEvent(d, 1, True, CurrentTime);
    XTestFakeButtonEvent(d, 1, False, CurrentTime);
    XSync(d, False);
}

void RealInput::CloseWindow(const QWidget& window) {
    if (!display_) return;
    Display* d = dpy(display_);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window.winId());
    event.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(d, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, Window(window.winId()), False, NoEventMask, &event);
    XSync(d, False);
}

void RealInput::Settle(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        if (display_) XSync(dpy(display_), False);
        forms::DoEvents();
        // A round trip of the program's own connection: the server's events for it have come in.
        QGuiApplication::sync();
        forms::DoEvents();
    }
}

bool RealInput::SettleUntil(const std::function<bool()>& done, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        if (done()) return true;
        Settle(1);
    }
    return done();
}

QPoint CloseBoxOf(const QWidget& subWindow) {
    // The title bar as the sub-window describes it to its style when it paints it.
    QStyleOptionTitleBar option;
    option.initFrom(&subWindow);
    option.subControls = QStyle::SC_All;
    option.titleBarFlags = subWindow.windowFlags();
    option.titleBarState = subWindow.windowState();
    option.text = subWindow.windowTitle();
    if (const auto* sub = qobject_cast<const QMdiSubWindow*>(&subWindow); sub && sub->mdiArea() &&
                                                                          sub->mdiArea()->activeSubWindow() == sub) {
        option.state |= QStyle::State_Active;
        option.titleBarState |= QStyle::State_Active;
    }
    QStyle* style = subWindow.style();
    const int height = style->pixelMetric(QStyle::PM_TitleBarHeight, &option, &subWindow);
    option.rect = QRect(0, 0, subWindow.width(), height);
    const QRect box = style->subControlRect(QStyle::CC_TitleBar, &option, QStyle::SC_TitleBarCloseButton, &subWindow);
    if (!box.isValid()) return {};
    return subWindow.mapToGlobal(box.center());
}

}  // namespace formstest
