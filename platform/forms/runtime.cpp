// The event loop's hooks: one desktop application object per process, DoEvents, posted window
// messages delivered on the user-interface thread, and the screen in twips.
#include "forms/form.h"
#include "forms/internal.h"

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "user/window_registry.h"

#include "fs/fs.h"

#include <QApplication>
#include <QEventLoop>
#include <QFontMetrics>
#include <QScreen>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// A request to end from outside: the signal handler writes a byte to a pipe, which the event
// loop watches; every loop watches it, the loop of a modal box as much as the main loop.
int g_endPipe[2] = {-1, -1};
std::function<void()> g_end;
bool g_endRequested = false;
bool g_endUnderWay = false;
// Set by the signal handler itself: work that runs long inside one event (a key batch in a
// timer's tick) learns of the request between its steps, before any loop has run again.
volatile sig_atomic_t g_endSignalled = 0;

void writeEndRequest(int) {
    g_endSignalled = 1;
    const int saved = errno;
    const char c = 1;
    (void)!::write(g_endPipe[1], &c, 1);
    errno = saved;
}

void takeEndRequest() {
    char buffer[16];
    while (::read(g_endPipe[0], buffer, sizeof buffer) > 0) {
    }
    g_endRequested = true;
    g_endUnderWay = true;
    if (g_end) detail::Fire("EndRequest", g_end);
    g_endUnderWay = false;
    // Still running: what was asked of a person gets its answer, and the asking code goes on.
    detail::CloseOpenDialogs();
}

// The dialog base units of a font in pixels, measured as the platform does: the average width of
// the 52 letters, rounded, and the font's height. The windows were drawn for 8-point MS Sans
// Serif at 96 dpi, whose units are 6 and 13 pixels.
constexpr double kDesignBaseX = 6;
constexpr double kDesignBaseY = 13;
QSizeF dialogBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {double((letters / 26 + 1) / 2), double(metrics.height())};
}

// The primary screen, at the scale of the font in use. A twip is a fixed part of the logical
// inch, and the desktop's font is sized in that inch: on a desktop whose font is larger than the
// one the windows were drawn for, a logical inch takes more pixels, as it does where a desktop
// sets larger fonts (twips per pixel 12 instead of 15). So every size in twips (controls,
// columns, stored layouts) keeps its proportion to the text it holds; at the design font the
// scale is the plain 15 twips per pixel of 96 dpi.
class DesktopScreen : public IScreen {
public:
    DesktopScreen() : tpx_(DesktopTwipsPerPixelX()), tpy_(DesktopTwipsPerPixelY()) {}
    double Width() const override { return sizePx().width() * TwipsPerPixelX(); }
    double Height() const override { return sizePx().height() * TwipsPerPixelY(); }
    double TwipsPerPixelX() const override { return tpx_; }
    double TwipsPerPixelY() const override { return tpy_; }

private:
    double tpx_;
    double tpy_;

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

// A session gives every user a private runtime folder (XDG_RUNTIME_DIR); a program started
// outside one (a service, a test, a terminal without a login session) gets one of its own under
// the platform root, so the window system does not complain on every start.
void providePrivateRuntimeFolder() {
    if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) return;
    const std::filesystem::path dir = fs::PlatformRoot() / "runtime";
    if (!fs::CreatePrivateFolders(dir) || ::chmod(dir.c_str(), 0700) != 0) return;  // Qt then says so itself
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

// Without a display the program draws on the offscreen window system, whose screen is 800 x 600
// pixels unless a screen file says otherwise: smaller than the desktops the windows were drawn
// for, so the frame would not hold its windows. The program gives it a common small desktop,
// 1024 x 768 at 96 dpi, through a screen file in the runtime folder of the platform root (written
// whole under another name and renamed, as other programs of the system may read it meanwhile).
std::string offscreenPlatform() {
    std::error_code ec;
    const std::filesystem::path dir = fs::PlatformRoot() / "runtime";
    if (!fs::CreatePrivateFolders(dir)) return "offscreen";
    const std::filesystem::path file = dir / "offscreen-screen.json";
    const std::filesystem::path temporary = dir / ("offscreen-screen.json." + std::to_string(::getpid()));
    if (!fs::WritePrivateFile(temporary, R"({"screens": [{"name": "offscreen", "x": 0, "y": 0, "width": 1024, "height": 768, )"
                                         R"("logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})")) {
        std::filesystem::remove(temporary, ec);
        return "offscreen";
    }
    std::filesystem::rename(temporary, file, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        return "offscreen";
    }
    return "offscreen:configfile=" + file.string();
}

