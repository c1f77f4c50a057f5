// Forms and controls over the desktop's widgets, in the shape the windows are written in.
//
// A window is a class derived from Form (or MDIForm) with its controls as members, declared in
// tab order; each control knows its name and its type name ("TextBox", "MSFlexGrid" ...), and
// the form keeps them in an ordered Controls collection. Geometry is in twips (15 to a pixel on
// an ordinary screen), control positions count from their container's client area, and the
// position of a child of the MDI frame counts from the frame's client area.
//
// Life cycle: the form object outlives its window. Load (or Show, which loads) runs the form's
// Form_Design (the design values of its controls) and then Form_Load; Unload asks
// Form_QueryUnload and Form_Unload, either of which may cancel, then hides the window, stops
// its timers and withdraws it; the same object can be shown again and loads afresh. Unloading a
// form that is not loaded, or is already unloading, does nothing. Unloading never deletes a
// widget at once: a close box, a button or a menu item may unload its own form from inside
// its event, so the MDI sub-window an unloaded child leaves behind is deleted only once control
// is back in the event loop.
//
// Everything here runs on the user-interface thread. Other threads reach a window only through
// the window messages of platform/user (PostMessage), which the event loop delivers.
#pragma once

#include "forms/app.h"
#include "forms/layout_window.h"
#include "forms/property.h"
#include "user/user.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;
class QMdiSubWindow;
class QMdiArea;
class QMenuBar;
class QObject;
class QKeyEvent;
class QAction;

namespace forms {

class Form;
class MDIForm;
class Control;
class Menu;

// Twips per pixel on the screen in force.
double Tpx();
double Tpy();
int32_t ToPixelsX(double twips);
int32_t ToPixelsY(double twips);
// Dialog units in twips. A dialog is laid out in units of its font: across, a quarter of the
// font's average character width; down, an eighth of its height. They follow the font in use,
// so a caption sized in them fits whatever font the desktop gives (8-point MS Sans Serif at
// 96 dpi makes 1.5 and 1.625 pixels; without a desktop those are the units).
double DialogUnitsX(double units);
double DialogUnitsY(double units);
// Twips per pixel at the scale of the application's font: 15 at the design font (8-point MS Sans
// Serif, 96 dpi), fewer where the font in use is larger. The desktop's screen uses them.
double DesktopTwipsPerPixelX();
double DesktopTwipsPerPixelY();

// Starts the desktop application object when none runs yet (argc/argv are optional), installs
// the event-loop hooks: DoEvents, wake-ups for posted window messages, the interactive dialog
// presenter and the screen. Every Form does this on construction.
void EnsureApplication();
// Lets pending events, posted window messages and due timer ticks run, as the platform's
// DoEvents does. Also what clk::DoEvents runs once the application has started.
void DoEvents();
// Publishes the program's hidden application window (class "ThunderRT6Main", caption
// App().Title) for other programs that follow this one: it stays until the process ends, past
// the unloading of every form, and disappears with the process however it ends. Only the
// programs others watch this way call it; calling it again does nothing. Returns its handle.
user::HWND PublishApplicationWindow();

// Sounds the system's beep.
void Beep();
// Runs the event loop until no form is loaded any more (the program's main loop).
int RunMessageLoop();
// Ends the program on a request from outside: SIGTERM (as a desktop session sends when it ends)
// or SIGINT (Ctrl-C in a terminal). `end` runs on the user-interface thread in whatever event
// loop is running when the request comes, a modal box's included, and ends the program its
// normal way (it closes the program's frame or main window); message and input boxes asked for
// meanwhile get the answer nobody can give (OK, Cancel, No) at once. Where the program still
// runs afterwards (it had nothing to close yet, or it refuses for now), the boxes that are open
// are answered the same way, so that the code that asked goes on to its own end instead of
// waiting for a person. Installed once; a later call replaces `end`.
void EndOnRequest(std::function<void()> end);
// Whether such a request has come (a program that was not ready to end yet looks once it is).
// True from the moment the signal arrives, before any event loop has heard it: work that runs
// long inside one event looks between its steps and stops early, and a wait on something
// outside the program (a lock another process holds) stops waiting.
bool EndRequested();
// Where an error that escaped an event handler is reported (standard error by default). No
// error leaves an event handler into the event loop.
void SetUnhandledErrorHandler(std::function<void(const std::string&)> handler);

// Window states.
enum : int32_t { vbNormal = 0, vbMinimized = 1, vbMaximized = 2 };
// Show modes.
enum : int32_t { vbModeless = 0, vbModal = 1 };
// Why a form unloads (Form_QueryUnload).
enum : int32_t { vbFormControlMenu = 0, vbFormCode = 1, vbAppWindows = 2, vbAppTaskManager = 3, vbFormMDIForm = 4 };
// Mouse pointers.
enum : int32_t { vbDefault = 0, vbArrow = 1, vbHourglass = 11 };

// Keyboard: a key press as the character code a window sees (0: none), and key codes.
int32_t KeyAsciiOf(const QKeyEvent* event);
int32_t KeyCodeOf(const QKeyEvent* event);
int32_t ShiftOf(const QKeyEvent* event);  // 1 shift, 2 ctrl, 4 alt

// The layout interfaces' geometry, read and written through the window's or control's own
// Top, Left, Width and Height properties (twips).
template <class Interface, class Self>
class TwipsGeometry : public Interface {
public:
    double LayoutTop() const override { return self().Top(); }
    double LayoutLeft() const override { return self().Left(); }
    double LayoutWidth() const override { return self().Width(); }
    double LayoutHeight() const override { return self().Height(); }
    void SetLayoutTop(double twips) override { self().Top = twips; }
    void SetLayoutLeft(double twips) override { self().Left = twips; }
    void SetLayoutWidth(double twips) override { self().Width = twips; }
    void SetLayoutHeight(double twips) override { self().Height = twips; }

private:
    const Self& self() const { return static_cast<const Self&>(*this); }
    Self& self() { return static_cast<Self&>(*this); }
};

// Something controls sit on: a form's client area or a frame.
class Container {
public:
    virtual ~Container() = default;
    virtual QWidget* ContainerWidget() const = 0;
    virtual Form& OwnerForm() = 0;
};

// A form with the look of the platform's windows, placed on screen or inside the MDI frame.
class Form : public Container, public TwipsGeometry<ILayoutWindow, Form> {
public:
    enum Kind { TopLevel, MdiChild, MdiFrame };

