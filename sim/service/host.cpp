#include "service/host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "bus/audio_device.h"
#include "bus/description.h"
#include "bus/json_codec.h"
#include "bus/wire.h"
#include "device/node_kinds.h"
#include "fs/fs.h"

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
constexpr int32_t kErrorWriteFault = 29;  // the change could not be saved

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
    bool ok = fs::WritePrivateFile(tmp, text, true);
    std::error_code ec;
    if (ok) fsys::rename(tmp, file, ec);
    ok = ok && !ec;
    if (!ok) fsys::remove(tmp, ec);
    return ok;
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

    // A device finishes some work on its own time (a flash write after its erase time) and the
    // host learns of it by reading the answer: that work is saved (or dropped) before the read
    // reaches the device. What a transaction changes itself is saved before any other request
    // sees it, and its answer is given only then: a success that a restart would undo is a
    // failure.
    int32_t Read(int32_t node, uint16_t high, uint32_t low, uint32_t count, int32_t timeoutMs,
                 uint8_t* out) override {
        bool saved = true;
        const sim::RequestHooks around = host_.settling(saved);
        int32_t code = host_.bus_.Read(node, high, low, count, out, timeoutMs > 0 ? uint32_t(timeoutMs) : 0, &around);
        if (!saved && code == sim::kResultSuccess) code = sim::kResultUnknownError;
        return code;
    }

    int32_t Write(int32_t node, uint16_t high, uint32_t low, const uint8_t* data, uint32_t count,
                  int32_t timeoutMs) override {
        bool saved = true;
        const sim::RequestHooks around = host_.settling(saved);
        int32_t code =
            host_.bus_.Write(node, high, low, count, data, timeoutMs > 0 ? uint32_t(timeoutMs) : 0, &around);
        if (!saved && code == sim::kResultSuccess) code = sim::kResultUnknownError;
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
        return host_.listRequest([&] { return host_.bus_.AddVirtualDevice(name, instance); });
    }

    int32_t RemoveVirtualDevice(uint32_t, uint64_t instance, const std::string& name) override {
        return host_.listRequest([&] { return host_.bus_.RemoveVirtualDevice(name, instance); });
    }

    int32_t ResetBus(const std::string& device) override {
        if (!known(device)) return sim::kResultNotFound;
        host_.settled([&] { host_.bus_.Reset(sim::ResetCause::Request); });
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
    uint32_t request = sim::wire::Le32(p);
    uint64_t instance = uint64_t(sim::wire::Le32(p + 16)) | uint64_t(sim::wire::Le32(p + 20)) << 32;
    const char* name = reinterpret_cast<const char*>(p + kBusRequestHeader);
    std::string id(name, strnlen(name, input.size() - kBusRequestHeader));
    if (id.empty()) return sim::kResultInvalidParameter;  // a request without a device ID
    if (request != 1 && request != 2) return sim::kResultInvalidParameter;
    return listRequest([&] {
        return request == 1 ? bus_.AddVirtualDevice(id, instance) : bus_.RemoveVirtualDevice(id, instance);
    });
}

int32_t BusHost::AudioUnits(std::vector<AudioUnitInfo>& units) {
    units.clear();
    bus_.Locked([&] {
        for (const std::string& id : bus_.NodeIds()) {
            sim::Node* n = bus_.FindNode(id);
            sim::AudioDevice* d = n ? n->AsAudioDevice() : nullptr;
            if (!d || !d->AudioPresent() || units.size() >= kMaxAudioUnits) continue;
            sim::AudioUnitFacts facts = d->AudioFacts();
            AudioUnitInfo u;
            u.node = id;
            u.guid = facts.guid;
            // The driver's interface path names the unit in lower case.
            u.interfacePath = "\\\\?\\1394#" + facts.identifier + "#" + sim::wire::Hex(u.guid.data(), u.guid.size()) +
                              "#{006902cb-e626-45b4-8a62-2eaad63f8d12}";
            for (char& c : u.interfacePath) c = char(std::tolower(static_cast<unsigned char>(c)));
            u.controlOpenable = facts.controlOpenable;
            u.identifier = std::move(facts.identifier);
            u.softwareDate = std::move(facts.softwareDate);
            u.softwareTime = std::move(facts.softwareTime);
            u.bootloaderDate = std::move(facts.bootloaderDate);
            u.bootloaderTime = std::move(facts.bootloaderTime);
            units.push_back(std::move(u));
        }
    });
    return 0;
}

int32_t BusHost::AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                              uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output) {
    int32_t result = sim::kResultNotFound;
    output.clear();
    outSize = std::min(outSize, kMaxAudioBytes);
    // Settings the driver took are kept like the rest of the device's state. A change that could
    // not be saved is dropped again (saveNodes): the request did not take.
    const bool saved = settled([&] {
        bus_.WithNode(node, [&](sim::Node& n) {
            sim::AudioDevice* d = n.AsAudioDevice();
            if (!d || !d->AudioPresent()) return;
            error = d->AudioRequest(code, input, outSize, output);
            result = 0;
        });
    });
    if (result == 0 && !saved && error == 0) {
        error = kErrorWriteFault;
        output.clear();
    }
    return result;
}

int32_t BusHost::listRequest(const std::function<int32_t()>& fn) {
    int32_t code = 0;
    const bool saved = settled([&] { code = fn(); }, true);
    return !saved && code == 0 ? kErrorWriteFault : code;
}

