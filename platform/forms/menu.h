// Menus and timers of a form.
#pragma once

#include "forms/control.h"

#include <memory>

class QAction;
class QMenu;

namespace forms {

// A menu title on the form's menu bar, or an item under another menu. A caption of "-" makes a
// separator; "&" marks the access key. A menu with items opens them; one without fires Click.
class Menu : public Control {
public:
    Menu(Form* form, std::string name, std::string caption, int32_t index = -1);
    Menu(Menu* parent, std::string name, std::string caption, int32_t index = -1);
    ~Menu() override;

    std::string TypeName() const override { return "Menu"; }
    Property<std::string> Caption;
    Property<bool> Checked;
    // Lists the MDI frame's child windows at the end of this menu.
    Property<bool> WindowList;
    std::function<void()> Click;

    QAction* Action() const { return action_; }
    // Runs Click as a user's choice would (when the item is enabled and visible, and its window
    // takes input).
    void Choose();

protected:
    bool VisibleValue() const override;
    void ApplyVisible(bool visible) override;
    bool EnabledValue() const override;
    void ApplyEnabled(bool enabled) override;

private:
    Menu(Form* form, Menu* parent, std::string name, const std::string& caption, int32_t index);
    void init(const std::string& caption);
    QMenu* submenu();
    void refreshWindowList();
    Menu* parent_ = nullptr;
    QAction* action_ = nullptr;
    QMenu* submenu_ = nullptr;
    bool windowList_ = false;
    std::vector<QAction*> windowActions_;
};

// A timer: while Enabled and Interval > 0 it raises OnTimer every Interval milliseconds on
// the user-interface thread. Ticks that fall due while one is waiting are merged into it, and a
// tick never starts while the handler runs (a DoEvents inside the handler does not re-enter it).
// Time comes from the program's clock, so tests drive timers with the manual clock.
class Timer : public Control {
public:
    Timer(Container* container, std::string name, int32_t index = -1);
    ~Timer() override;

    std::string TypeName() const override { return "Timer"; }
    Property<int32_t> Interval;
    // The Timer event.
    std::function<void()> OnTimer;

    void ResetForLoad() override;
    void StopForUnload() override;

    struct State;

protected:
    bool VisibleValue() const override { return false; }
    void ApplyVisible(bool) override {}
    bool EnabledValue() const override;
    void ApplyEnabled(bool enabled) override;

private:
    void arm();
    std::shared_ptr<State> state_;
};

}  // namespace forms
