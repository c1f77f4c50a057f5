// A key file of the registry values, as it lies under the platform root.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "registry/values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::pair<std::string, registry::Value>> values;
    if (registry::ParseKeyFile(data, size, values)) {
        // What was read writes back to the same bytes.
        std::vector<uint8_t> again = registry::FormatKeyFile(values);
        if (again.size() != size || !std::equal(again.begin(), again.end(), data)) __builtin_trap();
    }
    return 0;
}