bool BusHost::settled(const std::function<void()>& fn, bool listRequest) {
    bool saved = true;
    bus_.Locked([&] {
        // What others left unsaved: its outcome is theirs (and the log's), not this request's.
        saveNodes();
        saveVirtualDevices();
        const std::vector<sim::VirtualDevice> listBefore = bus_.VirtualDevices();
        fn();
        saved = saveNodes();
        // The list's own change notice comes only once the lock is let go.
        const std::vector<sim::VirtualDevice> listAfter = bus_.VirtualDevices();
        const bool listChanged =
            listAfter.size() != listBefore.size() ||
            !std::equal(listAfter.begin(), listAfter.end(), listBefore.begin(),
                        [](const sim::VirtualDevice& a, const sim::VirtualDevice& b) {
                            return a.name == b.name && a.instance == b.instance;
                        });
        if (listChanged) devicesChanged_ = true;
        // A list request is done only when the list on disk holds what it answers, even when an
        // earlier request left the list unsaved (adding a device that is there already).
        if (listChanged || listRequest) saved = saveVirtualDevices() && saved;
    });
    return saved;
}

sim::RequestHooks BusHost::settling(bool& saved) {
    return {[this] {
                saveNodes();
                saveVirtualDevices();
            },
            [this, &saved] { saved = saveNodes(); }};
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

void BusHost::Load(const json* description, const std::string& sourceFile) {
    sim::lumarel::RegisterNodeKinds();
    json d = description ? *description : sim::lumarel::DefaultBusDescription();
    bus_.Locked([&] {
        sim::LoadDescription(bus_, d, state_.empty() ? fsys::path() : state_ / "nodes");
        {
            std::lock_guard<std::recursive_mutex> lock(m_);
            description_ = d;
            descriptionFile_ = sourceFile;
        }
        // Taken before the nodes are looked at: a change from here on leads to a look at them all.
        savedChanges_ = bus_.StateChanges();
        savedSerial_.clear();
        for (const std::string& id : bus_.NodeIds()) {
            fsys::path dir = NodeStateFolder(id);
            bus_.WithNode(id, [&](sim::Node& n) {
                std::error_code ec;
                if (!dir.empty() && fsys::exists(dir, ec)) n.LoadState(dir);
                n.MarkStateSaved();  // what a failed save goes back to
                savedSerial_[id] = n.StateSerial();
                if (const std::string why = n.StateError(); !why.empty())
                    Log("the saved state of node " + id +
                        " could not be loaded, the node starts from its description: " + why);
            });
        }
        if (!state_.empty()) restoreVirtualDevices();
    });
}

bool BusHost::SaveChanges() {
    bool ok = true;
    bus_.Locked([&] {
        ok = saveNodes();
        ok = saveVirtualDevices() && ok;
    });
    return ok;
}

bool BusHost::saveNodes() {
    if (state_.empty()) return true;
    // Most requests change nothing: while no node has reported a change since the last save
    // of them all, there is nothing to do. savedChanges_ moves only after the files are
    // written, and every change and save happens under the bus lock, so a request that finds
    // it current also finds every change on disk.
    bool ok = true;
    bus_.Locked([&] {
        const uint64_t changes = bus_.StateChanges();
        if (changes == savedChanges_) return;
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
                // The change is dropped, as a restart would drop it: the node goes back to the
                // state its folder holds. Kept in memory, it would go into every later save and
                // fail it too, though the change of that save would fit.
                n->RevertUnsavedState();
                saved = n->StateSerial();
                failingSaves_.insert(id);
                Log("saving the state of node " + id + " failed: " + e.what() +
                    "; the change is dropped and the node is back to its saved state");
            }
        }
        // After a failure the count stays behind, so that the next request looks again (a node
        // taken back to its saved state has nothing new to save).
        if (allSaved) savedChanges_ = changes;
        ok = allSaved;
    });
    return ok;
}

void BusHost::trackNode(const std::string& id, bool known) {
    bus_.Locked([&] {
        if (!known) {
            savedSerial_.erase(id);
            return;
        }
        bus_.WithNode(id, [&](sim::Node& n) {
            n.MarkStateSaved();
            savedSerial_[id] = n.StateSerial();
        });
    });
}

bool BusHost::saveVirtualDevices() {
    if (state_.empty() || !devicesChanged_) return true;
    bool ok = true;
    bus_.Locked([&] {
        if (!devicesChanged_.exchange(false)) return;
        json list = json::array();
        for (const auto& d : bus_.VirtualDevices()) list.push_back({{"name", d.name}, {"instance", d.instance}});
        if (writeFileAtomically(state_ / "virtual_devices.json", list.dump())) return;
        devicesChanged_ = true;  // tried again with the next request
        Log("saving the virtual device list failed");
        ok = false;
    });
    return ok;
}

void BusHost::restoreVirtualDevices() {
    fsys::path file = state_ / "virtual_devices.json";
    std::error_code ec;
    if (!fsys::exists(fsys::symlink_status(file, ec))) return;  // none saved yet
    std::string why;
    json list = sim::ReadJsonFile(file, &why);
    if (!list.is_array()) {
        Log("ignoring an unreadable " + file.string() + (why.empty() ? "" : ": " + why));
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

}  // namespace bussvc
