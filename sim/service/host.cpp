#include "host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <set>

#include "bus/description.h"
#include "bus/json_codec.h"
#include "fs/fs.h"
#if LUMAREL_WITH_DEVICE
#include "device/lumarel_node.h"
#include "device/node_kinds.h"
#endif

namespace bussvc {

namespace fsys = std::filesystem;
using nlohmann::json;

namespace {

// The bus driver's control code for add/remove-virtual-device requests and the request record
// it takes: u32 request (1 add, 2 remove), u32 request flags, u32 device flags, u32 reserved,
// u32 instance low, u32 instance high, then the device ID characters and a zero.
constexpr uint32_t kBusApiRequest = 0x220400;
constexpr size_t kBusRequestHeader = 24;
constexpr size_t kBusRequestMax = kBusRequestHeader + 256 + 8;
constexpr int32_t kErrorInvalidFunction = 1;
constexpr int32_t kErrorInvalidHandle = 6;
constexpr int32_t kErrorWriteFault = 29;  // the change is made but could not be saved

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t noticeFor(sim::EventKind kind) {
    switch (kind) {
    case sim::EventKind::DeviceChange: return 0x52D;
    case sim::EventKind::BusReset: return 0x52E;
    case sim::EventKind::IncomingData: return 0x52F;
    case sim::EventKind::DriverError: return 0x530;
    case sim::EventKind::OtherDriverReset: return 0x414;
    }
    return 0;
}

// Writes a file of the service's state whole (for its owner only): a temporary file renamed
// over it.
bool writeFileAtomically(const fsys::path& file, const std::string& text) {
    if (!fs::CreatePrivateFolders(file.parent_path())) return false;
    fsys::path tmp = file;
    tmp += ".tmp";
    const int fd = fs::OpenPrivateFile(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t at = 0; ok && at < text.size();) {
        const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        if (n > 0) at += size_t(n);
        else ok = n < 0 && errno == EINTR;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    std::error_code ec;
    if (ok) fsys::rename(tmp, file, ec);
    ok = ok && !ec;
    if (!ok) fsys::remove(tmp, ec);
    return ok;
}

const json& need(const json& request, const char* field) {
    if (!request.contains(field)) throw std::invalid_argument(std::string("missing \"") + field + "\"");
    return request.at(field);
}

std::string needString(const json& request, const char* field) {
    const json& v = need(request, field);
    if (!v.is_string()) throw std::invalid_argument(std::string("\"") + field + "\" must be a text");
    return v.get<std::string>();
}

// A whole number that fits an int (a fraction or a huge value is refused, never converted).
int needInt(const json& request, const char* field) {
    const json& v = need(request, field);
    if (!v.is_number_integer() || v.get<int64_t>() < INT_MIN || v.get<int64_t>() > INT_MAX ||
        (v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(INT_MAX)))
        throw std::invalid_argument(std::string("\"") + field + "\" must be a whole number");
    return int(v.get<int64_t>());
}

bool needBool(const json& request, const char* field) {
    const json& v = need(request, field);
    if (!v.is_boolean()) throw std::invalid_argument(std::string("\"") + field + "\" must be true or false");
    return v.get<bool>();
}

std::vector<uint8_t> hexBytes(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.size() % 2 != 0) throw std::invalid_argument("\"data\" needs whole bytes of hex");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        auto nib = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            throw std::invalid_argument("\"data\" must be hex digits");
        };
        out.push_back(uint8_t(nib(digits[i]) << 4 | nib(digits[i + 1])));
    }
    return out;
}

}  // namespace

// ------------------------------------------------------------------------------------ session

class BusHost::Session final : public Access {
public:
    Session(BusHost& host, NoticeCallback onNotice) : host_(host), onNotice_(std::move(onNotice)) {}

