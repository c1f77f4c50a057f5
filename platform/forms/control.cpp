#include "forms/control.h"
#include "forms/internal.h"

#include "vbrt/error.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <cmath>

namespace forms {

namespace {

class KeyTap : public QObject {
public:
    explicit KeyTap(Control* c) : c_(c) {}
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::KeyPress: return c_->RouteKey(static_cast<QKeyEvent*>(e), true);
        case QEvent::KeyRelease: return c_->RouteKey(static_cast<QKeyEvent*>(e), false);
        case QEvent::FocusIn:
            if (c_->GotFocus) detail::Fire("GotFocus", c_->GotFocus);
            return false;
        case QEvent::FocusOut:
            if (c_->LostFocus) detail::Fire("LostFocus", c_->LostFocus);
            return false;
        default: return false;
        }
    }

private:
    Control* c_;
};

int32_t px(double twips, double tpp) { return int32_t(std::lround(twips / tpp)); }

}  // namespace

// --------------------------------------------------------------------------------- keyboard

int32_t KeyAsciiOf(const QKeyEvent* e) {
    const auto mods = e->modifiers();
    const int key = e->key();
    if (mods & Qt::ControlModifier) {
        if (key >= Qt::Key_A && key <= Qt::Key_Z) return key - Qt::Key_A + 1;
        switch (key) {
        case Qt::Key_BracketLeft: return 27;
        case Qt::Key_Backslash: return 28;
        case Qt::Key_BracketRight: return 29;
        case Qt::Key_AsciiCircum: return 30;
        case Qt::Key_Underscore: return 31;
        default: break;
        }
    }
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return 13;
    case Qt::Key_Backspace: return 8;
    case Qt::Key_Tab: return 9;
    case Qt::Key_Escape: return 27;
    default: break;
    }
    QString t = e->text();
    if (t.isEmpty()) return 0;
    char16_t u = t.at(0).unicode();
    if (u < 0x20 || u == 0x7F) return 0;
    return int32_t(static_cast<unsigned char>(detail::FromQ(QString(t.at(0)))[0]));
}

