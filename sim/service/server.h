// The bus service: hosts one simulated bus for every program of the platform root and serves
// it on the Unix socket <root>/bus/bus.sock.
//
// One instance per root: the service holds <root>/bus/service.lock for its whole life. It keeps
// device state in <root>/bus/state, logs to <root>/bus/service.log, and ends on its own once no
// client has been connected for the idle period. A request it cannot understand gets an error
// answer and a log line and changes nothing; a client that goes away (even in the middle of a
// request) only ends its own connection. What a connection costs is bounded: a frame takes
// memory as its bytes arrive, a client silent in the middle of one is dropped, and the number
// of connections open at once is capped.
#pragma once

#include <string>

namespace bussvc {

struct ServerOptions {
    std::string root;
    std::string descriptionFile;  // empty: the embedded default bus
    int idleMs = 60000;
    // 1394 buses of the machine. Bus 0 carries the described nodes; each further bus only the
    // local host, and is reached only through its bus device (virtual device requests).
    int buses = 1;
    int readyFd = -1;             // gets one byte once the socket listens
    // How long a client may stay silent in the middle of a frame (its greeting or a request)
    // before the service drops the connection. Between requests a client may stay as long as
    // it likes.
    int frameTimeoutMs = 5000;
    // Connections open at once (each client holds two: requests and notices). One more is
    // told so and closed; those already open are served on.
    int maxConnections = 128;
};

// Runs the service until it is idle or told to stop. Returns the process exit code.
int RunServer(const ServerOptions& options);

}  // namespace bussvc
