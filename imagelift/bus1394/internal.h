// Helpers shared by the bus module's sources (not part of its interface).
#pragma once

#include <exception>
#include <string>

#include "vbrt/error.h"

namespace bas1394::internal {

// "<prefix><number>: <description> in <where>" for a caught run-time failure.
inline std::string FailureLine(const std::exception& e, const std::string& where,
                               const std::string& prefix = "Error #") {
    return vb::ErrorLine(prefix, vb::FromException(e), " in " + where);
}

}  // namespace bas1394::internal
