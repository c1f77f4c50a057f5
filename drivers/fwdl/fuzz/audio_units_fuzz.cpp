// The answer listing the attached audio units, as the bus service sends it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "service/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<bussvc::AudioUnitInfo> units;
    int32_t code = bussvc::DecodeAudioUnits(data, size, units);
    if (code != 0 && units.size() > bussvc::kMaxAudioUnits) __builtin_trap();
    for (const auto& u : units)
        if (u.node.size() > 256 || u.interfacePath.size() > 512) __builtin_trap();
    return 0;
}
