#include "app.h"

#include <atomic>

namespace forms {

namespace {
std::atomic<IScreen*> g_screen{nullptr};
}

Application& App() {
    static Application app;
    return app;
}

IScreen& Screen() {
    static FixedScreen fallback;
    IScreen* s = g_screen.load();
    return s ? *s : fallback;
}

void SetScreen(IScreen* screen) { g_screen.store(screen); }
bool ScreenInstalled() { return g_screen.load() != nullptr; }

}  // namespace forms
