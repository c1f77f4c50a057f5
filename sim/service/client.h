// Reaching the bus service from a program.
//
// ConnectToService connects to the service of the platform root (LUMAREL_ROOT) and starts it when
// none runs: the first client to find no service takes a start lock under the root, looks again,
// and only then starts "lumarel-bus", so two programs starting at once meet on one service. The
// service started this way reads LUMAREL_BUS_DESCRIPTION (a bus description file),
// LUMAREL_BUS_IDLE_MS (how long it stays without clients) and LUMAREL_BUS_COUNT (1394 buses)
// from the environment it inherits.
//
// A description is read only when the service starts. A program started with
// LUMAREL_BUS_DESCRIPTION that meets a service running another bus (one started earlier with
// another description or with the default bus) is told so on every connect: the connection's
// DescriptionMismatch names both, and standard error gets it once.
//
// When the service goes away under a connected client (killed, or ended while idle), the next
// request connects again (starting a new service), re-allocates the client's address ranges under
// their old handles, reports the interrupted request as cut off by a bus reset and posts a
// bus-reset notice: to the program the restart looks like a bus reset. When a running service
// closes only the notice connection (it does so for a client that does not take its notices),
// the client posts a bus-reset notice at once and connects afresh after its next request, so
// notices flow again.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "service/access.h"

namespace bussvc {

struct ServiceOptions {
    // Platform root; empty: LUMAREL_ROOT (or its per-user default).
    std::string root;
    // The service program; empty: LUMAREL_BUS_SERVICE, else "lumarel-bus" beside the module that
    // holds this code, else in LUMAREL_BIN.
    std::string program;
    // How long to wait for a starting service to listen (real time).
    int startTimeoutMs = 10000;
    // How long a service may take to answer beyond the request's own time-out (real time). A
    // service that stays silent longer is taken as hung: the request ends with 0x80000102 and
    // the next one connects afresh, so a stuck service never hangs the program.
    int replyTimeoutMs = 30000;
    // Whether the bus reached is compared with the one LUMAREL_BUS_DESCRIPTION names (see
    // above); not for a connection that only ends the service.
    bool checkDescription = true;
};

class ServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Connects (starting the service when needed). Throws ServiceError when no service can be
// reached or started; its text (also written to standard error, once per reason and process)
// says why when the service said so (a bus description it refused or could not read) and names
// the service's log.
std::unique_ptr<Access> ConnectToService(NoticeCallback onNotice, const ServiceOptions& options = {});

// Connects only when a service already runs; nullptr otherwise (the control tool's "stop").
std::unique_ptr<Access> ConnectToRunningService(NoticeCallback onNotice,
                                                const ServiceOptions& options = {});

}  // namespace bussvc
