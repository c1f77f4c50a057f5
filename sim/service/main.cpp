// lumarel-bus: the simulated 1394 bus service. Programs start it on first use (the access
// library does so); it needs no set-up.
//
//   lumarel-bus [--root DIR] [--description FILE] [--idle-ms N] [--buses N] [--ready-fd FD]
//
// Defaults come from the environment: LUMAREL_ROOT, LUMAREL_BUS_DESCRIPTION,
// LUMAREL_BUS_IDLE_MS (default 60000) and LUMAREL_BUS_COUNT (1394 buses, default 1).
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "protocol.h"
#include "server.h"

namespace {

int usage(const char* why) {
    std::cerr << "lumarel-bus: " << why << "\n"
              << "usage: lumarel-bus [--root DIR] [--description FILE] [--idle-ms N] [--buses N] [--ready-fd FD]\n";
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
        } else if (a == "--ready-fd") {
            if (!parseInt(v, o.readyFd)) return usage("--ready-fd needs a descriptor number");
        } else
            return usage(("unknown option " + a).c_str());
    }
    if (o.buses < 1 || o.buses > 16) return usage("a machine has 1 to 16 1394 buses");
    try {
        return bussvc::RunServer(o);
    } catch (const std::exception& e) {
        std::cerr << "lumarel-bus: " << e.what() << "\n";
        return 2;
    }
}
