#include "forms/menu.h"
#include "forms/internal.h"

#include "clock/clock.h"

#include <QAction>
#include <QMenu>
#include <QWidget>
#include <atomic>
#include <mutex>

namespace forms {

// -------------------------------------------------------------------------------------- Menu

namespace {

// A caption of "-" is a separator line: the line carries no text (styles draw a separator's
// text beside the line).
QString separatorText(const std::string& caption) { return caption == "-" ? QString() : detail::ToQ(caption); }

}  // namespace

Menu::Menu(Form* form, std::string name, std::string caption, int32_t index)
    : Menu(form, nullptr, std::move(name), caption, index) {
    form->RegisterMenu(this, action_);
}

Menu::Menu(Menu* parent, std::string name, std::string caption, int32_t index)
    : Menu(&parent->Parent(), parent, std::move(name), caption, index) {
    parent->submenu()->addAction(action_);
}

Menu::Menu(Form* form, Menu* parent, std::string name, const std::string& caption, int32_t index)
    : Control(form, std::move(name), index, NoWidget{}),
      Caption([this] { return action_->isSeparator() ? std::string("-") : detail::FromQ(action_->text()); },
              [this](const std::string& c) {
                  action_->setSeparator(c == "-");
                  action_->setText(separatorText(c));
              }),
      Checked([this] { return action_->isChecked(); },
              [this](const bool& c) {
                  action_->setCheckable(true);
                  action_->setChecked(c);
              }),
      WindowList([this] { return windowList_; },
                 [this](const bool& w) {
                     windowList_ = w;
                     if (w) submenu();
                 }),
      parent_(parent) {
    init(caption);
}

void Menu::init(const std::string& caption) {
    action_ = new QAction(separatorText(caption), form_->WindowWidget());
    action_->setSeparator(caption == "-");
    QObject::connect(action_, &QAction::triggered, [this] {
        // The platform leaves ticking a menu item to its Click handler.
        if (action_->isCheckable()) action_->setChecked(!action_->isChecked());
        // A disabled window takes no commands, whoever shows its menus (an MDI frame shows its
        // active child's).
        const QWidget* window = form_->WindowWidget();
        if (!window || !window->isEnabled()) return;
        if (Click) detail::Fire("Click", Click);
    });
}

Menu::~Menu() {
    delete submenu_;
    delete action_;
}

QMenu* Menu::submenu() {
    if (!submenu_) {
        submenu_ = new QMenu();
        action_->setMenu(submenu_);
        QObject::connect(submenu_, &QMenu::aboutToShow, [this] { refreshWindowList(); });
    }
    return submenu_;
}

void Menu::refreshWindowList() {
    for (QAction* a : windowActions_) {
        submenu_->removeAction(a);
        delete a;
    }
    windowActions_.clear();
    MDIForm* frame = MDIForm::Current();
    if (!windowList_ || !frame) return;
    auto children = frame->ChildForms();
    if (children.empty()) return;
    windowActions_.push_back(submenu_->addSeparator());
    int n = 1;
    for (Form* f : children) {
        QAction* a = submenu_->addAction(QString("&%1 %2").arg(n++).arg(detail::ToQ(f->Caption())));
        a->setCheckable(true);
        a->setChecked(frame->ActiveForm() == f);
        QObject::connect(a, &QAction::triggered, [f] { f->SetFocus(); });
        windowActions_.push_back(a);
    }
}

void Menu::Choose() {
    if (action_->isEnabled() && action_->isVisible()) action_->trigger();
}

bool Menu::VisibleValue() const { return action_->isVisible(); }
void Menu::ApplyVisible(bool v) { action_->setVisible(v); }
bool Menu::EnabledValue() const { return action_->isEnabled(); }
void Menu::ApplyEnabled(bool e) { action_->setEnabled(e); }

// ------------------------------------------------------------------------------------- Timer

struct Timer::State {
    std::mutex m;
    uint64_t generation = 0;
    int32_t interval = 0;
    bool enabled = true;
    std::atomic<bool> queued{false};
    bool inHandler = false;
    Timer* owner = nullptr;
};

namespace {

void deliverTick(const std::weak_ptr<Timer::State>& weak, uint64_t generation);

void scheduleTick(std::weak_ptr<Timer::State> weak, uint64_t generation, int32_t interval) {
    clk::Current().Schedule(uint32_t(interval), [weak, generation, interval] {
        auto s = weak.lock();
        if (!s) return;
        {
            std::lock_guard<std::mutex> lock(s->m);
            if (s->generation != generation) return;
        }
        // One tick waits at most; later ones merge into it.
        if (!s->queued.exchange(true))
            QMetaObject::invokeMethod(detail::GuiTarget(), [weak, generation] { deliverTick(weak, generation); },
                                      Qt::QueuedConnection);
        scheduleTick(weak, generation, interval);
    });
}

void deliverTick(const std::weak_ptr<Timer::State>& weak, uint64_t generation) {
    auto s = weak.lock();
    if (!s) return;
    s->queued.store(false);
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (s->generation != generation || !s->enabled || !s->owner) return;
    }
    if (s->inHandler) return;
    Timer* t = s->owner;
    if (!t->OnTimer) return;
    s->inHandler = true;
    detail::Fire("Timer", t->OnTimer);
    s->inHandler = false;
}

}  // namespace

Timer::Timer(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index, NoWidget{}),
      Interval([this] { return state_->interval; },
               [this](const int32_t& ms) {
                   if (ms < 0 || ms > 65535) vb::Raise(380, "forms", "Invalid property value");
                   {
                       std::lock_guard<std::mutex> lock(state_->m);
                       state_->interval = ms;
                   }
                   arm();
               }),
      state_(std::make_shared<State>()) {
    state_->owner = this;
}

Timer::~Timer() {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->owner = nullptr;
    ++state_->generation;
}

bool Timer::EnabledValue() const { return state_->enabled; }

void Timer::ApplyEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        if (state_->enabled == enabled) return;
        state_->enabled = enabled;
    }
    arm();
}

void Timer::ResetForLoad() {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->enabled = true;
    }
    // A form shown again runs with the interval its timer had, until its design sets another.
    arm();
}

void Timer::StopForUnload() {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->enabled = false;
    ++state_->generation;
}

void Timer::arm() {
    uint64_t generation;
    int32_t interval;
    {
        std::lock_guard<std::mutex> lock(state_->m);
        generation = ++state_->generation;
        interval = state_->interval;
        if (!state_->enabled || interval <= 0 || !form_->IsLoaded()) return;
    }
    scheduleTick(state_, generation, interval);
}

}  // namespace forms
