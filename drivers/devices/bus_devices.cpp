#include "devices/bus_devices.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "devices/install_calls.h"
#include "devices/store.h"
#include "service/client.h"
#include "service/host.h"
#include "service/open_bus.h"

namespace busdev {
namespace {

struct State {
    std::mutex m;
    std::map<Handle, uint32_t> open;  // handle -> bus index
    Handle next = 0x200;
    std::vector<std::unique_ptr<bussvc::BusHost>> hosts;
    std::shared_ptr<bussvc::Access> access;
};

State& state() {
    static State* s = new State;  // outlives static objects that may still close handles
    return *s;
}

thread_local uint32_t lastError = 0;

bool fail(uint32_t error) {
    lastError = error;
    return false;
}

// The bus index a device name names, or -1.
int64_t busIndexOf(const std::string& name) {
    static const std::string prefix = "\\\\.\\1394BUS";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 3) return -1;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != prefix[i]) return -1;
    int64_t index = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        index = index * 10 + (name[i] - '0');
    }
    if (name.size() > prefix.size() + 1 && name[prefix.size()] == '0') return -1;  // "01" names nothing
    return index < int64_t(kMaxBuses) ? index : -1;
}

// The way to the buses: the first hosted bus (which forwards to the others), else the service.
std::shared_ptr<bussvc::Access> access() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (!s.access) s.access = bussvc::OpenBus(s.hosts.empty() ? nullptr : s.hosts.front().get(), nullptr);
    return s.access;
}

// A request code no bus device takes: the bus answers "invalid function" when it exists and
// "invalid handle" when it does not, and changes nothing.
constexpr uint32_t kProbeCode = 0;

}  // namespace

uint32_t GetLastError() { return lastError; }
void SetLastError(uint32_t error) { lastError = error; }

Handle CreateFile(const std::string& name) {
    const int64_t index = busIndexOf(name);
    if (index < 0) {
        lastError = kErrorFileNotFound;
        return kInvalidHandle;
    }
    auto a = access();
    if (!a || a->BusDeviceRequest(uint32_t(index), kProbeCode, {}) == int32_t(kErrorInvalidHandle)) {
        lastError = kErrorFileNotFound;
        return kInvalidHandle;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    const Handle h = s.next++;
    s.open.emplace(h, uint32_t(index));
    return h;
}

bool DeviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) {
    (void)out, (void)outSize;
    if (bytesReturned) *bytesReturned = 0;
    uint32_t index = 0;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.open.find(h);
        if (it == s.open.end()) return fail(kErrorInvalidHandle);
        index = it->second;
    }
    if (!in && inSize) return fail(kErrorInvalidParameter);
    const auto* p = static_cast<const uint8_t*>(in);
    std::vector<uint8_t> input(p, p + inSize);
    auto a = access();
    if (!a) return fail(kErrorGenFailure);
    const int32_t result = a->BusDeviceRequest(index, code, input);
    if (result != 0) return fail(uint32_t(result));
    return true;
}

bool CloseHandle(Handle h) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.open.erase(h) == 0) return fail(kErrorInvalidHandle);
    return true;
}

void HostBuses(const std::vector<sim::Bus*>& buses) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.access.reset();
    s.hosts.clear();
    for (sim::Bus* bus : buses) s.hosts.push_back(std::make_unique<bussvc::BusHost>(*bus));
    for (auto& host : s.hosts) {
        host->SetOtherBuses([&s](uint32_t index) -> bussvc::BusHost* {
            for (auto& h : s.hosts)
                if (uint32_t(h->Bus().BusIndex()) == index) return h.get();
            return nullptr;
        });
    }
}

// ---- Plug and Play ----------------------------------------------------------------------------

