// A fault injected on one node of the simulated bus: what the node does instead of answering
// (or how it answers late), for which requests, and how often.
#pragma once

#include <cstdint>

#include "bus/codes.h"

namespace sim {

// A fault injected on one node (optionally only for an address window).
struct FaultSpec {
    enum class Kind {
        NoResponse,      // the node does not acknowledge: 121
        AddressError,    // the node answers an address error: 0x80000017
        LateAnswer,      // the answer comes after delayMs (0: past any time-out): 0x80000102
        ResetAfter,      // the afterRequests-th matching request is cut by a bus reset
        UnknownError,    // 0x8000013D
        Code,            // the request ends with `code` as it is (e.g. 0x80000002, -2)
    };
    enum class Direction { Any, Read, Write };

    Kind kind = Kind::NoResponse;
    Direction direction = Direction::Any;
    // Address window; without one the fault applies to every address of the node.
    bool anyAddress = true;
    uint16_t offsetHigh = kCsrHigh;
    uint32_t offsetLow = 0;
    uint32_t length = 4;
    // Matching requests the fault still applies to; -1 = until cleared.
    int32_t count = -1;
    uint32_t delayMs = 0;          // LateAnswer
    uint32_t afterRequests = 1;    // ResetAfter (one-shot)
    int32_t code = 0;              // Code
};

}  // namespace sim
