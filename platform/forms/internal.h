// Plumbing shared by the window layer's sources; not for windows.
#pragma once

#include "vbrt/error.h"

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

class QObject;
class QString;
class QWidget;

namespace forms::detail {

// Texts of the programs are 8-bit Windows-1252; the widgets hold Unicode.
QString ToQ(const std::string& text);
std::string FromQ(const QString& text);
// Multi-line texts keep their lines apart with CR LF, as the programs write and count them; a
// text widget holds plain line feeds.
std::string CrLfToLf(std::string text);
std::string LfToCrLf(const std::string& text);

// A widget's font family, as a window or control's FontName reads and writes it ("Courier New"
// asks for a fixed-pitch face where the family itself is not installed).
std::string FontName(const QWidget* widget);
void SetFontName(QWidget* widget, const std::string& name);
// A widget's font size in points, as a control's FontSize reads and writes it: points measure
// the em, as a point size does here (a height in pixels names the cell: LogicalFont). A size of
// 0 or less sets the design font's 8.25.
double FontSize(const QWidget* widget);
void SetFontSize(QWidget* widget, double points);

void InstallDesktopPresenter();
// While a request to end runs, nobody answers a box: the presenter answers at once.
bool EndUnderWay();
// Answers every message, input and file box that is open as nobody can answer it.
void CloseOpenDialogs();
// An object living on the user-interface thread, for work handed over from other threads.
QObject* GuiTarget();
// The count of loaded forms, which the main loop runs on: a form counts itself in when it
// loads and out when it unloads (or is destroyed loaded), then tells the loop, which ends once
// none is left.
void FormLoaded();
void FormUnloaded();
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

// Runs an event handler when one is set.
inline void FireIfSet(const char* where, const std::function<void()>& fn) {
    if (fn) Fire(where, fn);
}

// Run-time error 380: a value the property does not take.
[[noreturn]] inline void RaiseInvalidValue() { vb::Raise(380, "forms", "Invalid property value"); }

}  // namespace forms::detail