    // `name` is the design name ("frmShell"); `mdiChild` places the form inside the MDI frame.
    explicit Form(std::string name, bool mdiChild = false);
    ~Form() override;
    Form(const Form&) = delete;
    Form& operator=(const Form&) = delete;

    const std::string Name;
    Property<std::string> Caption;
    Property<double> Top;
    Property<double> Left;
    Property<double> Width;
    Property<double> Height;
    Property<double> ScaleWidth;   // client area, twips (read-only here)
    Property<double> ScaleHeight;
    Property<int32_t> WindowState;
    Property<bool> Visible;
    Property<bool> Enabled;
    Property<bool> KeyPreview;
    Property<int32_t> MousePointer;
    Property<std::string> FontName;  // the window's font, which its controls take unless they set their own

    bool MDIChild() const { return kind_ == MdiChild; }
    bool IsLoaded() const { return loaded_; }
    user::HWND hWnd() const { return hwnd_; }
    // The class other programs see for this window ("ThunderRT6FormDC", "ThunderRT6MDIForm").
    std::string ClassName() const { return className_; }
    // Top-level windows can be given another class before they load (a hidden application
    // window, a message box).
    void SetClassName(std::string className) { className_ = std::move(className); }

    // The controls in the order they were declared.
    const std::vector<Control*>& Controls() const { return controls_; }
    // The first control of that name (nullptr when none).
    Control* FindControl(const std::string& name) const;

    void Load();
    void Show(int32_t modal = vbModeless, Form* owner = nullptr);
    void Hide();
    // Returns false when the unload was cancelled.
    bool Unload(int32_t unloadMode = vbFormCode);
    void Refresh();
    // Asks for a paint when events next run, not now: any number of calls before then paint
    // the window once, showing it as it stands at that moment. For a window changed many
    // times in a row (a log that grows line by line) where only the last state need be seen.
    void RefreshWhenIdle();
    // While held, Refresh does not paint. Controls changed meanwhile ask for their own areas
    // to be painted, and those areas are painted once, when events next run (after the hold,
    // as nothing lets events run inside it): letting go paints nothing by itself. For a change
    // of many controls that the user should see as one, at the cost of what changed.
    void HoldRedraw(bool hold);
    void SetFocus();
    void ZOrder(int32_t position = 0);
    void Move(double left, double top = -1, double width = -1, double height = -1);

    // Saves the form as it looks now as a PNG file.
    bool SaveImage(const std::string& pngPath);

    // The window layer's widgets, for drawing code and tests.
    QWidget* WindowWidget() const { return window_; }
    QWidget* ContainerWidget() const override { return client_; }
    Form& OwnerForm() override { return *this; }
    QMenuBar* MenuBar();  // created on first use

    // What the layout code sees.
    std::string LayoutName() const override { return Name; }
    std::string TypeName() const override { return kind_ == MdiFrame ? "MDIForm" : "Form"; }
    int32_t LayoutWindowState() const override { return WindowState(); }
    std::vector<ILayoutControl*> LayoutControls() override;
    PixelRect WindowRectPx() const override;
    PixelRect ClientRectPx() const override;
    PixelPoint ParentOriginPx() const override;

