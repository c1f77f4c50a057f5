#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QKeySequence>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <cstdio>

#include "app/about_box.h"
#include "core/bytes.h"
#include "app/clock_timer.h"
#include "forms/dialogs.h"
#include "forms/form.h"
#include "core/mixer_commands.h"
#include "core/strip_commands.h"
#include "registry/values.h"
#include "user/window_mailbox.h"
#include "user/window_registry.h"

namespace dorvik {

namespace {

constexpr int kClientWidth = 555, kClientHeight = 347;

// The client area: the "BACK" picture, over which the strips' controls draw.
class BackgroundWidget : public QWidget {
public:
    explicit BackgroundWidget(QWidget* parent) : QWidget(parent) {
        setFixedSize(kClientWidth, kClientHeight);
        setMouseTracking(true);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(0, 0, GetBitmap("BACK"));
    }
    // The panel in front takes the keyboard as the mouse moves over its background, away from
    // the control that had it: the keyboard follows the mouse, as a fader takes it when the
    // mouse moves over the fader, so no control the mouse has left goes on turning with the
    // arrow keys. (A move over a control is the control's alone and does not come here.)
    void mouseMoveEvent(QMouseEvent* e) override {
        if (window()->isActiveWindow()) window()->setFocus(Qt::MouseFocusReason);
        QWidget::mouseMoveEvent(e);
    }
};

std::string format(const char* pattern, int32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, pattern, int(value));
    return text;
}

}  // namespace

MainWindow::MainWindow(std::unique_ptr<TrayIcon> tray) : tray_(std::move(tray)) {
    // A window with caption, system menu, close box and minimise box, of a fixed size.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromLatin1(kProgramVersion));
    setWindowIcon(QIcon(QPixmap::fromImage(GetBitmap("ICON217"))));
    client_ = new BackgroundWidget(this);
    setCentralWidget(client_);
    buildMenu();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    // Alt+"?" opens the About box; Alt+F4 is the system's close (also without a window manager).
    auto* about = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Question), this);
    connect(about, &QShortcut::activated, this, [this] { onCommand(kCmdAbout); });
    auto* close = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), this);
    connect(close, &QShortcut::activated, this, [this] { MainWndProc(hwnd_, kWmSysCommand, kScClose, 0); });
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { MainWndProc(hwnd_, kWmEndSession, 1, 0); });

    // Published before anything else happens, so that a second start finds this one; messages
    // that arrive meanwhile wait for the event loop.
    hwnd_ = user::CreateWindow(kWindowClass, kProgramVersion,
                               [this](user::HWND h, uint32_t m, user::WPARAM w, user::LPARAM l) { return MainWndProc(h, m, w, l); });
    user::PublishTopWindow(hwnd_, kWindowClass, kProgramVersion, false);
    mailbox_ = std::make_unique<user::WindowMailbox>(hwnd_, [](uint32_t msg) { return msg == kWmShowPanel; });

    panel_ = std::make_unique<Panel>(*this);
    addTrayIcon();
    onMainCreate();
}

MainWindow::~MainWindow() {
    DestroyPanel();
    user::DestroyWindow(hwnd_);
}

// --------------------------------------------------------------------------------------- menu

QAction* MainWindow::addItem(QMenu* menu, const char* text, int id) {
    QAction* a = menu->addAction(QString::fromLatin1(text));
    a->setData(id);
    actions_[id] = a;
    connect(a, &QAction::triggered, this, [this, id] { onCommand(id); });
    return a;
}