// Notes the window system prints about what a desktop without a display lacks: nothing the
// program can change, and not a fault. They are dropped; every other message goes on as before.
QtMessageHandler g_previousHandler = nullptr;
void quietKnownWindowSystemNotes() {
    static const bool installed = [] {
        g_previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context,
                                                      const QString& message) {
            // The offscreen window system's note on every top-level window, and the keyboard
            // layer's notes where the desktop installs no keyboard descriptions.
            static const char* const notes[] = {
                "This plugin does not support propagateSizeHints()",
                "Could not find a location of the system's Compose files",
                "xkbcommon: ",
            };
            if (type == QtDebugMsg || type == QtWarningMsg || type == QtInfoMsg) {
                for (const char* note : notes)
                    if (message.startsWith(QLatin1String(note))) return;
            }
            if (g_previousHandler) g_previousHandler(type, context, message);
            else std::cerr << message.toLocal8Bit().constData() << "\n";
        });
        return true;
    }();
    (void)installed;
}

}  // namespace

double Tpx() { return Screen().TwipsPerPixelX(); }
double Tpy() { return Screen().TwipsPerPixelY(); }
int32_t ToPixelsX(double twips) { return int32_t(std::lround(twips / Tpx())); }
int32_t ToPixelsY(double twips) { return int32_t(std::lround(twips / Tpy())); }

namespace {

// The application font's dialog base units; without a desktop, the design font's.
QSizeF fontBaseUnits() {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return {kDesignBaseX, kDesignBaseY};
    const QSizeF units = dialogBaseUnits(QApplication::font());
    return {units.width() > 0 ? units.width() : kDesignBaseX, units.height() > 0 ? units.height() : kDesignBaseY};
}

}  // namespace

// In pixels a dialog unit follows the font in use.
double DialogUnitsX(double units) { return units * fontBaseUnits().width() / 4 * Tpx(); }
double DialogUnitsY(double units) { return units * fontBaseUnits().height() / 8 * Tpy(); }
double DesktopTwipsPerPixelX() { return 15 * kDesignBaseX / fontBaseUnits().width(); }
double DesktopTwipsPerPixelY() { return 15 * kDesignBaseY / fontBaseUnits().height(); }

void EnsureApplication() {
    if (g_pumpTarget) return;
    if (!QApplication::instance()) {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
            ::setenv("QT_QPA_PLATFORM", offscreenPlatform().c_str(), 1);
        providePrivateRuntimeFolder();
        quietKnownWindowSystemNotes();
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

void EndOnRequest(std::function<void()> end) {
    EnsureApplication();
    g_end = std::move(end);
    if (g_endPipe[0] >= 0 || ::pipe2(g_endPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(g_endPipe[0], QSocketNotifier::Read, g_pumpTarget);
    QObject::connect(notifier, &QSocketNotifier::activated, [] { takeEndRequest(); });
    struct sigaction sa {};
    sa.sa_handler = writeEndRequest;
    ::sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
}

bool EndRequested() { return g_endRequested || g_endSignalled != 0; }


void SetUnhandledErrorHandler(std::function<void(const std::string&)> handler) { g_errorHandler = std::move(handler); }

namespace detail {

QObject* GuiTarget() { return g_pumpTarget; }

bool EndUnderWay() { return g_endUnderWay; }

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
