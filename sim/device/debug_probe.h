// The 1394 debugger's presence probe, shared by the stand-alone debugger node and a Lumarel 460
// that runs its debugger image: the host writes an 8-byte pattern at 0xFFFF:C8000000 and reads
// it back at 0xFFFF:C8010000. The debugger returns the pattern with byte 2 replaced by its own
// marker (hosts compare every byte but that one).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "device/protocol.h"

namespace sim::lumarel {

class DebugProbe {
public:
    // Accesses must lie inside the 8-byte window; false means an address error.
    bool Write(uint32_t offset, std::span<const uint8_t> data) {
        if (offset > kProbeSize || data.size() > kProbeSize - offset) return false;
        std::copy(data.begin(), data.end(), pattern_.begin() + offset);
        written_ = true;
        return true;
    }
    bool Read(uint32_t offset, std::span<uint8_t> out) const {
        if (offset > kProbeSize || out.size() > kProbeSize - offset) return false;
        std::array<uint8_t, kProbeSize> echo = pattern_;
        if (written_) echo[2] = kProbeMarker;
        std::copy(echo.begin() + offset, echo.begin() + offset + out.size(), out.begin());
        return true;
    }

private:
    std::array<uint8_t, kProbeSize> pattern_{};
    bool written_ = false;
};

}  // namespace sim::lumarel
