#include "forms/form.h"
#include "forms/control.h"
#include "forms/internal.h"

#include "user/window_registry.h"
#include "vbrt/error.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLayout>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPixmap>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace forms {

namespace {

MDIForm* g_frame = nullptr;

// The top-level widget of a form: reports size, close, keys and state to the form.
class FormWindow : public QWidget {
public:
    explicit FormWindow(Form* form) : form_(form) {}

protected:
    void resizeEvent(QResizeEvent* e) override {
        QWidget::resizeEvent(e);
        form_->HandleResize();
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        form_->HandleClose();
    }
    void keyPressEvent(QKeyEvent* e) override { form_->HandleKey(e); }
    void changeEvent(QEvent* e) override {
        QWidget::changeEvent(e);
        if (e->type() == QEvent::WindowStateChange) form_->HandleStateChange();
    }

private:
    Form* form_;
};

class FrameWindow : public QMainWindow {
public:
    explicit FrameWindow(Form* form) : form_(form) {}

protected:
    void resizeEvent(QResizeEvent* e) override {
        QMainWindow::resizeEvent(e);
        form_->HandleResize();
    }
    void closeEvent(QCloseEvent* e) override {
        e->ignore();
        form_->HandleClose();
    }
    void changeEvent(QEvent* e) override {
        QMainWindow::changeEvent(e);
        if (e->type() == QEvent::WindowStateChange) form_->HandleStateChange();
    }

private:
    Form* form_;
};

// Watches a control's widget (keys, focus) and an MDI child's sub-window (state, activation).
class EventTap : public QObject {
public:
    explicit EventTap(std::function<bool(QObject*, QEvent*)> fn) : fn_(std::move(fn)) {}
    bool eventFilter(QObject* o, QEvent* e) override { return fn_(o, e); }

private:
    std::function<bool(QObject*, QEvent*)> fn_;
};

// Halves go to the even pixel, as the platform's own conversions do: windows stacked from shares
// of an area (half a pixel each) then fill it without running one pixel past its edge.
int32_t pxFromTwips(double twips, double tpp) { return int32_t(std::nearbyint(twips / tpp)); }

}  // namespace

void RaiseReadOnly(const std::string& property) {
    vb::Raise(383, "forms", "'" + property + "' property is read-only");
}

// ------------------------------------------------------------------------------------- Form

Form::Form(std::string name, bool mdiChild) : Form(std::move(name), mdiChild ? MdiChild : TopLevel) {}

Form::Form(std::string name, Kind kind)
    : Name(std::move(name)),
      Caption([this] { return caption_; },
              [this](const std::string& c) {
                  caption_ = c;
                  window_->setWindowTitle(detail::ToQ(c));
                  if (hwnd_) {
                      user::SetWindowTextDirect(hwnd_, c);
                      if (kind_ != MdiChild) user::SetTopWindowCaption(hwnd_, c);
                  }
              }),
      Top([this] { return outerTopPx() * Tpy(); },
          [this](const double& t) {
              checkMovable();
              int x, y, w, h;
              outerPx(x, y, w, h);
              setOuterGeometryPx(x, pxFromTwips(t, Tpy()), w, h);
          }),
      Left([this] { return outerLeftPx() * Tpx(); },
           [this](const double& l) {
               checkMovable();
               int x, y, w, h;
               outerPx(x, y, w, h);
               setOuterGeometryPx(pxFromTwips(l, Tpx()), y, w, h);
           }),
      Width(
          [this] {
              int x, y, w, h;
              outerPx(x, y, w, h);
              return w * Tpx();
          },
          [this](const double& width) {
              checkMovable();
              if (width < 0) vb::Raise(380, "forms", "Invalid property value");
              int x, y, w, h;
              outerPx(x, y, w, h);
              setOuterGeometryPx(x, y, pxFromTwips(width, Tpx()), h);
          }),
      Height(
          [this] {
              int x, y, w, h;
              outerPx(x, y, w, h);
              return h * Tpy();
          },
          [this](const double& height) {
              checkMovable();
              if (height < 0) vb::Raise(380, "forms", "Invalid property value");
              int x, y, w, h;
              outerPx(x, y, w, h);
              setOuterGeometryPx(x, y, w, pxFromTwips(height, Tpy()));
          }),
      ScaleWidth([this] { return ClientRectPx().right * Tpx(); }, [](const double&) { RaiseReadOnly("ScaleWidth"); }),
      ScaleHeight([this] { return ClientRectPx().bottom * Tpy(); },
                  [](const double&) { RaiseReadOnly("ScaleHeight"); }),
      WindowState(
          [this] {
              Qt::WindowStates s = sub_ ? sub_->windowState() : window_->windowState();
              return s & Qt::WindowMinimized ? vbMinimized : s & Qt::WindowMaximized ? vbMaximized : vbNormal;
          },
          [this](const int32_t& s) {
              if (s < 0 || s > 2) vb::Raise(380, "forms", "Invalid property value");
              QWidget* w = sub_ ? static_cast<QWidget*>(sub_) : window_;
              Qt::WindowStates st = w->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized);
              if (s == vbMinimized) st |= Qt::WindowMinimized;
              if (s == vbMaximized) st |= Qt::WindowMaximized;
              w->setWindowState(st);
              HandleStateChange();
          }),
      Visible([this] { return loaded_ && (sub_ ? sub_->isVisible() : window_->isVisible()); },
              [this](const bool& v) {
                  if (v) Show();
                  else Hide();
              }),
      Enabled([this] { return window_->isEnabled(); },
              [this](const bool& e) {
                  window_->setEnabled(e);
                  // The frame shows an active child's menus as its own: they follow the child.
                  if (kind_ == MdiChild && g_frame) g_frame->showActiveMenus();
              }),
      KeyPreview([this] { return keyPreview_; }, [this](const bool& k) { keyPreview_ = k; }),
      MousePointer([this] { return mousePointer_; },
                   [this](const int32_t& p) {
                       mousePointer_ = p;
                       bool busy = p == vbHourglass;
                       if (busy && !cursorOverridden_) QApplication::setOverrideCursor(Qt::WaitCursor);
                       if (!busy && cursorOverridden_) QApplication::restoreOverrideCursor();
                       cursorOverridden_ = busy;
                   }),
      FontName([this] { return detail::FontName(window_); },
               [this](const std::string& name) { detail::SetFontName(window_, name); }),
      kind_(kind) {
    init();
}

