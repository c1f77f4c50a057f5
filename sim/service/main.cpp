// lumarel-bus: the simulated 1394 bus service. Programs start it on first use (the access
// library does so); it needs no set-up.
//
//   lumarel-bus [--root DIR] [--description FILE] [--idle-ms N] [--buses N] [--ready-fd FD]
//               [--frame-timeout-ms N] [--max-connections N]
//
// Defaults come from the environment: LUMAREL_ROOT, LUMAREL_BUS_DESCRIPTION,
// LUMAREL_BUS_IDLE_MS (default 60000), LUMAREL_BUS_COUNT (1394 buses, default 1),
// LUMAREL_BUS_FRAME_TIMEOUT_MS (how long a client may fall silent in the middle of a frame,
// default 5000) and LUMAREL_BUS_MAX_CONNECTIONS (open at once, default 128).
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "service/protocol.h"
#include "service/server.h"

namespace {

int usage(const char* why) {
    std::cerr << "lumarel-bus: " << why << "\n"
              << "usage: lumarel-bus [--root DIR] [--description FILE] [--idle-ms N] [--buses N] [--ready-fd FD]\n"
                 "                   [--frame-timeout-ms N] [--max-connections N]\n";
    return 2;
}

bool parseInt(const char* text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 1'000'000'000) return false;
    out = int(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bussvc::ServerOptions o;
    o.root = bussvc::PlatformRoot();
    if (const char* d = std::getenv("LUMAREL_BUS_DESCRIPTION"); d && *d) o.descriptionFile = d;
    if (const char* i = std::getenv("LUMAREL_BUS_IDLE_MS"); i && *i && !parseInt(i, o.idleMs))
        return usage("LUMAREL_BUS_IDLE_MS must be a number of milliseconds");
    if (const char* b = std::getenv("LUMAREL_BUS_COUNT"); b && *b && !parseInt(b, o.buses))
        return usage("LUMAREL_BUS_COUNT must be a number of buses");
    if (const char* f = std::getenv("LUMAREL_BUS_FRAME_TIMEOUT_MS"); f && *f && !parseInt(f, o.frameTimeoutMs))
        return usage("LUMAREL_BUS_FRAME_TIMEOUT_MS must be a number of milliseconds");
    if (const char* m = std::getenv("LUMAREL_BUS_MAX_CONNECTIONS"); m && *m && !parseInt(m, o.maxConnections))
        return usage("LUMAREL_BUS_MAX_CONNECTIONS must be a number of connections");
    for (int k = 1; k < argc; ++k) {
        std::string a = argv[k];
        if (k + 1 >= argc) return usage(("missing value after " + a).c_str());
        const char* v = argv[++k];
        if (a == "--root") o.root = v;
        else if (a == "--description") o.descriptionFile = v;
        else if (a == "--idle-ms") {
            if (!parseInt(v, o.idleMs)) return usage("--idle-ms needs a number of milliseconds");
        } else if (a == "--buses") {
            if (!parseInt(v, o.buses)) return usage("--buses needs a number");
        } else if (a == "--frame-timeout-ms") {
            if (!parseInt(v, o.frameTimeoutMs)) return usage("--frame-timeout-ms needs a number of milliseconds");
        } else if (a == "--max-connections") {
            if (!parseInt(v, o.maxConnections)) return usage("--max-connections needs a number");
        } else if (a == "--ready-fd") {
            if (!parseInt(v, o.readyFd)) return usage("--ready-fd needs a descriptor number");
        } else
            return usage(("unknown option " + a).c_str());
    }
    if (o.buses < 1 || o.buses > 16) return usage("a machine has 1 to 16 1394 buses");
    if (o.maxConnections < 2) return usage("a client needs 2 connections");
    if (o.frameTimeoutMs < 1) return usage("the frame time-out must be at least 1 ms");
    try {
        return bussvc::RunServer(o);
    } catch (const std::exception& e) {
        std::cerr << "lumarel-bus: " << e.what() << "\n";
        return 2;
    }
}
