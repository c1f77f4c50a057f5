// The way a driver reaches a bus: the bus hosted in its own process when a test or tool gave it
// one, else the bus service (started when none runs).
#pragma once

#include <memory>
#include <string>

#include "service/access.h"

namespace bussvc {

class BusHost;

// A connection to `host` when it is set, else to the service. nullptr when neither can be
// opened; then `why`, when given, says what went wrong.
std::unique_ptr<Access> OpenBus(BusHost* host, NoticeCallback onNotice, std::string* why = nullptr);

}  // namespace bussvc