void MainWindow::buildMenu() {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    addItem(file, "Close &Window\tALT-F4", kCmdCloseWindow);
    addItem(file, "E&xit", kCmdExit);

    QMenu* config = bar->addMenu(QStringLiteral("&Config"));
    QMenu* wheel = config->addMenu(QStringLiteral("&Mouse Wheel"));
    addItem(wheel, "Step &1", kCmdWheel1);
    addItem(wheel, "Step &2", kCmdWheel2);
    addItem(wheel, "Step &4", kCmdWheel4);
    addItem(wheel, "Step &8", kCmdWheel8);
    config->addSeparator();
    static const char* const kLatencies[] = {"2 ms", "4 ms", "8 ms", "10 ms", "12 ms", "16 ms"};
    QMenu* asio = config->addMenu(QStringLiteral("&ASIO Latency"));
    for (size_t i = 0; i < 6; ++i) addItem(asio, kLatencies[i], kAsioCommands[i].id);
    QMenu* wdm = config->addMenu(QStringLiteral("&WDM Latency"));
    for (size_t i = 0; i < 6; ++i) addItem(wdm, kLatencies[i], kWdmCommands[i].id);
    config->addSeparator();
    addItem(config, "&Factory Default", kCmdFactoryDefault);
    config->addSeparator();
    addItem(config, "Always on &Top", kCmdAlwaysOnTop);
    config->addSeparator();
    QMenu* rate = config->addMenu(QStringLiteral("SampleRate"));
    static const char* const kRates[] = {"44.1 kHz", "48.0 kHz", "88.2 kHz", "96.0 kHz", "176.4kHz", "192.0kHz"};
    for (size_t i = 0; i < 6; ++i) addItem(rate, kRates[i], kRateCommands[i + 1].id);

    QAction* about = bar->addAction(QStringLiteral("&About"));
    about->setData(kCmdAbout);
    actions_[kCmdAbout] = about;
    connect(about, &QAction::triggered, this, [this] { onCommand(kCmdAbout); });

    // Items with a check mark: the refreshers set and clear every mark themselves.
    for (auto& [id, a] : actions_)
        if (id != kCmdCloseWindow && id != kCmdExit && id != kCmdFactoryDefault && id != kCmdAbout) a->setCheckable(true);
}