    ~Session() override {
        std::map<int32_t, uint32_t> mine;
        {
            std::lock_guard<std::recursive_mutex> lock(host_.m_);
            auto& s = host_.sessions_;
            s.erase(std::remove(s.begin(), s.end(), this), s.end());
            mine.swap(ranges_);
            host_.rangeCount_ -= rangeCount_;
            host_.rangeBytes_ -= rangeBytes_;
        }
        for (const auto& [h, length] : mine) host_.bus_.FreeRange(h);
    }

    void Notify(uint32_t message) {
        if (onNotice_) onNotice_(message);
    }
    bool Owns(int32_t handle) const { return ranges_.count(handle) != 0; }  // under host_.m_

    int32_t Read(int32_t node, uint16_t high, uint32_t low, uint32_t count, int32_t timeoutMs,
                 uint8_t* out) override {
        int32_t code = host_.bus_.Read(node, high, low, count, out, timeoutMs > 0 ? uint32_t(timeoutMs) : 0);
        // A device finishes some work on its own time (a flash write after its erase time) and
        // the host learns of it by reading the answer: save before that answer goes out.
        host_.SaveChanges();
        return code;
    }

    int32_t Write(int32_t node, uint16_t high, uint32_t low, const uint8_t* data, uint32_t count,
                  int32_t timeoutMs) override {
        int32_t code =
            host_.bus_.Write(node, high, low, count, data, timeoutMs > 0 ? uint32_t(timeoutMs) : 0);
        // Acknowledged only once saved: a success that a restart would undo is a failure.
        if (!host_.SaveChanges() && code == sim::kResultSuccess) code = sim::kResultUnknownError;
        return code;
    }

    int32_t TopologyMap(const std::string& device, std::vector<uint8_t>& map) override {
        if (!known(device)) return sim::kResultNotFound;
        map = host_.bus_.TopologyMap();
        return 0;
    }

    int32_t LocalNodeAddress(const std::string& device, uint16_t& nodeId) override {
        if (!known(device) || host_.bus_.LocalHostPhy() < 0) return sim::kResultNotFound;
        nodeId = host_.bus_.LocalNodeId();
        return 0;
    }

    std::vector<std::string> VirtualDevices() override {
        std::vector<std::string> names;
        for (const auto& d : host_.bus_.VirtualDevices()) names.push_back(d.name);
        return names;
    }

    int32_t AddVirtualDevice(uint32_t, uint64_t instance, const std::string& name) override {
        return host_.Saved(host_.bus_.AddVirtualDevice(name, instance));
    }

    int32_t RemoveVirtualDevice(uint32_t, uint64_t instance, const std::string& name) override {
        return host_.Saved(host_.bus_.RemoveVirtualDevice(name, instance));
    }

    int32_t ResetBus(const std::string& device) override {
        if (!known(device)) return sim::kResultNotFound;
        host_.bus_.Reset(sim::ResetCause::Request);
        host_.SaveChanges();
        return 0;
    }

    int32_t AllocateRange(const std::string& device, uint16_t high, uint32_t low, uint32_t length,
                          uint32_t access, uint32_t notify, uint32_t& handle) override {
        if (!known(device)) return sim::kResultNotFound;
        if (length == 0 || length > sim::kMaxRangeLength) return sim::kResultInvalidParameter;
        // Counted before the bus allocates it, so that clients asking at once cannot pass the
        // bounds together.
        {
            std::lock_guard<std::recursive_mutex> lock(host_.m_);
            std::string passed;
            if (rangeCount_ + 1 > kMaxRangesPerClient || rangeBytes_ + length > kMaxRangeBytesPerClient)
                passed = "one client's bound of " + std::to_string(kMaxRangesPerClient) + " ranges or " +
                         std::to_string(kMaxRangeBytesPerClient >> 20) + " MiB";
            else if (host_.rangeCount_ + 1 > kMaxRangesInTotal || host_.rangeBytes_ + length > kMaxRangeBytesInTotal)
                passed = "the bound of " + std::to_string(kMaxRangesInTotal) + " ranges or " +
                         std::to_string(kMaxRangeBytesInTotal >> 20) + " MiB for all clients";
            if (!passed.empty()) {
                host_.Log("refused a host address range of " + std::to_string(length) + " bytes: it would pass " +
                          passed);
                return sim::kResultNoRoom;
            }
            count(+1, length);
        }
        sim::RangeResult r = host_.bus_.AllocateRange(high, low, length, access, notify);
        std::lock_guard<std::recursive_mutex> lock(host_.m_);
        if (r.status != 0) {
            count(-1, length);
            return r.status;
        }
        ranges_[r.handle] = length;
        handle = uint32_t(r.handle);
        return 0;
    }

