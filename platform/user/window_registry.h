// Top-level windows that other processes can find by class and caption.
//
// The update utility follows the downloader only by looking for its main window's exact caption
// and for its hidden application window. Without a display server, every process publishes its
// top-level windows as small entry files in one folder under the platform root
// ($LUMAREL_ROOT/windows): "<pid>-<hwnd>.win" for each window and "<pid>.lock", on which the
// process holds an exclusive lock for as long as it lives. A finder treats an entry as live only
// while that lock is held, so an entry disappears when its window is withdrawn or when its
// process ends in any way, a SIGKILL included; finders remove what dead processes left behind.
#pragma once

#include "user/user.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace user {

struct TopWindow {
    pid_t pid = 0;
    HWND hwnd = 0;
    std::string className;
    std::string caption;
    bool visible = false;
};

// Publishes (or republishes) a top-level window of this process. Failures to write are ignored:
// a window that cannot be published is simply not found by other processes.
void PublishTopWindow(HWND hwnd, const std::string& className, const std::string& caption, bool visible);
// Follows a caption or visibility change of a published window; does nothing for others.
void SetTopWindowCaption(HWND hwnd, const std::string& caption);
void SetTopWindowVisible(HWND hwnd, bool visible);
// Removes the window's entry.
void WithdrawTopWindow(HWND hwnd);

// The first live window, of any process, whose class matches without regard to case (nullopt:
// any class) and whose caption matches exactly (nullopt: any caption). Hidden windows count.
std::optional<TopWindow> FindTopWindow(const std::optional<std::string>& className,
                                       const std::optional<std::string>& caption);
// Every live published window.
std::vector<TopWindow> EnumTopWindows();

// The folder of the entries ($LUMAREL_ROOT/windows).
std::string WindowRegistryFolder();

}  // namespace user