QAction* MainWindow::Action(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::setMark(int id, bool on) {
    marks_[id] = on;
    if (QAction* a = Action(id)) a->setChecked(on);
}

// A checkable item flips its own mark when chosen; the marks are the refreshers' alone.
void MainWindow::applyMarks() {
    for (auto& [id, a] : actions_)
        if (a->isCheckable()) a->setChecked(marks_[id]);
}

// ------------------------------------------------------------------------------------ commands

void MainWindow::onCommand(int id) {
    MainWndProc(hwnd_, kWmCommand, user::WPARAM(id), 0);
}

user::LRESULT MainWindow::MainWndProc(user::HWND hwnd, uint32_t msg, user::WPARAM wParam, user::LPARAM lParam) {
    switch (msg) {
    case kWmCommand: {
        if (destroyed_) return 0;
        const int id = int(wParam & 0xFFFF);
        if (id == kCmdExit) DestroyPanel();
        else if (id == kCmdAlwaysOnTop) flipAlwaysOnTop();
        else if (id == kCmdCloseWindow) hideAndSave();
        else OnMixerCommand(*panel_, uint32_t(wParam));
        applyMarks();
        return 0;
    }
    case kWmSysCommand:
        if ((wParam & 0xFFF0) == kScClose) {
            hideAndSave();
            return 0;
        }
        return user::DefWindowProc(hwnd, msg, wParam, lParam);
    case kWmShowPanel:
        bringUp();
        return 0;
    case kWmTrayIcon: {
        const uint32_t mouse = uint32_t(lParam) & 0xFFFF;
        if (mouse == kWmLButtonDown || mouse == kWmRButtonDown) bringUp();
        return 0;
    }
    case kWmDeviceChange:
        if (!destroyed_) panel_->OnDeviceChange(uint32_t(wParam));
        return 0;
    case kWmEndSession:
        // The logon session ends: keep the settings; the strips stay until the window goes.
        if (!destroyed_) panel_->SaveSettings();
        return 0;
    default:
        return user::DefWindowProc(hwnd, msg, wParam, lParam);
    }
}

void MainWindow::bringUp() {
    if (destroyed_) return;
    showNormal();
    raise();
    activateWindow();
    setFocus();
}

void MainWindow::hideAndSave() {
    if (destroyed_) return;
    hide();
    panel_->SaveSettings();
}

void MainWindow::flipAlwaysOnTop() {
    alwaysOnTop_ = !alwaysOnTop_;
    const bool visible = isVisible();
    const QPoint at = pos();
    setWindowFlag(Qt::WindowStaysOnTopHint, alwaysOnTop_);  // hides the window
    move(at);
    if (visible) show();
    setMark(kCmdAlwaysOnTop, alwaysOnTop_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // The close box and the system's close only hide the panel.
    event->ignore();
    MainWndProc(hwnd_, kWmSysCommand, kScClose, 0);
}

void MainWindow::setVisible(bool visible) {
    QMainWindow::setVisible(visible);
    user::SetTopWindowVisible(hwnd_, isVisible());
}

// ---------------------------------------------------------------------------- life of the window

void MainWindow::addTrayIcon() {
    if (!tray_) tray_ = MakeSystemTrayIcon();
    const user::HWND hwnd = hwnd_;
    const std::string tip = std::string(kProductName) + " " + kProgramVersion;
    if (!tray_->Add(GetBitmap("ICON217"), tip, [hwnd](uint32_t mouse) {
            user::PostMessage(hwnd, kWmTrayIcon, kTrayIconId, user::LPARAM(mouse));
        })) {
        noTray_ = true;
        std::fputs("Dorvik: this desktop has no notification area; start Dorvik again to show the panel.\n", stderr);
    }
}

void MainWindow::onMainCreate() {
    panel_->RegisterDeviceArrival(kInterfaceClass);
    panel_->AttachDevice();

    const QImage back = GetBitmap("BACK");
    SetBackgroundBitmap(back);
    const int w = back.isNull() ? kClientWidth : back.width();
    const int h = back.isNull() ? kClientHeight : back.height();
    client_->setFixedSize(w, h);

    // Centred on the screen unless a stored position lies on it.
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
    const int32_t sw = area.width(), sh = area.height();
    int32_t x = (sw - w) / 2, y = (sh - h) / 2;
    uint8_t b[4];
    PutLe32(b, uint32_t(x));
    panel_->ReadRegistryValue("WinX", b, b, 4);
    x = int32_t(GetLe32(b));
    PutLe32(b, uint32_t(y));
    panel_->ReadRegistryValue("WinY", b, b, 4);
    y = int32_t(GetLe32(b));
    // Taken unsigned, a position left of or above the screen is as far off as one beyond it.
    if (uint32_t(x) > uint32_t(sw - w)) x = (sw - w) / 2;
    if (uint32_t(y) > uint32_t(sh - h)) y = (sh - h) / 2;
    move(x, y);

    if (panel_->SettingsLocked() || !panel_->LoadSettingsAndCreateStrips()) {
        failStart();
        return;
    }
    deviceTimer_ = std::make_unique<ClockTimer>(this, kDeviceCheckMs, [this] {
        if (!destroyed_) panel_->CheckDeviceChange();
    });
}

// The stored settings could not be read: another process kept the registry key's lock. The
// panel does not run on the factory settings in their place (they would reach the unit and,
// saved at the end, replace the stored ones). It is withdrawn first, so that a second start no
// longer finds it, then says what holds the key, and the program ends. Asked to end meanwhile
// (the wait gave up at once), it just ends.
void MainWindow::failStart() {
    DestroyPanel();  // saves nothing: the panel knows it never read the settings
    if (forms::EndRequested()) return;
    exitCode_ = 1;
    forms::MsgBox("The mixer settings cannot be read: the registry key HKEY_LOCAL_MACHINE\\" +
                      std::string(kRegistryKey) + " is held by " + panel_->SettingsHolder() +
                      ", which did not let go of it within " + std::to_string(registry::kLockWaitMs / 1000) +
                      " seconds.\n\nThe mixer ends and leaves the settings as they are. Start it again once that "
                      "process has finished or been ended.",
                  forms::vbCritical);
}

void MainWindow::DestroyPanel() {
    if (destroyed_) return;
    if (quit_) quit_(0);  // the loop ends once this handling is over
    if (deviceTimer_) deviceTimer_->Stop();
    // Saved while the window still has its position.
    panel_->SaveSettings();
    if (strips_) {
        strips_->DestroyMixerStrips();
        strips_.reset();
    }
    tray_->Remove();
    destroyed_ = true;
    hide();
    mailbox_.reset();
    user::WithdrawTopWindow(hwnd_);
}

// ------------------------------------------------------------------------------------- MixerUi

void MainWindow::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromLatin1(title.c_str()));
    user::SetWindowTextDirect(hwnd_, title);
    user::SetTopWindowCaption(hwnd_, title);
}

void MainWindow::CreateMixerStrips() { strips_ = StripSet::CreateMixerStrips(client_, *this, 0, 0); }

void MainWindow::UpdateMixerStrips() {
    if (strips_) strips_->UpdateMixerStrips(*panel_);
}

void MainWindow::EnablePanKnobs(bool enable) {
    if (strips_) strips_->EnablePanKnobs(enable);
}

void MainWindow::ShowMixerStrips(bool shown) {
    if (strips_) strips_->ShowMixerStrips(shown);
}

