// What every control of a form has, whatever its kind.
#pragma once

#include "forms/form.h"
#include "forms/layout_window.h"
#include "forms/property.h"
#include "user/user.h"

#include <cstdint>
#include <functional>
#include <string>

class QKeyEvent;
class QWidget;

namespace forms {

// The controls of a form: name, type name, geometry in twips, Visible and Enabled, and a place
// in the form's Controls collection. The members of a control array share one name and carry
// their index.
class Control : public TwipsGeometry<ILayoutControl, Control> {
public:
    Control(Container* container, std::string name, int32_t index = -1);
    ~Control() override;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    const std::string Name;
    const int32_t Index;  // -1 outside a control array
    virtual std::string TypeName() const override = 0;

    Property<double> Top;
    Property<double> Left;
    Property<double> Width;
    Property<double> Height;
    Property<bool> Visible;
    Property<bool> Enabled;
    Property<std::string> ToolTipText;
    Property<int32_t> TabIndex;  // place in the form's tab order, from 0
    std::string Tag;

    std::function<void(int32_t& KeyAscii)> KeyPress;
    std::function<void(int32_t& KeyCode, int32_t Shift)> KeyDown;
    std::function<void(int32_t& KeyCode, int32_t Shift)> KeyUp;
    std::function<void()> GotFocus;
    std::function<void()> LostFocus;

    void SetFocus();
    void ZOrder(int32_t position = 0);
    void Move(double left, double top = -1, double width = -1, double height = -1);
    void Refresh();
    Form& Parent() const { return *form_; }
    QWidget* Widget() const { return widget_; }
    // A window handle for the control, created on first use; its procedure starts as the
    // control's own (text boxes answer WM_SETTEXT/WM_GETTEXT with their text).
    user::HWND hWnd();

    // What the layout code sees.
    std::string LayoutName() const override { return Name; }

    // Window-layer plumbing.
    virtual void ResetForLoad() {}
    virtual void StopForUnload() {}
    bool RouteKey(QKeyEvent* event, bool press);  // true: swallowed

protected:
    // For controls without a widget (timers, menus, common dialogs).
    struct NoWidget {};
    Control(Container* container, std::string name, int32_t index, NoWidget);

    void SetWidget(QWidget* widget);
    // Raises error 383 naming the property unless the form is being designed.
    void RequireDesignTime(const std::string& property) const;
    // The control's own window procedure for hWnd (default handling unless overridden).
    virtual user::LRESULT OwnWindowProc(user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l);
    virtual bool HeightIsReadOnly() const { return false; }
    // The text the control's window handle starts with (a text box's text).
    virtual std::string WindowText() const { return ""; }
    // Types a character a key handler put in place of the key's own; false: not a text control.
    virtual bool InsertTypedChar(int32_t keyAscii) { (void)keyAscii; return false; }
    virtual bool VisibleValue() const;
    virtual void ApplyVisible(bool visible);
    virtual bool EnabledValue() const;
    virtual void ApplyEnabled(bool enabled);
    bool HasWindowHandle() const { return hwnd_ != 0; }

    Form* form_;
    Container* container_;

private:
    QWidget* widget_ = nullptr;
    user::HWND hwnd_ = 0;
    std::string toolTip_;
};

}  // namespace forms
