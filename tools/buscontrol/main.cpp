// buscontrol: looks at and changes the simulated 1394 bus of the platform root (LUMAREL_ROOT)
// through the bus service, which it starts when none runs (except for "stop").
//
//   buscontrol state                      the bus and every device as JSON
//   buscontrol reset [COUNT]              one bus reset, or COUNT in a row
//   buscontrol plug ID | unplug ID        a known node joins or leaves the bus
//   buscontrol power ID on|off            a device switched on (joins) or off (leaves)
//   buscontrol link ID on|off             a node's link layer on or off
//   buscontrol add-node JSON [POSITION]   a new node from a bus-description entry
//   buscontrol remove-node ID
//   buscontrol fault ID JSON              inject a fault, e.g. '{"kind":"no_response"}'
//   buscontrol clear-faults [ID]
//   buscontrol notice driver_error|other_driver_reset
//   buscontrol node-write ID ADDRESS HEX [NODE]   node ID writes bytes (default: to the host)
//   buscontrol vdev-add NAME | vdev-remove NAME   the virtual device list
//   buscontrol send JSON                  any control command as it stands
//   buscontrol stop                       end the running service
//
// Prints the service's JSON answer; exit code 0 when done, 1 when refused, 2 on bad usage. Named
// with LUMAREL_BUS_DESCRIPTION a bus that the running service does not host, it says so, sends
// nothing and exits 1 (except "stop", which ends that service).
// "stop" returns once the service has ended (it saves the devices' state on its way out), so
// that its state folder may be removed or a new service started right after.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/json_codec.h"
#include "clock/clock.h"
#include "service/client.h"
#include "service/protocol.h"

using nlohmann::json;

namespace {

int usage(const std::string& why) {
    std::cerr << "buscontrol: " << why << "\n"
              << "commands: state | reset [COUNT] | plug ID | unplug ID | power ID on|off |\n"
                 "  link ID on|off | add-node JSON [POSITION] | remove-node ID | fault ID JSON |\n"
                 "  clear-faults [ID] | notice driver_error|other_driver_reset |\n"
                 "  node-write ID ADDRESS HEX [NODE] | vdev-add NAME | vdev-remove NAME |\n"
                 "  send JSON | stop\n";
    return 2;
}

json parseJson(const std::string& text, const char* what) {
    std::string why;
    json j = sim::ParseJson(text, &why);
    if (j.is_discarded()) throw std::invalid_argument(std::string(what) + " " + sim::QuoteText(text) + ": " + why);
    return j;
}

bool onOff(const std::string& v) {
    if (v == "on") return true;
    if (v == "off") return false;
    throw std::invalid_argument("expected on or off, not \"" + v + "\"");
}

int number(const std::string& v) {
    size_t end = 0;
    int n = std::stoi(v, &end, 0);
    if (end != v.size()) throw std::invalid_argument("not a number: " + v);
    return n;
}

// Builds the control command for the arguments.
json command(const std::vector<std::string>& a) {
    const std::string& c = a[0];
    auto need = [&](size_t n) {
        if (a.size() < n + 1 || a.size() > n + 1) throw std::invalid_argument(c + " takes " + std::to_string(n) + " argument(s)");
    };
    auto needRange = [&](size_t lo, size_t hi) {
        if (a.size() < lo + 1 || a.size() > hi + 1) throw std::invalid_argument("wrong number of arguments for " + c);
    };
    if (c == "state") { need(0); return {{"cmd", "state"}}; }
    if (c == "reset") {
        needRange(0, 1);
        if (a.size() == 1) return {{"cmd", "reset"}};
        return {{"cmd", "reset_storm"}, {"count", number(a[1])}};
    }
    if (c == "plug" || c == "unplug") { need(1); return {{"cmd", c}, {"id", a[1]}}; }
    if (c == "power") { need(2); return {{"cmd", "power"}, {"id", a[1]}, {"on", onOff(a[2])}}; }
    if (c == "link") { need(2); return {{"cmd", "link"}, {"id", a[1]}, {"active", onOff(a[2])}}; }
    if (c == "add-node") {
        needRange(1, 2);
        json j = {{"cmd", "add_node"}, {"node", parseJson(a[1], "the node")}};
        if (a.size() == 3) j["position"] = number(a[2]);
        return j;
    }
    if (c == "remove-node") { need(1); return {{"cmd", "remove_node"}, {"id", a[1]}}; }
    if (c == "fault") { need(2); return {{"cmd", "fault"}, {"id", a[1]}, {"fault", parseJson(a[2], "the fault")}}; }
    if (c == "clear-faults") {
        needRange(0, 1);
        json j = {{"cmd", "clear_faults"}};
        if (a.size() == 2) j["id"] = a[1];
        return j;
    }
    if (c == "notice") { need(1); return {{"cmd", "notice"}, {"kind", a[1]}}; }
    if (c == "node-write") {
        needRange(3, 4);
        json j = {{"cmd", "node_write"}, {"id", a[1]}, {"address", a[2]}, {"data", a[3]}};
        if (a.size() == 5) j["node"] = number(a[4]);
        return j;
    }
    if (c == "vdev-add" || c == "vdev-remove") {
        need(1);
        return {{"cmd", c == "vdev-add" ? "vdev_add" : "vdev_remove"}, {"name", a[1]}};
    }
    if (c == "send") { need(1); return parseJson(a[1], "the command"); }
    if (c == "stop") { need(0); return {{"cmd", "shutdown"}}; }
    throw std::invalid_argument("unknown command \"" + c + "\"");
}

// Waits (at most about ten seconds) until no service holds the service lock of the platform
// root: a service holds it until it has saved its last state and closed its socket.
bool waitForServiceEnd() {
    const std::string lock = bussvc::ServiceFolder(bussvc::PlatformRoot()) + "/service.lock";
    const int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return true;  // no lock file: no service
    bool ended = false;
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        if (!ended) clk::Sleep(50);
    }
    ::close(fd);  // also lets go of the lock taken here
    return ended;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return usage("no command");
    json cmd;
    try {
        cmd = command(args);
    } catch (const std::exception& e) {
        return usage(e.what());
    }
    try {
        std::unique_ptr<bussvc::Access> bus;
        if (args[0] == "stop") {
            bussvc::ServiceOptions options;
            options.checkDescription = false;  // the service to end may well host another bus
            bus = bussvc::ConnectToRunningService(nullptr, options);
            if (!bus) {
                std::cout << "{\"stopped\":false,\"running\":false}\n";
                return 0;
            }
        } else {
            bus = bussvc::ConnectToService(nullptr);
            // The bus named by LUMAREL_BUS_DESCRIPTION is not the one running: a command for
            // it would look at or change another bus (the connection has said so).
            if (!bus->DescriptionMismatch().empty()) return 1;
        }
        std::string reply;
        int32_t code = bus->Control(cmd.dump(), reply);
        json answer = sim::ParseJson(reply);
        std::cout << (answer.is_discarded() ? reply : answer.dump(2)) << "\n";
        bus.reset();  // the service ends only when its last connection has gone
        if (code == 0 && args[0] == "stop" && !waitForServiceEnd()) {
            std::cerr << "buscontrol: the service has not ended within 10 s\n";
            return 1;
        }
        return code == 0 ? 0 : 1;
    } catch (const bussvc::ServiceError&) {
        return 1;  // the bus client has said why on standard error
    } catch (const std::exception& e) {
        std::cerr << "buscontrol: " << e.what() << "\n";
        return 1;
    }
}