void Form::init() {
    EnsureApplication();
    if (kind_ == MdiFrame) {
        className_ = "ThunderRT6MDIForm";
        window_ = new FrameWindow(this);
    } else {
        className_ = "ThunderRT6FormDC";
        window_ = new FormWindow(this);
        client_ = new QWidget(window_);
        window_->resize(320, 240);
        layoutClient();
    }
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    QObject::connect(window_, &QObject::destroyed, [this] {
        window_ = nullptr;
        client_ = nullptr;
    });
}

Form::~Form() {
    if (cursorOverridden_) QApplication::restoreOverrideCursor();
    if (loaded_) {
        detail::FormUnloaded();
        if (kind_ != MdiChild) user::WithdrawTopWindow(hwnd_);
    }
    if (hwnd_) user::DestroyWindow(hwnd_);
    if (kind_ == MdiChild && g_frame) g_frame->ChildUnloaded(this);
    detachFromFrame();
    delete window_;
    detail::FormLoadedCountChanged();
}

Control* Form::FindControl(const std::string& name) const {
    for (Control* c : controls_)
        if (c->Name == name) return c;
    return nullptr;
}

void Form::RegisterControl(Control* control) {
    controls_.push_back(control);
    tabOrder_.push_back(control);
}

void Form::UnregisterControl(Control* control) {
    std::erase(controls_, control);
    std::erase(tabOrder_, control);
}

// Only controls with a window take part in the tab order (menus, timers and common dialogs have
// none, so they have no place in it).
int32_t Form::TabIndexOf(const Control* control) const {
    int32_t place = 0;
    for (const Control* c : tabOrder_) {
        if (!c->Widget()) continue;
        if (c == control) return place;
        ++place;
    }
    return -1;
}

void Form::SetTabIndex(Control* control, int32_t index) {
    if (index < 0) detail::RaiseInvalidValue();
    std::vector<Control*> order;
    for (Control* c : tabOrder_)
        if (c != control && c->Widget()) order.push_back(c);
    order.insert(order.begin() + std::min<size_t>(size_t(index), order.size()), control);
    for (Control* c : tabOrder_)
        if (c != control && !c->Widget()) order.push_back(c);
    tabOrder_ = std::move(order);
    // The keyboard walks the widgets in the same order.
    QWidget* previous = nullptr;
    for (Control* c : tabOrder_) {
        QWidget* w = c->Widget();
        if (!w) continue;
        if (previous) QWidget::setTabOrder(previous, w);
        previous = w;
    }
}

