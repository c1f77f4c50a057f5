// Another process looking for a top-level window: exits 0 when found, 1 when not.
// Usage: forms_find_window <class or "-"> <caption or "-">
#include "user/window_registry.h"

#include <optional>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    auto arg = [](const char* a) { return std::string(a) == "-" ? std::nullopt : std::optional<std::string>(a); };
    return user::FindTopWindow(arg(argv[1]), arg(argv[2])) ? 0 : 1;
}