void MainWindow::UpdateRateMenu() {
    const MixerSettings& s = panel_->working;
    if (!s.externalClock) {
        for (const ValueCommand& c : kRateCommands) setMark(c.id, false);
        setMark(kCmdExternalClock, false);
        for (const ValueCommand& c : kRateCommands)
            if (c.value == s.sampleRate) setMark(c.id, true);
    }
    // Strips show only while a unit is attached; those of the pan knobs' blocks also need a
    // rate below 176.4 kHz.
    const bool attached = panel_->Attached();
    EnablePanKnobs(attached && !IsHighRate(uint32_t(s.sampleRate)));
    ShowMixerStrips(attached);
    if (strips_) strips_->SetClockText(s.externalClock ? std::string("EXT Clock") : format("%6d Hz", s.sampleRate));
}

void MainWindow::UpdateAsioMenu() {
    for (const ValueCommand& c : kAsioCommands) setMark(c.id, c.value == panel_->working.asioLatency);
    if (strips_) strips_->SetAsioText(format("%2dms", panel_->working.asioLatency / 10));
}

void MainWindow::UpdateWdmMenu() {
    for (const ValueCommand& c : kWdmCommands) setMark(c.id, c.value == panel_->working.wdmLatency);
    if (strips_) strips_->SetWdmText(format("%2dms", panel_->working.wdmLatency / 10));
}

void MainWindow::UpdateClockMenu() {
    if (!panel_->working.externalClock) return;
    for (const ValueCommand& c : kRateCommands) setMark(c.id, false);
    setMark(kCmdExternalClock, true);
}

void MainWindow::UpdateWheelMenu() {
    for (const ValueCommand& c : kWheelCommands) setMark(c.id, c.value == panel_->working.wheelStep);
    SetWheelStep(panel_->working.wheelStep);
}

void MainWindow::ShowAboutBox() {
    AboutBox box(panel_->deviceInfo, this);
    about_ = &box;
    box.exec();
    about_ = nullptr;
}

void MainWindow::EndFromOutside() {
    if (about_) about_->reject();
    onCommand(kCmdExit);
}

void MainWindow::WindowPosition(int32_t& x, int32_t& y) {
    x = pos().x();
    y = pos().y();
}

// ------------------------------------------------------------------------------ ControlParent

void MainWindow::OnFaderNotify(int id, uint32_t, int32_t position) {
    if (!destroyed_) OnFaderScroll(*panel_, id, position);
}

void MainWindow::OnKnobNotify(int id, uint32_t, int32_t position) {
    if (!destroyed_) OnKnobScroll(*panel_, id, position);
}

void MainWindow::OnToggleNotify(int id) {
    // WM_COMMAND with the control's id and notification code 1.
    MainWndProc(hwnd_, kWmCommand, user::WPARAM(uint32_t(id) | (1u << 16)), 0);
}

// ------------------------------------------------------------------------------------ program

int WinMain(std::unique_ptr<TrayIcon> tray) {
    // One panel per user: a second start shows the first one's window and ends.
    if (auto first = user::FindTopWindow(std::string(kWindowClass), std::nullopt)) {
        user::PostToTopWindow(*first, kWmShowPanel, 0, kWmLButtonDblClk);
        return 0;
    }
    forms::EnsureApplication();
    RegisterControlClasses();
    int result = 0;
    // SIGTERM (a session's end) and SIGINT (Ctrl-C) end the program as Exit does: the settings
    // are saved and the tray icon goes. Heard from before the window is published, so that
    // whoever finds the window can ask it to end.
    MainWindow* running = nullptr;
    forms::EndOnRequest([&running] {
        if (running) running->EndFromOutside();
    });
    // A wait for the registry (another process holding the settings' key) gives up once the
    // program is asked to end, even before the event loop runs to hear of it.
    registry::SetLockWaitGiveUp([] { return forms::EndRequested(); });
    {
        QEventLoop loop;
        MainWindow window(std::move(tray));
        window.hide();
        window.SetQuitHandler([&loop](int code) { loop.exit(code); });
        running = &window;
        // A request that came while the window was being made ends it now.
        if (forms::EndRequested()) window.EndFromOutside();
        result = window.Destroyed() ? window.ExitCode() : loop.exec();
        running = nullptr;
    }
    registry::SetLockWaitGiveUp(nullptr);
    forms::EndOnRequest(nullptr);
    UnregisterControlClasses();
    return result;
}

}  // namespace dorvik