void Form::RegisterMenu(Menu* menu, QAction* action) {
    topMenus_.push_back(menu);
    topMenuActions_.push_back(action);
    MenuBar()->addAction(action);
    layoutClient();
}

QMenuBar* Form::MenuBar() {
    if (!menuBar_) {
        if (kind_ == MdiFrame) {
            menuBar_ = static_cast<QMainWindow*>(window_)->menuBar();
        } else {
            menuBar_ = new QMenuBar(window_);
            menuBar_->setNativeMenuBar(false);
            menuBar_->setVisible(kind_ == TopLevel);
        }
    }
    return menuBar_;
}

std::vector<ILayoutControl*> Form::LayoutControls() {
    return std::vector<ILayoutControl*>(controls_.begin(), controls_.end());
}

void Form::outerPx(int& x, int& y, int& w, int& h) const {
    if (!sub_ && hasRequestedOuter_) {
        x = requestedOuter_[0], y = requestedOuter_[1], w = requestedOuter_[2], h = requestedOuter_[3];
        return;
    }
    QRect r = sub_ ? sub_->geometry() : window_->frameGeometry();
    x = r.x(), y = r.y(), w = r.width(), h = r.height();
}

double Form::outerLeftPx() const {
    int x, y, w, h;
    outerPx(x, y, w, h);
    return x;
}

double Form::outerTopPx() const {
    int x, y, w, h;
    outerPx(x, y, w, h);
    return y;
}

void Form::checkMovable() const {
    if (WindowState() != vbNormal) vb::Raise(384, "forms");
}

void Form::setOuterGeometryPx(int x, int y, int w, int h) {
    if (sub_) {
        sub_->setGeometry(x, y, std::max(w, 0), std::max(h, 0));
        placeInsideSubWindow();
    } else {
        // The frame's size is known once the window is on screen; until then remember the
        // outer rectangle and apply it again when the window shows.
        bool onScreen = window_->isVisible();
        hasRequestedOuter_ = !onScreen;
        requestedOuter_[0] = x, requestedOuter_[1] = y, requestedOuter_[2] = w, requestedOuter_[3] = h;
        QRect frame = window_->frameGeometry();
        QRect inner = window_->geometry();
        int dw = onScreen ? frame.width() - inner.width() : 0, dh = onScreen ? frame.height() - inner.height() : 0;
        window_->move(x, y);
        window_->resize(std::max(w - dw, 0), std::max(h - dh, 0));
    }
    layoutClient();
}

void Form::placeInsideSubWindow() {
    // A hidden widget takes a new geometry without a resize event (that waits until it shows),
    // so the sub-window's layout would not notice the change: it is told.
    if (!sub_ || !sub_->layout()) return;
    sub_->layout()->invalidate();
    sub_->layout()->activate();
}

void Form::layoutClient() {
    if (!client_ || kind_ == MdiFrame || !window_) return;
    int menuH = (menuBar_ && menuBar_->isVisibleTo(window_) && !menuBar_->actions().isEmpty())
                    ? menuBar_->sizeHint().height()
                    : 0;
    if (menuBar_) menuBar_->setGeometry(0, 0, window_->width(), menuH);
    client_->setGeometry(0, menuH, window_->width(), std::max(window_->height() - menuH, 0));
}

PixelRect Form::WindowRectPx() const {
    if (sub_) {
        QPoint origin = sub_->mdiArea()->viewport()->mapToGlobal(sub_->pos());
        return {origin.x(), origin.y(), origin.x() + sub_->width(), origin.y() + sub_->height()};
    }
    int x, y, w, h;
    outerPx(x, y, w, h);
    return {x, y, x + w, y + h};
}

PixelRect Form::ClientRectPx() const {
    if (kind_ == MdiFrame) {
        // The area inside the frame's borders, with or without the scroll bars it shows while a
        // child lies partly outside: sizes worked out from it (a frame sized around its
        // children, children tiled over it) do not change with a scroll bar that comes and goes
        // as the children are placed one after the other.
        const QRect inside = static_cast<const MDIForm*>(this)->Area()->contentsRect();
        return {0, 0, inside.width(), inside.height()};
    }
    if (!client_) return {};
    return {0, 0, client_->width(), client_->height()};
}

PixelPoint Form::ParentOriginPx() const {
    if (sub_) {
        QPoint p = sub_->mdiArea()->viewport()->mapToGlobal(QPoint(0, 0));
        return {p.x(), p.y()};
    }
    return {};
}

void Form::publish() {
    if (kind_ == MdiChild) return;
    user::PublishTopWindow(hwnd_, className_, caption_, Visible());
}

