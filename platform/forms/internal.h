// Plumbing shared by the window layer's sources; not for windows.
#pragma once

#include "vbrt/error.h"

#include <cstddef>
#include <exception>
#include <string>

class QEventLoop;
class QObject;
class QString;

namespace forms::detail {

// Texts of the programs are 8-bit Windows-1252; the widgets hold Unicode.
QString ToQ(const std::string& text);
std::string FromQ(const QString& text);
// Multi-line texts keep their lines apart with CR LF, as the programs write and count them; a
// text widget holds plain line feeds.
std::string CrLfToLf(std::string text);
std::string LfToCrLf(const std::string& text);

void InstallDesktopPresenter();
// An object living on the user-interface thread, for work handed over from other threads.
QObject* GuiTarget();
size_t LoadedForms();
void SetMainLoop(QEventLoop* loop);
void FormLoadedCountChanged();
void ReportUnhandled(const std::string& where, const std::string& what);

// Runs an event handler; nothing it throws reaches the event loop.
template <class Fn>
void Fire(const char* where, Fn&& fn) {
    try {
        fn();
    } catch (const vb::Error& e) {
        ReportUnhandled(where, "Error #" + std::to_string(e.Number()) + ": " + e.Description());
    } catch (const std::exception& e) {
        ReportUnhandled(where, e.what());
    } catch (...) {
        ReportUnhandled(where, "unknown error");
    }
}

}  // namespace forms::detail