namespace {

constexpr char kOwnerKey[] = "Enumerator";
constexpr char kOwner[] = "1394";

std::string Upper(std::string text) {
    for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool OwnedByUs(const devices::DeviceNode& node) {
    for (const auto& [key, value] : node.other)
        if (key == kOwnerKey) return value == kOwner;
    return false;
}

// The state of bus `index` as the bus service describes it, or a discarded value.
nlohmann::json BusState(bussvc::Access& a, uint32_t index) {
    std::string reply;
    if (a.Control(nlohmann::json{{"cmd", "state"}, {"bus", index}}.dump(), reply) != 0)
        return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(reply, nullptr, false);
}

// The nodes the buses call for now; false when bus 0 could not be described.
bool WantedNodes(bussvc::Access& a, std::vector<devices::DeviceNode>& wanted) {
    for (uint32_t index = 0; index < kMaxBuses; ++index) {
        const nlohmann::json bus = BusState(a, index);
        if (!bus.is_object()) return index > 0;  // past the last bus
        for (const auto& n : bus.value("nodes", nlohmann::json::array())) {
            if (!n.is_object() || n.value("kind", "") != "lumarel460") continue;
            // Unplugged, switched off or still starting: not on the bus.
            if (!n.value("plugged", false) || n.value("phy_id", -1) < 0) continue;
            const nlohmann::json st = n.value("state", nlohmann::json::object());
            const std::string guid = st.is_object() ? st.value("guid", "") : "";
            if (guid.size() != 16) continue;
            devices::DeviceNode node;
            node.hardwareIds = {kLumarelHardwareId};
            node.instanceId = Upper(std::string(kLumarelHardwareId)) + "\\" + Upper(guid);
            wanted.push_back(std::move(node));
        }
        for (const auto& v : bus.value("virtual_devices", nlohmann::json::array())) {
            if (!v.is_object() || !v.contains("name") || !v["name"].is_string()) continue;
            const std::string name = v["name"].get<std::string>();
            const uint64_t instance = v.value("instance", uint64_t(0));
            const std::string where = std::to_string(index) + "&" + std::to_string(instance);
            devices::DeviceNode node;
            node.hardwareIds = {"V1394\\" + name};
            node.instanceId = Upper("V1394\\" + name) + "\\" + where;
            node.interfaces = {std::string(kVirtualDeviceInterfaceClass) + " \\\\.\\VDEV" + std::to_string(index) + "_" +
                               std::to_string(instance)};
            wanted.push_back(std::move(node));
        }
    }
    return true;
}

}  // namespace

bool EnumerateBusDevices() {
    // One enumeration at a time in this process; the store's own lock keeps other processes'
    // changes whole.
    static std::mutex running;
    std::lock_guard<std::mutex> guard(running);
    auto a = access();
    std::vector<devices::DeviceNode> wanted;
    try {
        if (!a || !WantedNodes(*a, wanted)) return false;
    } catch (const std::exception&) {  // a description that is not what the service writes
        return false;
    }
    if (!devices::EnsureFolders()) return false;

    // The devices on the buses: each a present node, others' entries (its driver among them)
    // kept as they are. What a device's driver publishes waits for the driver below.
    std::map<std::string, std::vector<std::string>> published;  // instance ID (upper case) -> interfaces
    std::vector<devices::DeviceNode> existing = devices::ListNodes();
    std::vector<bool> kept(existing.size(), false);
    for (devices::DeviceNode& node : wanted) {
        published[Upper(node.instanceId)] = std::exchange(node.interfaces, {});
        node.other = {{kOwnerKey, kOwner}};
        auto same = std::find_if(existing.begin(), existing.end(), [&](const devices::DeviceNode& e) {
            return Upper(e.instanceId) == Upper(node.instanceId);
        });
        if (same != existing.end()) {
            kept[size_t(same - existing.begin())] = true;
            devices::DeviceNode updated = *same;
            updated.present = true;
            updated.hardwareIds = node.hardwareIds;
            if (!OwnedByUs(updated)) updated.other.emplace_back(kOwnerKey, kOwner);
            if (devices::FormatNode(updated) != devices::FormatNode(*same)) devices::WriteNode(updated);
        } else {
            devices::WriteNode(node);
        }
    }
    for (size_t i = 0; i < existing.size(); ++i)
        if (!kept[i] && OwnedByUs(existing[i])) devices::RemoveNode(existing[i].serial);

    // A new device gets its driver from the installed packages; a device's interface exists
    // only while a driver of an installed package is bound to its node (the driver publishes
    // it), so a driver that was never installed, or was removed, leaves the device without one.
    devices::BindDrivers();
    for (const devices::DeviceNode& node : devices::ListNodes()) {
        auto it = published.find(Upper(node.instanceId));
        if (it == published.end() || !OwnedByUs(node)) continue;
        devices::DeviceNode updated = node;
        updated.interfaces = devices::HasInstalledDriver(node) ? it->second : std::vector<std::string>{};
        if (updated.interfaces != node.interfaces) devices::WriteNode(updated);
    }
    return true;
}

PlugAndPlay::PlugAndPlay() : id_(devices::RegisterEnumerator([] { EnumerateBusDevices(); })) {}
PlugAndPlay::~PlugAndPlay() { devices::UnregisterEnumerator(id_); }

int OpenHandles() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    return int(s.open.size());
}

}  // namespace busdev