    int32_t FreeRange(const std::string& device, uint32_t handle) override {
        if (!known(device)) return sim::kResultNotFound;
        {
            std::lock_guard<std::recursive_mutex> lock(host_.m_);
            const auto it = ranges_.find(int32_t(handle));
            if (it == ranges_.end()) return sim::kResultNotFound;
            count(-1, it->second);
            ranges_.erase(it);
        }
        return host_.bus_.FreeRange(int32_t(handle));
    }

    int32_t BusDeviceRequest(uint32_t busIndex, uint32_t controlCode,
                             const std::vector<uint8_t>& input) override {
        return host_.BusDeviceRequest(busIndex, controlCode, input);
    }

    int32_t Control(const std::string& request, std::string& reply) override {
        return host_.Control(request, reply);
    }

    int32_t AudioUnits(std::vector<AudioUnitInfo>& units) override { return host_.AudioUnits(units); }
    int32_t AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output) override {
        return host_.AudioRequest(node, code, input, outSize, error, output);
    }

private:
    bool known(const std::string& device) const {
        if (device.empty()) return false;
        for (const auto& d : host_.bus_.VirtualDevices())
            if (d.name == device) return true;
        return false;
    }

    BusHost& host_;
    NoticeCallback onNotice_;
    // Adds (+1) or takes away (-1) one range of `length` bytes, here and in the host's total.
    void count(int sign, uint32_t length) {  // under host_.m_
        rangeCount_ += uint32_t(sign);
        rangeBytes_ += uint64_t(int64_t(sign) * int64_t(length));
        host_.rangeCount_ += uint32_t(sign);
        host_.rangeBytes_ += uint64_t(int64_t(sign) * int64_t(length));
    }

    std::map<int32_t, uint32_t> ranges_;  // handle -> length; under host_.m_
    uint32_t rangeCount_ = 0;             // under host_.m_
    uint64_t rangeBytes_ = 0;
};

// --------------------------------------------------------------------------------------- host

int32_t BusHost::BusDeviceRequest(uint32_t busIndex, uint32_t controlCode, const std::vector<uint8_t>& input) {
    if (int(busIndex) != bus_.BusIndex()) {
        BusHost* other = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(m_);
            if (otherBuses_) other = otherBuses_(busIndex);
        }
        return other && other != this ? other->BusDeviceRequest(busIndex, controlCode, input) : kErrorInvalidHandle;
    }
    if (controlCode != kBusApiRequest) return kErrorInvalidFunction;
    if (input.size() < kBusRequestHeader || input.size() > kBusRequestMax) return sim::kResultInvalidParameter;
    const uint8_t* p = input.data();
    uint32_t request = le32(p);
    uint64_t instance = uint64_t(le32(p + 16)) | uint64_t(le32(p + 20)) << 32;
    const char* name = reinterpret_cast<const char*>(p + kBusRequestHeader);
    std::string id(name, strnlen(name, input.size() - kBusRequestHeader));
    if (id.empty()) return sim::kResultInvalidParameter;  // a request without a device ID
    int32_t code;
    if (request == 1)
        code = bus_.AddVirtualDevice(id, instance);
    else if (request == 2)
        code = bus_.RemoveVirtualDevice(id, instance);
    else
        return sim::kResultInvalidParameter;
    return Saved(code);
}