int32_t KeyCodeOf(const QKeyEvent* e) {
    const int key = e->key();
    if (key >= Qt::Key_A && key <= Qt::Key_Z) return 'A' + (key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return '0' + (key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F16) return 0x70 + (key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab: return 0x09;
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Shift: return 0x10;
    case Qt::Key_Control: return 0x11;
    case Qt::Key_Alt: return 0x12;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    default: return 0;
    }
}

int32_t ShiftOf(const QKeyEvent* e) {
    int32_t s = 0;
    if (e->modifiers() & Qt::ShiftModifier) s |= 1;
    if (e->modifiers() & Qt::ControlModifier) s |= 2;
    if (e->modifiers() & Qt::AltModifier) s |= 4;
    return s;
}

// ---------------------------------------------------------------------------------- Control

Control::Control(Container* container, std::string name, int32_t index)
    : Control(container, std::move(name), index, NoWidget{}) {}

Control::Control(Container* container, std::string name, int32_t index, NoWidget)
    : Name(std::move(name)),
      Index(index),
      Top([this] { return widget_ ? widget_->y() * Tpy() : 0.0; },
          [this](const double& t) {
              if (widget_) widget_->move(widget_->x(), px(t, Tpy()));
          }),
      Left([this] { return widget_ ? widget_->x() * Tpx() : 0.0; },
           [this](const double& l) {
               if (widget_) widget_->move(px(l, Tpx()), widget_->y());
           }),
      Width([this] { return widget_ ? widget_->width() * Tpx() : 0.0; },
            [this](const double& w) {
                if (w < 0) vb::Raise(380, "forms", "Invalid property value");
                if (widget_) widget_->resize(px(w, Tpx()), widget_->height());
            }),
      Height([this] { return widget_ ? widget_->height() * Tpy() : 0.0; },
             [this](const double& h) {
                 if (HeightIsReadOnly() && !form_->Designing()) RaiseReadOnly("Height");
                 if (h < 0) vb::Raise(380, "forms", "Invalid property value");
                 if (widget_) widget_->resize(widget_->width(), px(h, Tpy()));
             }),
      Visible([this] { return VisibleValue(); }, [this](const bool& v) { ApplyVisible(v); }),
      Enabled([this] { return EnabledValue(); }, [this](const bool& e) { ApplyEnabled(e); }),
      ToolTipText([this] { return toolTip_; },
                  [this](const std::string& t) {
                      toolTip_ = t;
                      if (widget_) widget_->setToolTip(detail::ToQ(t));
                  }),
      TabIndex([this] { return form_->TabIndexOf(this); },
               [this](const int32_t& i) { form_->SetTabIndex(this, i); }),
      form_(&container->OwnerForm()),
      container_(container) {
    form_->RegisterControl(this);
}

Control::~Control() {
    form_->UnregisterControl(this);
    if (hwnd_) user::DestroyWindow(hwnd_);
    delete widget_;
}

void Control::SetWidget(QWidget* widget) {
    widget_ = widget;
    QObject::connect(widget_, &QObject::destroyed, [this] { widget_ = nullptr; });
    auto* tap = new KeyTap(this);
    tap->setParent(widget_);
    widget_->installEventFilter(tap);
    widget_->show();
}

void Control::RequireDesignTime(const std::string& property) const {
    if (!form_->Designing()) RaiseReadOnly(property);
}

bool Control::RouteKey(QKeyEvent* e, bool press) {
    if (!form_->IsLoaded()) return false;
    int32_t code = KeyCodeOf(e);
    const int32_t shift = ShiftOf(e);
    if (!press) {
        if (code && KeyUp) detail::Fire("KeyUp", [&] { KeyUp(code, shift); });
        return false;
    }
    if (code) {
        form_->PreviewKeyDown(code, shift);
        if (code == 0) return true;
        if (KeyDown) detail::Fire("KeyDown", [&] { KeyDown(code, shift); });
        if (code == 0) return true;
    }
    const int32_t typed = KeyAsciiOf(e);
    int32_t ascii = typed;
    if (ascii) {
        form_->PreviewKeyPress(ascii);
        if (ascii == 0) return true;
        if (KeyPress) detail::Fire("KeyPress", [&] { KeyPress(ascii); });
        if (ascii == 0) return true;
        // A handler that changed the character has it typed instead of the key's own.
        if (ascii != typed) return InsertTypedChar(ascii);
    }
    return false;
}

user::HWND Control::hWnd() {
    if (!hwnd_) {
        hwnd_ = user::CreateWindow("ThunderRT6" + TypeName(), "",
                                   [this](user::HWND h, uint32_t m, user::WPARAM w, user::LPARAM l) {
                                       return OwnWindowProc(h, m, w, l);
                                   });
        user::SetWindowTextDirect(hwnd_, WindowText());
    }
    return hwnd_;
}

user::LRESULT Control::OwnWindowProc(user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) {
    return user::DefWindowProc(h, msg, w, l);
}

bool Control::VisibleValue() const { return widget_ && !widget_->isHidden(); }
void Control::ApplyVisible(bool v) {
    if (widget_) widget_->setVisible(v);
}
bool Control::EnabledValue() const { return !widget_ || widget_->isEnabled(); }
void Control::ApplyEnabled(bool e) {
    if (widget_) widget_->setEnabled(e);
}

void Control::SetFocus() {
    if (widget_) widget_->setFocus();
}

void Control::ZOrder(int32_t position) {
    if (!widget_) return;
    if (position == 0) widget_->raise();
    else widget_->lower();
}

void Control::Move(double left, double top, double width, double height) {
    Left = left;
    if (top >= 0) Top = top;
    if (width >= 0) Width = width;
    // A control whose height follows its font keeps it.
    if (height >= 0 && !HeightIsReadOnly()) Height = height;
}

void Control::Refresh() {
    if (widget_ && widget_->isVisible()) widget_->repaint();
}

}  // namespace forms
