#include "forms/app.h"

#include "fs/fs.h"

#include <atomic>
#include <filesystem>

namespace forms {

namespace {
std::atomic<IScreen*> g_screen{nullptr};
}

Application& App() {
    static Application app = [] {
        Application a;
        // The program's folder and file name as the running executable has them.
        a.Path = ::fs::ProgramFolder();
        std::error_code ec;
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        a.EXEName = ec ? std::string() : exe.stem().string();
        a.Title = a.EXEName;
        return a;
    }();
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