int32_t BusHost::AudioUnits(std::vector<AudioUnitInfo>& units) {
    units.clear();
#if LUMAREL_WITH_DEVICE
    auto text = [](const std::array<uint8_t, 8>& t) {
        return std::string(reinterpret_cast<const char*>(t.data()), strnlen(reinterpret_cast<const char*>(t.data()), 8));
    };
    bus_.Locked([&] {
        for (const std::string& id : bus_.NodeIds()) {
            auto* d = dynamic_cast<sim::lumarel::Lumarel460Node*>(bus_.FindNode(id));
            if (!d || !d->AudioPresent() || units.size() >= kMaxAudioUnits) continue;
            const auto& dev = d->device();
            AudioUnitInfo u;
            u.node = id;
            u.guid = dev.guid();
            static const char* digits = "0123456789abcdef";
            std::string g;
            for (uint8_t b : u.guid) g += {digits[b >> 4], digits[b & 15]};
            std::string ident = d->AudioIdentifier();
            std::string lower = ident;
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            u.interfacePath = "\\\\?\\1394#" + lower + "#" + g + "#{006902cb-e626-45b4-8a62-2eaad63f8d12}";
            u.controlOpenable = !d->audio().faults().controlUnopenable;
            u.identifier = ident;
            const sim::lumarel::FlashSlot& app = dev.slot(0);
            u.softwareDate = text(app.info.date);
            u.softwareTime = text(app.info.time);
            u.bootloaderDate = text(dev.runningBootDate());
            u.bootloaderTime = text(dev.runningBootTime());
            units.push_back(std::move(u));
        }
    });
#endif
    return 0;
}

int32_t BusHost::AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                              uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output) {
    int32_t result = sim::kResultNotFound;
    output.clear();
#if LUMAREL_WITH_DEVICE
    outSize = std::min(outSize, kMaxAudioBytes);
    bus_.WithNode(node, [&](sim::Node& n) {
        auto* d = dynamic_cast<sim::lumarel::Lumarel460Node*>(&n);
        if (!d || !d->AudioPresent()) return;
        error = d->AudioRequest(code, input, outSize, output);
        result = 0;
    });
    // Settings the driver took are kept like the rest of the device's state.
    if (result == 0) SaveChanges();
#else
    (void)node, (void)code, (void)input, (void)outSize, (void)error;
#endif
    return result;
}

int32_t BusHost::Saved(int32_t code) {
    if (!SaveChanges() && code == 0) return kErrorWriteFault;
    return code;
}

void BusHost::SetOtherBuses(std::function<BusHost*(uint32_t busIndex)> find) {
    std::lock_guard<std::recursive_mutex> lock(m_);
    otherBuses_ = std::move(find);
}

BusHost::BusHost(sim::Bus& bus, fsys::path stateFolder) : bus_(bus), state_(std::move(stateFolder)) {
    listener_ = bus_.AddListener([this](const sim::BusEvent& e) { onEvent(e); });
}

BusHost::~BusHost() { bus_.RemoveListener(listener_); }

fsys::path BusHost::NodeStateFolder(const std::string& nodeId) const {
    if (state_.empty()) return {};
    return state_ / "nodes" / sim::StateFolderName(nodeId);
}

void BusHost::Load(const json* description) {
#if LUMAREL_WITH_DEVICE
    sim::lumarel::RegisterNodeKinds();
    json d = description ? *description : sim::lumarel::DefaultBusDescription();
#else
    json d = description ? *description : sim::DefaultDescription();
#endif
    sim::LoadDescription(bus_, d, state_.empty() ? fsys::path() : state_ / "nodes");
    std::lock_guard<std::mutex> lock(saveM_);
    // Taken before the nodes are looked at: a change from here on leads to a look at them all.
    savedChanges_ = bus_.StateChanges();
    savedSerial_.clear();
    for (const std::string& id : bus_.NodeIds()) {
        fsys::path dir = NodeStateFolder(id);
        bus_.WithNode(id, [&](sim::Node& n) {
            std::error_code ec;
            if (!dir.empty() && fsys::exists(dir, ec)) n.LoadState(dir);
            savedSerial_[id] = n.StateSerial();
#if LUMAREL_WITH_DEVICE
            if (auto* d = dynamic_cast<sim::lumarel::Lumarel460Node*>(&n); d && !d->StateError().empty())
                Log("the saved state of node " + id + " could not be loaded, the node starts from its description: " +
                    d->StateError());
#endif
        });
    }
    if (!state_.empty()) restoreVirtualDevices();
}

