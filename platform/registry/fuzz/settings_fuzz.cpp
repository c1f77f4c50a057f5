// The settings file of the per-user store, as it lies under the platform root.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "registry/registry.h"

namespace {

bool sameLine(const registry::SettingsLine& a, const registry::SettingsLine& b) {
    if (a.entry.has_value() != b.entry.has_value()) return false;
    if (!a.entry) return a.raw == b.raw;
    return a.entry->app == b.entry->app && a.entry->section == b.entry->section && a.entry->key == b.entry->key &&
           a.entry->value == b.entry->value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto lines = registry::ParseSettings(std::string_view(reinterpret_cast<const char*>(data), size));
    // Written back, the file reads as the same lines: every entry, and every line this version
    // does not understand, byte for byte.
    const auto again = registry::ParseSettings(registry::FormatSettings(lines));
    if (again.size() != lines.size()) __builtin_trap();
    for (size_t i = 0; i < lines.size(); ++i)
        if (!sameLine(lines[i], again[i])) __builtin_trap();
    return 0;
}
