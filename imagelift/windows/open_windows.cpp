#include "windows/open_windows.h"

#include <algorithm>

#include "windows/kit.h"
#include "forms/form.h"
#include "layout/layout_manager.h"

namespace basApp {

namespace {

std::vector<std::shared_ptr<forms::Form>>& kept() {
    static std::vector<std::shared_ptr<forms::Form>> windows;
    return windows;
}

}  // namespace

void KeepOpenWindow(std::shared_ptr<forms::Form> window) {
    if (window) kept().push_back(std::move(window));
}

void ReleaseOpenWindow(const forms::Form* window) {
    auto& windows = kept();
    const auto it = std::find_if(windows.begin(), windows.end(), [&](const auto& w) { return w.get() == window; });
    if (it == windows.end()) return;
    std::shared_ptr<forms::Form> held = std::move(*it);
    windows.erase(it);
    RetireWindow(std::move(held));
}

void UnloadOpenWindow(const forms::Form* window, std::unique_ptr<clsLayoutManager>& layout,
                      const std::function<void(const std::string& warning)>& warn) {
    try {
        if (!layout)
            warn("clsLayoutMan terminated prior to form termination.");
        else
            layout.reset();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
    ReleaseOpenWindow(window);
}

void ForgetOpenWindows() {
    auto windows = std::move(kept());
    kept().clear();
    for (auto& w : windows) RetireWindow(std::move(w));
}

const std::vector<std::shared_ptr<forms::Form>>& OpenWindows() { return kept(); }

}  // namespace basApp