bool BusHost::SaveChanges() {
    if (state_.empty()) return true;
    // Most requests change nothing: while no node has reported a change since the last save
    // of them all (and the virtual device list is as saved), there is nothing to do, and no
    // lock to take. savedChanges_ moves only after the files are written, so a request that
    // finds it current also finds its changes on disk.
    if (!devicesChanged_ && bus_.StateChanges() == savedChanges_.load()) return true;
    bool ok = true;
    std::lock_guard<std::mutex> lock(saveM_);
    // One pass under the bus lock over the nodes this host keeps state for.
    bus_.Locked([&] {
        const uint64_t changes = bus_.StateChanges();
        if (changes == savedChanges_.load()) return;  // saved meanwhile by another request
        bool allSaved = true;
        for (auto& [id, saved] : savedSerial_) {
            sim::Node* n = bus_.FindNode(id);
            if (!n) continue;
            uint64_t serial = n->StateSerial();
            if (serial == 0 || serial == saved) continue;
            fsys::path dir = NodeStateFolder(id);
            try {
                n->SaveState(dir);
                saved = serial;
                if (failingSaves_.erase(id)) Log("the state of node " + id + " is saved again");
            } catch (const std::exception& e) {
                allSaved = false;
                // Said once: every request tries again, and a full disk fails them all alike.
                if (failingSaves_.insert(id).second) Log("saving the state of node " + id + " failed: " + e.what());
            }
        }
        // After a failure the count stays behind, so that the next request tries again.
        if (allSaved) savedChanges_.store(changes);
        ok = allSaved;
    });
    if (devicesChanged_.exchange(false) && !saveVirtualDevices()) {
        devicesChanged_ = true;  // try again with the next change
        ok = false;
    }
    return ok;
}

void BusHost::trackNode(const std::string& id, bool known) {
    std::lock_guard<std::mutex> lock(saveM_);
    if (!known) {
        savedSerial_.erase(id);
        return;
    }
    bus_.WithNode(id, [&](sim::Node& n) { savedSerial_[id] = n.StateSerial(); });
}

bool BusHost::saveVirtualDevices() {
    json list = json::array();
    for (const auto& d : bus_.VirtualDevices()) list.push_back({{"name", d.name}, {"instance", d.instance}});
    if (writeFileAtomically(state_ / "virtual_devices.json", list.dump())) return true;
    Log("saving the virtual device list failed");
    return false;
}

void BusHost::restoreVirtualDevices() {
    fsys::path file = state_ / "virtual_devices.json";
    if (!std::ifstream(file, std::ios::binary)) return;
    json list = sim::ReadJsonFile(file);
    if (!list.is_array()) {
        Log("ignoring an unreadable " + file.string());
        return;
    }
    for (const auto& d : bus_.VirtualDevices()) bus_.RemoveVirtualDevice(d.name, d.instance);
    // An entry that is not a name and an instance number is skipped; the others still come back.
    for (const auto& e : list) {
        const json& name = sim::JsonField(e, "name");
        const json& instance = sim::JsonField(e, "instance");
        if (!name.is_string() || !(instance.is_null() || instance.is_number_unsigned())) {
            Log("skipping a virtual device entry of " + file.string() + ": " + sim::QuoteJson(e));
            continue;
        }
        bus_.AddVirtualDevice(name.get<std::string>(), instance.is_null() ? 0 : instance.get<uint64_t>());
    }
}

