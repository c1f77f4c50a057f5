// The event loop's hooks: one desktop application object per process, DoEvents, posted window
// messages delivered on the user-interface thread, and the screen in twips.
#include "form.h"
#include "internal.h"

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "user/window_registry.h"

#include <QApplication>
#include <QEventLoop>
#include <QScreen>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <iostream>

namespace forms {

namespace {

int g_argc = 1;
char g_arg0[] = "lumarel";
char* g_argv[] = {g_arg0, nullptr};
std::atomic<bool> g_pumpQueued{false};
QObject* g_pumpTarget = nullptr;
std::function<void(const std::string&)> g_errorHandler;
size_t g_loadedForms = 0;
QEventLoop* g_mainLoop = nullptr;

// The primary screen; twips per pixel stay 15 (the platform's 96 dpi) whatever the display
// reports, so stored layouts mean the same on every machine.
class DesktopScreen : public IScreen {
public:
    double Width() const override { return sizePx().width() * TwipsPerPixelX(); }
    double Height() const override { return sizePx().height() * TwipsPerPixelY(); }
    double TwipsPerPixelX() const override { return 15; }
    double TwipsPerPixelY() const override { return 15; }

private:
    static QSize sizePx() {
        QScreen* s = QGuiApplication::primaryScreen();
        return s ? s->geometry().size() : QSize(1024, 768);
    }
};

// Delivers posted window messages; a window procedure that throws is reported like any other
// event handler and never reaches the event loop.
void pumpMessages() {
    detail::Fire("WindowProc", [] { user::PumpMessages(); });
}

void pumpPosted() {
    g_pumpQueued.store(false);
    pumpMessages();
}

}  // namespace

double Tpx() { return Screen().TwipsPerPixelX(); }
double Tpy() { return Screen().TwipsPerPixelY(); }
int32_t ToPixelsX(double twips) { return int32_t(std::lround(twips / Tpx())); }
int32_t ToPixelsY(double twips) { return int32_t(std::lround(twips / Tpy())); }

void EnsureApplication() {
    if (g_pumpTarget) return;
    if (!QApplication::instance()) {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        new QApplication(g_argc, g_argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    g_pumpTarget = new QObject();
    static DesktopScreen screen;
    detail::InstallDesktopPresenter();
    // A screen a test installed stays in force.
    if (!ScreenInstalled()) SetScreen(&screen);
    clk::SetDoEventsHandler([] { DoEvents(); });
    // Messages posted to windows of this thread (from any thread) wake the event loop, which
    // delivers them to the windows' procedures here.
    user::SetWakeHandler(std::this_thread::get_id(), [] {
        if (g_pumpQueued.exchange(true)) return;
        QObject* target = g_pumpTarget;
        if (target) QMetaObject::invokeMethod(target, &pumpPosted, Qt::QueuedConnection);
    });
    if (user::PendingMessages() > 0) pumpPosted();
}

void DoEvents() {
    if (!QApplication::instance()) return;
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    pumpMessages();
}

user::HWND PublishApplicationWindow() {
    static user::HWND hwnd = [] {
        user::HWND h = user::CreateWindow("ThunderRT6Main", App().Title);
        user::PublishTopWindow(h, "ThunderRT6Main", App().Title, false);
        std::atexit([] { user::WithdrawTopWindow(PublishApplicationWindow()); });
        return h;
    }();
    return hwnd;
}

void Beep() {
    EnsureApplication();
    QApplication::beep();
}

int RunMessageLoop() {
    EnsureApplication();
    while (g_loadedForms > 0) {
        QEventLoop loop;
        g_mainLoop = &loop;
        loop.exec();
        g_mainLoop = nullptr;
    }
    return 0;
}

void SetUnhandledErrorHandler(std::function<void(const std::string&)> handler) { g_errorHandler = std::move(handler); }

namespace detail {

QObject* GuiTarget() { return g_pumpTarget; }

void FormLoaded() { ++g_loadedForms; }
void FormUnloaded() { --g_loadedForms; }
void FormLoadedCountChanged() {
    if (g_loadedForms == 0 && g_mainLoop) g_mainLoop->quit();
}

void ReportUnhandled(const std::string& where, const std::string& what) {
    std::string line = "Unhandled error in " + where + ": " + what;
    if (g_errorHandler) g_errorHandler(line);
    else std::cerr << line << "\n";
}

}  // namespace detail

}  // namespace forms