void Form::Load() {
    if (loaded_) return;
    if (kind_ == MdiChild) {
        MDIForm* frame = MDIForm::Current();
        if (!frame) vb::Raise(366, "forms", "No MDI form available to load");
        // Loading a child loads its frame and puts the frame on screen, as the platform does;
        // the frame's own Show later only activates it.
        frame->Load();
        if (frame->IsLoaded() && !frame->window_->isVisible()) frame->showTopLevel(false);
        attachToFrame();
    }
    hwnd_ = user::CreateWindow(className_, caption_, [this](user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) {
        if (msg == user::WM_SETTEXT) {
            Caption = l ? std::string(reinterpret_cast<const char*>(l)) : std::string();
            return user::LRESULT(1);
        }
        if (msg == user::WM_CLOSE) {
            Unload(vbFormControlMenu);
            return user::LRESULT(0);
        }
        return user::DefWindowProc(h, msg, w, l);
    });
    loaded_ = true;
    std::fill(lastResize_, lastResize_ + 5, -1);
    detail::FormLoaded();
    for (Control* c : controls_) c->ResetForLoad();
    designing_ = true;
    detail::Fire("Form_Design", [&] { Form_Design(); });
    designing_ = false;
    publish();
    detail::Fire("Form_Load", [&] { Form_Load(); });
}

void Form::attachToFrame() {
    MDIForm* frame = MDIForm::Current();
    if (!frame || sub_) return;
    QSize size = window_->size();
    sub_ = frame->Area()->addSubWindow(window_);
    sub_->setAttribute(Qt::WA_DeleteOnClose, false);
    sub_->setOption(QMdiSubWindow::RubberBandResize, false);
    auto* tap = new EventTap([this](QObject*, QEvent* e) {
        if (e->type() == QEvent::WindowStateChange) HandleStateChange();
        if (e->type() == QEvent::Resize) HandleResize();
        return false;
    });
    tap->setParent(sub_);
    sub_->installEventFilter(tap);
    subTap_ = tap;
    // Keep the window's outer size as it was set before it went into the frame. The sub-window
    // learns its frame margins (title bar, borders) from the style when it is polished, which
    // otherwise happens only when it first shows: until then the window inside would be measured
    // against a frame of no size, and a window that sizes itself at load would get it wrong.
    sub_->ensurePolished();
    const QMargins margins = sub_->contentsMargins();
    sub_->resize(size.width() + margins.left() + margins.right(), size.height() + margins.top() + margins.bottom());
    placeInsideSubWindow();
    frame->children_.push_back(this);
}

void Form::detachFromFrame() {
    if (!sub_) return;
    QMdiSubWindow* sub = sub_;
    sub_ = nullptr;
    // The form no longer hears from this sub-window.
    if (subTap_) sub->removeEventFilter(subTap_);
    subTap_ = nullptr;
    QMdiArea* area = sub->mdiArea();
    if (window_) {
        if (area) area->removeSubWindow(window_);
        window_->setParent(nullptr);
        window_->hide();
    }
    // The unload may run inside one of the sub-window's own events: its close box unloads the
    // form from inside the sub-window's mouse release, which goes on to repaint the title bar
    // once the close returns. So the sub-window leaves the frame now, empty and hidden, and is
    // deleted when control is back in the event loop.
    sub->hide();
    if (area) area->removeSubWindow(sub);
    sub->deleteLater();
    layoutClient();
}

void Form::Show(int32_t modal, Form* owner) {
    (void)owner;
    Load();
    if (!loaded_) return;  // unloaded while loading
    if (sub_) {
        sub_->show();
        window_->show();
        sub_->mdiArea()->setActiveSubWindow(sub_);
        layoutClient();
    } else {
        showTopLevel(modal == vbModal);
    }
    detail::Fire("Form_Activate", [&] { Form_Activate(); });
    if (modal == vbModal && !sub_) {
        // A nested loop that keeps timers and posted messages running, as a modal window does.
        while (loaded_ && window_ && window_->isVisible()) {
            QEventLoop loop;
            auto* tap = new EventTap([&loop](QObject*, QEvent* e) {
                if (e->type() == QEvent::Hide) loop.quit();
                return false;
            });
            window_->installEventFilter(tap);
            loop.exec();
            if (window_) window_->removeEventFilter(tap);
            delete tap;
        }
        if (window_) window_->setWindowModality(Qt::NonModal);
    }
}