std::unique_ptr<Access> BusHost::Open(NoticeCallback onNotice) {
    auto s = std::make_unique<Session>(*this, std::move(onNotice));
    std::lock_guard<std::recursive_mutex> lock(m_);
    sessions_.push_back(s.get());
    return s;
}

int BusHost::Sessions() const {
    std::lock_guard<std::recursive_mutex> lock(m_);
    return int(sessions_.size());
}

void BusHost::SetShutdownHandler(std::function<void()> handler) {
    std::lock_guard<std::recursive_mutex> lock(m_);
    shutdown_ = std::move(handler);
}

void BusHost::SetLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard<std::recursive_mutex> lock(m_);
    logger_ = std::move(logger);
}

void BusHost::Log(const std::string& line) {
    std::function<void(const std::string&)> l;
    {
        std::lock_guard<std::recursive_mutex> lock(m_);
        l = logger_;
    }
    if (l) l(line);
}

void BusHost::onEvent(const sim::BusEvent& event) {
    if (event.kind == sim::EventKind::DeviceChange) devicesChanged_ = true;
    uint32_t message = noticeFor(event.kind);
    if (message == 0) return;
    // Sessions are only removed under m_, so none goes away while it is told.
    std::lock_guard<std::recursive_mutex> lock(m_);
    for (Session* s : sessions_) {
        if (event.kind == sim::EventKind::IncomingData && !s->Owns(event.rangeHandle)) continue;
        s->Notify(message);
    }
}

int32_t BusHost::Control(const std::string& request, std::string& reply) {
    std::string why;
    json req = sim::ParseJson(request, &why);
    int32_t code = kControlOk;
    json answer;
    // A command for another bus of the service ("bus": its index) goes to that bus's host.
    if (req.is_object() && req.contains("bus") && sim::JsonField(req, "bus").is_number_integer() &&
        sim::JsonField(req, "bus").get<int64_t>() != bus_.BusIndex()) {
        const int64_t index = sim::JsonField(req, "bus").get<int64_t>();
        BusHost* other = nullptr;
        {
            std::lock_guard<std::recursive_mutex> lock(m_);
            if (otherBuses_ && index >= 0 && index < 1024) other = otherBuses_(uint32_t(index));
        }
        if (!other || other == this) {
            reply = json{{"error", "no bus " + std::to_string(index)}}.dump();
            return kControlFailed;
        }
        req.erase("bus");
        return other->Control(req.dump(), reply);
    }
    if (req.is_object()) req.erase("bus");
    if (!req.is_object() || !req.contains("cmd") || !sim::JsonField(req, "cmd").is_string()) {
        std::string error = "a control command is a JSON object with a \"cmd\" text";
        if (req.is_discarded()) error += " (" + why + ")";
        answer = {{"error", error}};
        code = kControlFailed;
    } else {
        try {
            answer = control(req);
        } catch (const std::exception& e) {
            answer = {{"error", e.what()}};
            code = kControlFailed;
        }
    }
    if (!SaveChanges() && code == kControlOk) {
        answer = {{"error", "the change could not be saved"}};
        code = kControlFailed;
    }
    reply = answer.dump();
    return code;
}

