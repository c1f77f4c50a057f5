// A person's mouse and window manager on the X server a window test runs on (scripts/xvfb_test):
// the events come from the server, as a user's do, and travel the whole way through the window
// system to the widgets. For what only real input shows: a close box that unloads its window
// from inside the click, a click on a grid row that scrolls it.
#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>

namespace formstest {

class RealInput {
public:
    // Opens a connection of its own to the display the program uses (the desktop application must
    // be running). Its clicks are single clicks, however soon one follows another.
    RealInput();
    ~RealInput();
    RealInput(const RealInput&) = delete;
    RealInput& operator=(const RealInput&) = delete;

    // Whether the display and its test extension (fake input) are there.
    bool Ready() const { return display_ != nullptr; }

    // Moves the pointer to `global` (screen pixels), lets the program see it arrive there, then
    // presses and releases the left button on it.
    void Click(QPoint global);
    // Asks a top-level window to close as a window manager's close box does.
    void CloseWindow(const QWidget& window);

    // Lets the program handle everything the server has for it: the server has handled all sent
    // so far, and the program's events have run (in rounds, as one event leads to another).
    void Settle(int rounds = 3);
    // Settles until `done` holds, at most `rounds` times; whether it holds.
    bool SettleUntil(const std::function<bool()>& done, int rounds = 200);

private:
    void* display_ = nullptr;  // the X display connection
};

// Where the close box of an MDI sub-window's title bar is, in screen pixels: its centre, as the
// sub-window's style places it.
QPoint CloseBoxOf(const QWidget& subWindow);

}  // namespace formstest