void Form::showTopLevel(bool modal) {
    if (modal) window_->setWindowModality(Qt::ApplicationModal);
    window_->show();
    if (hasRequestedOuter_)
        setOuterGeometryPx(requestedOuter_[0], requestedOuter_[1], requestedOuter_[2], requestedOuter_[3]);
    if (QGuiApplication::platformName() != "offscreen") window_->raise();
    layoutClient();
    user::SetTopWindowVisible(hwnd_, true);
}

void Form::Hide() {
    if (!loaded_) Load();
    if (sub_) sub_->hide();
    else window_->hide();
    if (kind_ != MdiChild && hwnd_) user::SetTopWindowVisible(hwnd_, false);
}

bool Form::Unload(int32_t unloadMode) { return unload(unloadMode, true); }

bool Form::unload(int32_t unloadMode, bool askFirst) {
    if (!loaded_ || unloading_) return true;
    unloading_ = true;
    int32_t cancel = 0;
    if (askFirst) detail::Fire("Form_QueryUnload", [&] { Form_QueryUnload(cancel, unloadMode); });
    if (cancel == 0 && kind_ == MdiFrame && !static_cast<MDIForm*>(this)->unloadChildren(vbFormMDIForm)) cancel = 1;
    if (cancel == 0) detail::Fire("Form_Unload", [&] { Form_Unload(cancel); });
    if (cancel != 0) {
        unloading_ = false;
        return false;
    }
    for (Control* c : controls_) c->StopForUnload();
    if (cursorOverridden_) {
        QApplication::restoreOverrideCursor();
        cursorOverridden_ = false;
        mousePointer_ = vbDefault;
    }
    if (kind_ == MdiChild && g_frame) g_frame->ChildUnloaded(this);
    detachFromFrame();
    if (window_) window_->hide();
    if (kind_ != MdiChild) user::WithdrawTopWindow(hwnd_);
    user::DestroyWindow(hwnd_);
    hwnd_ = 0;
    loaded_ = false;
    unloading_ = false;
    detail::FormUnloaded();
    AfterUnload();
    detail::FormLoadedCountChanged();
    return true;
}

void Form::Refresh() {
    if (redrawHeld_) return;
    if (window_ && window_->isVisible()) window_->repaint();
}

void Form::RefreshWhenIdle() {
    if (window_ && window_->isVisible()) window_->update();
}

// Not the widgets' own switch for painting: turning that back on asks for the whole window
// to be painted again, though only a few of its controls changed.
void Form::HoldRedraw(bool hold) { redrawHeld_ = hold; }

void Form::SetFocus() {
    if (sub_) sub_->mdiArea()->setActiveSubWindow(sub_);
    if (window_) window_->activateWindow();
}

void Form::ZOrder(int32_t position) {
    QWidget* w = sub_ ? static_cast<QWidget*>(sub_) : window_;
    if (position == 0) w->raise();
    else w->lower();
}

void Form::Move(double left, double top, double width, double height) {
    checkMovable();
    int x, y, w, h;
    outerPx(x, y, w, h);
    setOuterGeometryPx(pxFromTwips(left, Tpx()), top < 0 ? y : pxFromTwips(top, Tpy()),
                       width < 0 ? w : pxFromTwips(width, Tpx()), height < 0 ? h : pxFromTwips(height, Tpy()));
}

bool Form::SaveImage(const std::string& pngPath) {
    QWidget* w = sub_ ? static_cast<QWidget*>(sub_) : window_;
    if (!w) return false;
    return w->grab().save(QString::fromStdString(pngPath), "PNG");
}

void Form::HandleResize() {
    layoutClient();
    if (!loaded_ || designing_ || unloading_) return;
    int x, y, w, h;
    outerPx(x, y, w, h);
    PixelRect client = ClientRectPx();
    const int now[5] = {WindowState(), w, h, client.right, client.bottom};
    if (std::equal(now, now + 5, lastResize_)) return;
    std::copy(now, now + 5, lastResize_);
    detail::Fire("Form_Resize", [&] { Form_Resize(); });
}

void Form::HandleClose() {
    // A disabled window takes no input, its close box and window menu included.
    if (window_ && !window_->isEnabled()) return;
    Unload(vbFormControlMenu);
}

void Form::PreviewKeyDown(int32_t& keyCode, int32_t shift) {
    if (keyPreview_ && loaded_) detail::Fire("Form_KeyDown", [&] { Form_KeyDown(keyCode, shift); });
}

