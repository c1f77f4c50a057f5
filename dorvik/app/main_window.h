// The mixer panel's one top-level window (class "Lumarel460Pannel"): the "BACK" picture with the
// channel strips on it, the menu of sample rate, latencies, wheel step, factory settings and
// always-on-top, and the icon in the notification area. It starts hidden; a click on the icon
// or a second start of the program shows it, Close Window and the close box hide it again, and
// Exit destroys it, which ends the program.
//
// Other processes find the window in the window registry (with its caption and visibility) and
// post it message 0x405 through its mailbox.
#pragma once

#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "core/panel.h"
#include "strips/strip_set.h"
#include "app/tray_icon.h"
#include "user/user.h"

class QAction;
class QDialog;
class QMenu;

namespace user {
class WindowMailbox;
}

namespace dorvik {

class ClockTimer;

inline constexpr const char* kWindowClass = "Lumarel460Pannel";
// Posted by a second start of the program: show the panel.
inline constexpr uint32_t kWmShowPanel = user::WM_USER + 5;
// The tray icon's callback message; lParam carries the mouse message.
inline constexpr uint32_t kWmTrayIcon = user::WM_USER;
inline constexpr uint32_t kTrayIconId = 1287;
// Window messages the procedure handles besides those.
inline constexpr uint32_t kWmEndSession = 0x0016;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kWmSysCommand = 0x0112;
inline constexpr uint32_t kWmDeviceChange = 0x0219;
inline constexpr uint32_t kScClose = 0xF060;
// How often the panel looks for an audio interface that came or went.
inline constexpr uint32_t kDeviceCheckMs = 500;

class MainWindow : public QMainWindow, public MixerUi, public ControlParent {
public:
    // Creates the window hidden: tray icon, attachment, position, settings and strips.
    explicit MainWindow(std::unique_ptr<TrayIcon> tray);
    ~MainWindow() override;

    // The window procedure for posted and sent window messages.
    user::LRESULT MainWndProc(user::HWND hwnd, uint32_t msg, user::WPARAM wParam, user::LPARAM lParam);
    // Exit: saves, frees the strips, removes the tray icon and ends the event loop. Once.
    void DestroyPanel();
    // A request to end from outside (a session's end, Ctrl-C): the program ends as Exit ends
    // it, the About box closed if it is up.
    void EndFromOutside();
    bool Destroyed() const { return destroyed_; }
    // The program's exit code when the window was destroyed before the event loop ran: 1 when
    // the panel could not start (its settings were locked by another process), else 0.
    int ExitCode() const { return exitCode_; }
    // What ends the program's event loop when the window is destroyed (given the quit code).
    void SetQuitHandler(std::function<void(int)> quit) { quit_ = std::move(quit); }

    Panel& panel() { return *panel_; }
    StripSet* strips() { return strips_.get(); }
    user::HWND hwnd() const { return hwnd_; }
    // The menu item of a command id, or null.
    QAction* Action(int id) const;
    QWidget* Client() const { return client_; }
    bool AlwaysOnTop() const { return alwaysOnTop_; }
    // The tray icon could not be shown (no notification area).
    bool NoTray() const { return noTray_; }

    // MixerUi
    void SetTitle(const std::string& title) override;
    void CreateMixerStrips() override;
    void UpdateMixerStrips() override;
    void EnablePanKnobs(bool enable) override;
    void ShowMixerStrips(bool shown) override;
    void UpdateRateMenu() override;
    void UpdateAsioMenu() override;
    void UpdateWdmMenu() override;
    void UpdateClockMenu() override;
    void UpdateWheelMenu() override;
    void ShowAboutBox() override;
    void WindowPosition(int32_t& x, int32_t& y) override;

    // ControlParent
    void OnFaderNotify(int id, uint32_t wParam, int32_t position) override;
    void OnKnobNotify(int id, uint32_t wParam, int32_t position) override;
    void OnToggleNotify(int id) override;

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenu();
    QAction* addItem(QMenu* menu, const char* text, int id);
    void onCommand(int id);
    void setMark(int id, bool on);
    void applyMarks();
    void addTrayIcon();
    void onMainCreate();
    void failStart();
    void bringUp();
    void hideAndSave();
    void flipAlwaysOnTop();

    std::unique_ptr<Panel> panel_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<StripSet> strips_;
    std::unique_ptr<ClockTimer> deviceTimer_;
    std::unique_ptr<user::WindowMailbox> mailbox_;
    QWidget* client_ = nullptr;
    std::map<int, QAction*> actions_;
    std::map<int, bool> marks_;
    std::function<void(int)> quit_;
    QDialog* about_ = nullptr;  // the About box while it is up
    user::HWND hwnd_ = 0;
    bool alwaysOnTop_ = false;
    bool destroyed_ = false;
    bool noTray_ = false;
    int exitCode_ = 0;
};

// The program: when a panel runs already, shows it (message 0x405) and returns 0; otherwise
// runs the panel until Exit (or a request to end from outside, which ends it the same way).
// Returns 1 when the panel could not read its settings (another process kept their registry
// key locked), after saying so.
// `tray` null: the desktop's notification area.
int WinMain(std::unique_ptr<TrayIcon> tray = nullptr);

}  // namespace dorvik