    // Window-layer plumbing (controls register themselves; the widgets report events).
    void RegisterControl(Control* control);
    void UnregisterControl(Control* control);
    // The tab order: every control in declaration order to begin with; a control given another
    // TabIndex moves to that place and the ones behind it move up by one.
    int32_t TabIndexOf(const Control* control) const;
    void SetTabIndex(Control* control, int32_t index);
    // A menu title of this form; `action` is its entry on the menu bar.
    void RegisterMenu(Menu* menu, QAction* action);
    const std::vector<Menu*>& TopMenus() const { return topMenus_; }
    bool Designing() const { return designing_; }
    void HandleResize();
    void HandleClose();
    // With KeyPreview, the form sees a control's keys first (and may change or swallow them).
    void PreviewKeyDown(int32_t& keyCode, int32_t shift);
    void PreviewKeyPress(int32_t& keyAscii);
    void HandleKey(QKeyEvent* event);
    void HandleStateChange();
    void HandleActivate();
    QMdiSubWindow* SubWindow() const { return sub_; }

protected:
    Form(std::string name, Kind kind);

    // The design values of the controls; runs on every load, before Form_Load. Properties that
    // may only be set at design time can be set here.
    virtual void Form_Design() {}
    virtual void Form_Load() {}
    virtual void Form_Activate() {}
    virtual void Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) { (void)Cancel, (void)UnloadMode; }
    virtual void Form_Unload(int32_t& Cancel) { (void)Cancel; }
    virtual void Form_Resize() {}
    virtual void Form_KeyPress(int32_t& KeyAscii) { (void)KeyAscii; }
    virtual void Form_KeyDown(int32_t& KeyCode, int32_t Shift) { (void)KeyCode, (void)Shift; }

    // The frame's hooks for its children.
    virtual void AfterUnload() {}

private:
    friend class MDIForm;
    void init();
    bool unload(int32_t unloadMode, bool askFirst);
    void attachToFrame();
    void detachFromFrame();
    void publish();
    void showTopLevel(bool modal);
    double outerLeftPx() const;
    double outerTopPx() const;
    void checkMovable() const;
    void setOuterGeometryPx(int x, int y, int w, int h);
    void outerPx(int& x, int& y, int& w, int& h) const;
    void layoutClient();
    // Fits the window inside its MDI sub-window to the sub-window's size, shown or not.
    void placeInsideSubWindow();

    Kind kind_;
    std::string className_;
    QWidget* window_ = nullptr;   // the window (inside sub_ for an MDI child)
    QWidget* client_ = nullptr;   // controls sit here
    QMenuBar* menuBar_ = nullptr;
    QMdiSubWindow* sub_ = nullptr;
    QObject* subTap_ = nullptr;  // the sub-window's event filter that reports to this form
    user::HWND hwnd_ = 0;
    std::string caption_;
    bool loaded_ = false;
    bool redrawHeld_ = false;
    bool unloading_ = false;
    bool designing_ = false;
    bool keyPreview_ = false;
    int32_t mousePointer_ = vbDefault;
    bool cursorOverridden_ = false;
    // The outer rectangle asked for while the window was not yet on screen (its frame's size
    // is known only once it shows).
    bool hasRequestedOuter_ = false;
    int requestedOuter_[4] = {0, 0, 0, 0};
    std::vector<Control*> controls_;
    std::vector<Control*> tabOrder_;
    std::vector<Menu*> topMenus_;
    std::vector<QAction*> topMenuActions_;  // the menu bar entries of topMenus_
    // State and sizes of the last Resize event, so one change raises one event however many
    // widgets report it (an MDI child's frame and its inside both do).
    int lastResize_[5] = {-1, -1, -1, -1, -1};
};

// The one MDI frame of a program: its client area holds the MDI child forms.
class MDIForm : public Form {
public:
    explicit MDIForm(std::string name);
    ~MDIForm() override;

    // The active child form (nullptr when none).
    Form* ActiveForm() const;
    // 0 cascade, 1 tile horizontally (one above the other), 2 tile vertically.
    void Arrange(int32_t arrangement);
    // The loaded child forms in the order they were opened.
    std::vector<Form*> ChildForms() const;
    QMdiArea* Area() const { return area_; }

    // The frame that MDI child forms go into.
    static MDIForm* Current();

    // Window-layer plumbing.
    void ChildActivated(Form* child);
    void ChildUnloaded(Form* child);

protected:
    void AfterUnload() override;

private:
    friend class Form;
    // Shows the active child's menus (the frame's own when it has none), usable while it is
    // enabled.
    void showActiveMenus();
    void showMenusOf(Form* form);
    bool unloadChildren(int32_t mode);
    QMdiArea* area_ = nullptr;
    std::vector<Form*> children_;
};

// Raises run-time error 383 for a property that cannot be set while the program runs.
[[noreturn]] void RaiseReadOnly(const std::string& property);

}  // namespace forms