void Form::PreviewKeyPress(int32_t& keyAscii) {
    if (keyPreview_ && loaded_) detail::Fire("Form_KeyPress", [&] { Form_KeyPress(keyAscii); });
}

void Form::HandleKey(QKeyEvent* e) {
    if (!loaded_) return;
    int32_t code = KeyCodeOf(e);
    if (code) detail::Fire("Form_KeyDown", [&] { Form_KeyDown(code, ShiftOf(e)); });
    int32_t ascii = KeyAsciiOf(e);
    if (ascii) detail::Fire("Form_KeyPress", [&] { Form_KeyPress(ascii); });
}

void Form::HandleStateChange() { HandleResize(); }

void Form::HandleActivate() {
    if (loaded_) detail::Fire("Form_Activate", [&] { Form_Activate(); });
}

// ---------------------------------------------------------------------------------- MDIForm

MDIForm::MDIForm(std::string name) : Form(std::move(name), MdiFrame) {
    auto* main = static_cast<QMainWindow*>(window_);
    area_ = new QMdiArea(main);
    area_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    area_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    main->setCentralWidget(area_);
    client_ = area_;
    main->resize(800, 600);
    QObject::connect(area_, &QMdiArea::subWindowActivated, [this](QMdiSubWindow* sub) {
        Form* child = nullptr;
        for (Form* f : children_)
            if (f->sub_ == sub && sub) child = f;
        ChildActivated(child);
    });
    g_frame = this;
}

MDIForm::~MDIForm() {
    for (Form* f : children_) f->detachFromFrame();
    children_.clear();
    if (g_frame == this) g_frame = nullptr;
}

MDIForm* MDIForm::Current() { return g_frame; }

Form* MDIForm::ActiveForm() const {
    QMdiSubWindow* sub = area_->activeSubWindow();
    for (Form* f : children_)
        if (sub && f->sub_ == sub) return f;
    return nullptr;
}

std::vector<Form*> MDIForm::ChildForms() const { return children_; }

void MDIForm::Arrange(int32_t arrangement) {
    if (arrangement == 0) {
        area_->cascadeSubWindows();
        return;
    }
    // Tiles the visible children one above the other (1) or side by side (2), each as wide
    // (or as high) as the client area.
    std::vector<QMdiSubWindow*> subs;
    for (Form* f : children_)
        if (f->sub_ && f->sub_->isVisible() && !(f->sub_->windowState() & Qt::WindowMinimized)) subs.push_back(f->sub_);
    if (subs.empty()) return;
    QSize area = area_->viewport()->size();
    int n = int(subs.size());
    for (int i = 0; i < n; ++i) {
        subs[i]->showNormal();
        if (arrangement == 1) {
            int h = area.height() / n;
            subs[i]->setGeometry(0, i * h, area.width(), i == n - 1 ? area.height() - i * h : h);
        } else {
            int w = area.width() / n;
            subs[i]->setGeometry(i * w, 0, i == n - 1 ? area.width() - i * w : w, area.height());
        }
    }
}

void MDIForm::ChildActivated(Form* child) {
    showMenusOf(child && !child->TopMenus().empty() ? child : this);
    if (child) child->HandleActivate();
}

void MDIForm::showActiveMenus() {
    Form* child = ActiveForm();
    showMenusOf(child && !child->TopMenus().empty() ? child : this);
}

void MDIForm::showMenusOf(Form* form) {
    // The active child's menus take the frame's place, as the platform's MDI frames do. A child
    // can become the active one while it is disabled (Ctrl+Tab walks to it, or it was active
    // when it was disabled): it takes no input, so its menus show greyed and open for nobody,
    // access keys included.
    QMenuBar* bar = MenuBar();
    for (QAction* a : bar->actions()) bar->removeAction(a);
    for (QAction* a : form->topMenuActions_) bar->addAction(a);
    bar->setEnabled(form == this || (form->window_ && form->window_->isEnabled()));
}

void MDIForm::ChildUnloaded(Form* child) {
    std::erase(children_, child);
    if (ActiveForm() == nullptr) showMenusOf(this);
}

bool MDIForm::unloadChildren(int32_t mode) {
    // Every child is asked first; any of them can keep the frame open. Then they unload.
    auto children = children_;
    for (Form* child : children) {
        int32_t cancel = 0;
        detail::Fire("Form_QueryUnload", [&] { child->Form_QueryUnload(cancel, mode); });
        if (cancel != 0) return false;
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (!(*it)->unload(mode, false)) return false;
    return true;
}

void MDIForm::AfterUnload() {}

}  // namespace forms