json BusHost::control(const json& req) {
    const std::string cmd = sim::JsonField(req, "cmd").get<std::string>();
    auto nodeId = [&] {
        std::string id = needString(req, "id");
        auto ids = bus_.NodeIds();
        if (std::find(ids.begin(), ids.end(), id) == ids.end())
            throw std::invalid_argument("no node " + sim::QuoteText(id) + " on the bus");
        return id;
    };
    if (cmd == "state") {
        json s = bus_.Describe();
        s["sessions"] = Sessions();
        return s;
    }
    if (cmd == "reset") return {{"generation", bus_.Reset(sim::ResetCause::Request)}};
    if (cmd == "reset_storm") {
        int count = needInt(req, "count");
        if (count < 1 || count > 1000) throw std::invalid_argument("\"count\" must be 1 to 1000");
        bus_.ResetStorm(count);
        return {{"generation", bus_.Generation()}};
    }
    if (cmd == "power" && needBool(req, "on") && withDevice(nodeId(), {{"power_cycle", true}}))
        return {{"generation", bus_.Generation()}};  // it boots and joins after its reset time
    if (cmd == "power" && !needBool(req, "on") && withDevice(nodeId(), {{"power_off", true}}))
        return {{"generation", bus_.Generation()}, {"phy", bus_.PhyOf(nodeId())}};
    if (cmd == "device") {
        std::string id = nodeId();
        json command = req;
        command.erase("cmd");
        command.erase("id");
        if (!withDevice(id, command)) throw std::invalid_argument("node " + sim::QuoteText(id) + " is not a Lumarel 460");
        return json::object();
    }
    if (cmd == "plug" || cmd == "unplug" || cmd == "power") {
        std::string id = nodeId();
        bool on = cmd == "plug" || (cmd == "power" && needBool(req, "on"));
        // A device switched off leaves the bus like an unplugged one; switched on it joins again.
        bool ok = on ? bus_.Plug(id) : bus_.Unplug(id);
        if (!ok && on) throw std::invalid_argument("node " + sim::QuoteText(id) + " cannot join: no room on the bus");
        return {{"generation", bus_.Generation()}, {"phy", bus_.PhyOf(id)}};
    }
    if (cmd == "link") {
        std::string id = nodeId();
        bus_.SetLinkActive(id, needBool(req, "active"));
        return {{"generation", bus_.Generation()}};
    }
    if (cmd == "add_node") {
        const json& nodeDesc = need(req, "node");
        if (!nodeDesc.is_object()) throw std::invalid_argument("\"node\" must be an object");
        std::string id = needString(nodeDesc, "id");
        std::string kind = needString(nodeDesc, "kind");
        int position = req.contains("position") ? needInt(req, "position") : -1;
        sim::NodeContext ctx{nodeDesc, id, NodeStateFolder(id)};
        auto node = sim::MakeNode(kind, ctx);
        int32_t code = bus_.AddNode(id, std::move(node), position, nodeDesc.value("plugged", true));
        if (code != sim::kResultSuccess)
            throw std::invalid_argument("node " + sim::QuoteText(id) + " was not added, code " + std::to_string(code));
        trackNode(id, true);
        return {{"generation", bus_.Generation()}, {"phy", bus_.PhyOf(id)}};
    }
    if (cmd == "remove_node") {
        std::string id = nodeId();
        bus_.RemoveNode(id);
        trackNode(id, false);
        return {{"generation", bus_.Generation()}};
    }
    if (cmd == "fault") {
        std::string id = nodeId();
        sim::FaultSpec f = sim::FaultFromJson(need(req, "fault"));
        bus_.AddFault(id, f);
        return {{"faults", bus_.Faults(id).size()}};
    }
    if (cmd == "clear_faults") {
        if (req.contains("id"))
            bus_.ClearFaults(nodeId());
        else
            bus_.ClearAllFaults();
        return json::object();
    }
    if (cmd == "notice") {
        std::string kind = needString(req, "kind");
        if (kind == "driver_error")
            bus_.InjectNotice(sim::EventKind::DriverError);
        else if (kind == "other_driver_reset")
            bus_.InjectNotice(sim::EventKind::OtherDriverReset);
        else
            throw std::invalid_argument("\"kind\" must be \"driver_error\" or \"other_driver_reset\"");
        return json::object();
    }
    if (cmd == "node_write" || cmd == "node_read") {
        // A request issued by a node of the bus (e.g. into a host range of the local host).
        std::string id = nodeId();
        int source = bus_.PhyOf(id);
        if (source < 0) throw std::invalid_argument("node " + sim::QuoteText(id) + " is not on the bus");
        int dest = req.contains("node") ? needInt(req, "node") : bus_.LocalHostPhy();
        uint64_t address = sim::JsonU64(need(req, "address"), "address");
        uint16_t high = uint16_t(address >> 32);
        uint32_t low = uint32_t(address);
        if (cmd == "node_write") {
            std::vector<uint8_t> data = hexBytes(needString(req, "data"));
            int32_t code = bus_.WriteFrom(source, dest, high, low, uint32_t(data.size()), data.data());
            return {{"code", code}};
        }
        int length = needInt(req, "length");
        if (length < 4 || length > 2048 || length % 4) throw std::invalid_argument("\"length\" must be 4 to 2048 in quadlets");
        std::vector<uint8_t> data(size_t(length), 0);
        int32_t code = bus_.ReadFrom(source, dest, high, low, uint32_t(length), data.data());
        std::string hex;
        static const char* digits = "0123456789ABCDEF";
        if (code == sim::kResultSuccess)
            for (uint8_t b : data) { hex += digits[b >> 4]; hex += digits[b & 15]; }
        return {{"code", code}, {"data", hex}};
    }
    if (cmd == "vdev_add" || cmd == "vdev_remove") {
        std::string name = needString(req, "name");
        uint64_t instance = req.contains("instance") ? sim::JsonU64(sim::JsonField(req, "instance"), "instance") : 0;
        int32_t code = cmd == "vdev_add" ? bus_.AddVirtualDevice(name, instance)
                                         : bus_.RemoveVirtualDevice(name, instance);
        if (code != 0) throw std::invalid_argument("virtual device " + sim::QuoteText(name) + ": code " + std::to_string(code));
        return json::object();
    }
    if (cmd == "audio") return audioCommand(nodeId(), req);
    if (cmd == "save") return json::object();  // SaveChanges runs after every command
    if (cmd == "shutdown") {
        std::function<void()> h;
        {
            std::lock_guard<std::recursive_mutex> lock(m_);
            h = shutdown_;
        }
        if (!h) throw std::invalid_argument("this bus is not hosted by a service");
        h();
        return json::object();
    }
    throw std::invalid_argument("unknown command " + sim::QuoteText(cmd));
}

