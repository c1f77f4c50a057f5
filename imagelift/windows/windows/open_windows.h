// Windows that a command opens and nobody else holds: the config ROM viewers, the text viewers
// and the help windows (any number of each may be open). Each is kept here from its opening
// until its unload hands it back; it then waits among the retired windows (basApp::RetireWindow)
// until its own handlers have returned, and goes at the next slot taken or at shut-down.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

class clsLayoutManager;

namespace forms {
class Form;
}

namespace basApp {

// Keeps `window` alive while it is open.
void KeepOpenWindow(std::shared_ptr<forms::Form> window);
// Called by the window's unload: lets go of it (nothing happens for a window not kept here).
void ReleaseOpenWindow(const forms::Form* window);
// The unload of a kept window with a layout manager: the manager goes (it saves the window's
// rectangle as it ends), or `warn` hears that it ended before the window did; then the window is
// let go of. Nothing leaves it, since it runs inside a window event.
void UnloadOpenWindow(const forms::Form* window, std::unique_ptr<clsLayoutManager>& layout,
                      const std::function<void(const std::string& warning)>& warn);
// Lets go of every kept window (they wait among the retired windows).
void ForgetOpenWindows();
// The windows kept now, in the order they were opened.
const std::vector<std::shared_ptr<forms::Form>>& OpenWindows();

}  // namespace basApp
