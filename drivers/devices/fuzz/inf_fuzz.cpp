// Any bytes as the text of an INF file: parsing never fails, and the result is walked the way
// the installer walks it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "devices/inf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > devices::kMaxInfBytes) return 0;
    auto inf = devices::InfText::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    (void)inf.IsWin4();
    size_t total = 0;
    if (const auto* manufacturer = inf.Find("Manufacturer")) {
        for (const auto& line : manufacturer->lines) {
            if (line.fields.empty()) continue;
            if (const auto* models = inf.Find(line.fields[0])) {
                for (const auto& model : models->lines) total += model.fields.size();
            }
        }
    }
    return total == size_t(-1);
}