json BusHost::audioCommand(const std::string& id, const json& command) {
#if LUMAREL_WITH_DEVICE
    json answer;
    bool isDevice = false;
    std::string error;
    bus_.WithNode(id, [&](sim::Node& n) {
        auto* d = dynamic_cast<sim::lumarel::Lumarel460Node*>(&n);
        if (!d) return;
        isDevice = true;
        try {
            // The journal is read before the command may clear it.
            if (command.contains("journal") && sim::JsonField(command, "journal") == true) answer["journal"] = d->audio().JournalJson();
            d->audio().Apply(command);
            answer["audio"] = d->audio().Describe();
            answer["audio"]["present"] = d->AudioPresent();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    if (!error.empty()) throw std::invalid_argument(error);
    if (!isDevice) throw std::invalid_argument("node " + sim::QuoteText(id) + " is not a Lumarel 460");
    return answer;
#else
    (void)command;
    throw std::invalid_argument("node " + sim::QuoteText(id) + " is not a Lumarel 460");
#endif
}

bool BusHost::withDevice(const std::string& id, const json& command) {
#if LUMAREL_WITH_DEVICE
    bool isDevice = false;
    std::string error;
    bus_.WithNode(id, [&](sim::Node& n) {
        auto* d = dynamic_cast<sim::lumarel::Lumarel460Node*>(&n);
        if (!d) return;
        isDevice = true;
        if (!sim::lumarel::ApplyDeviceCommand(d->device(), command, error)) return;
    });
    if (!error.empty()) throw std::invalid_argument(error);
    return isDevice;
#else
    (void)id;
    (void)command;
    return false;
#endif
}

}  // namespace bussvc
