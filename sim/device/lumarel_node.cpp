#include "device/lumarel_node.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus/json_codec.h"
#include "clock/clock.h"
#include "device/node_kinds.h"

namespace sim::lumarel {

namespace {

Reply ToReply(Lumarel460::Access access) {
    switch (access) {
        case Lumarel460::Access::Ok: return Reply::Ok();
        case Lumarel460::Access::AddressError: return Reply::Error(Rcode::AddressError);
        case Lumarel460::Access::NoResponse: return Reply::Error(Rcode::NoAck);
    }
    return Reply::Error(Rcode::AddressError);
}

}  // namespace

// Lets work scheduled on the clock find the node again: the node clears `node` when it goes
// away (under the bus lock, which the scheduled work also holds when it looks).
struct Lumarel460Node::Anchor {
    Lumarel460Node* node = nullptr;
};

class Lumarel460Node::Env : public Lumarel460::Env {
public:
    explicit Env(Lumarel460Node& node) : node_(node) {}

    void Schedule(uint32_t delayMs, std::function<void()> fn) override {
        Bus* bus = node_.bus();
        if (!bus) {
            fn();  // not on a bus: nothing to wait for
            return;
        }
        std::weak_ptr<Anchor> weak = node_.anchor_;
        const std::string id = node_.Id();
        clk::Current().Schedule(delayMs, [bus, weak, id, fn = std::move(fn)] {
            if (weak.expired()) return;
            bus->WithNode(id, [&](Node& n) {
                const auto anchor = weak.lock();
                if (anchor && anchor->node == &n) fn();
            });
        });
    }
    void Leave() override {
        if (Bus* bus = node_.bus()) bus->Unplug(node_.Id());
    }
    void Join() override {
        if (Bus* bus = node_.bus()) bus->Plug(node_.Id());
    }
    void WriteToHost(uint32_t offsetLow, std::span<const uint8_t> data) override {
        Bus* bus = node_.bus();
        if (!bus || node_.PhyId() < 0 || bus->LocalHostPhy() < 0) return;
        bus->WriteFrom(node_.PhyId(), bus->LocalHostPhy(), kRegionHigh, offsetLow, uint32_t(data.size()), data.data());
    }
    void StateChanged() override { node_.StateChanged(); }

private:
    Lumarel460Node& node_;
};

Lumarel460Node::Lumarel460Node(DeviceConfig config)
    : Node(kLumarelKind), device_(std::move(config)), anchor_(std::make_shared<Anchor>()) {
    anchor_->node = this;
    env_ = std::make_unique<Env>(*this);
    device_.SetEnv(env_.get());
    savedAudio_ = audio_.Save();
    SetConfigRom(device_.ConfigRom());
    const auto read = [this](const sim::Access& a, std::span<uint8_t> out) {
        return ToReply(device_.Read(a.offsetHigh, a.offsetLow, out));
    };
    const auto write = [this](const sim::Access& a, std::span<const uint8_t> data) {
        return ToReply(device_.Write(a.offsetHigh, a.offsetLow, data));
    };
    MapRegion({kRegionHigh, kRegionBase, kRegionSize, read, write});
    MapRegion({kRegionHigh, kProbeWriteAddress, kProbeSize, read, write});
    MapRegion({kRegionHigh, kProbeReadAddress, kProbeSize, read, write});
}

Lumarel460Node::~Lumarel460Node() {
    anchor_->node = nullptr;
    device_.SetEnv(nullptr);
}

void Lumarel460Node::OnBusReset(uint32_t, int) { SetConfigRom(device_.ConfigRom()); }

nlohmann::json Lumarel460Node::Describe() const {
    nlohmann::json j = device_.Describe();
    j["audio"] = audio_.Describe();
    j["audio"]["present"] = AudioPresent();
    j["kind"] = Kind();
    if (!stateError_.empty()) j["state_error"] = stateError_;
    return j;
}

void Lumarel460Node::SaveState(const std::filesystem::path& dir) const {
    // The audio side's settings go into the device's state file, so that both are saved as one.
    nlohmann::json audio = audio_.Save();
    device_.SaveState(dir, audio);
    savedAudio_ = std::move(audio);
}

void Lumarel460Node::MarkStateSaved() {
    device_.MarkSaved();
    savedAudio_ = audio_.Save();
}

void Lumarel460Node::RevertUnsavedState() {
    device_.RevertToSaved();
    audio_.Load(savedAudio_);
}

void Lumarel460Node::LoadState(const std::filesystem::path& dir) {
    try {
        const nlohmann::json attached = device_.LoadState(dir);
        stateError_.clear();
        if (!attached.is_null()) {
            audio_.Load(attached);
        } else if (std::ifstream in(dir / "audio.json", std::ios::binary); in) {
            // A folder of an older version keeps the audio settings in a file of their own.
            // Bounded: the file holds a few hundred numbers.
            std::string text(64 * 1024, '\0');
            in.read(text.data(), std::streamsize(text.size()));
            text.resize(size_t(in.gcount()));
            audio_.Load(nlohmann::json::parse(text, nullptr, false));
        }
    } catch (const std::exception& e) {
        std::filesystem::path aside = dir.string() + ".unreadable";
        for (int n = 2; std::filesystem::exists(aside); ++n) aside = dir.string() + ".unreadable" + std::to_string(n);
        std::error_code ec;
        std::filesystem::rename(dir, aside, ec);
        stateError_ = std::string(e.what()) + (ec ? "" : "; moved to " + aside.string());
    }
    SetConfigRom(device_.ConfigRom());
}

uint64_t Lumarel460Node::StateSerial() const { return device_.StateSerial() + audio_.Serial(); }

bool Lumarel460Node::AudioPresent() const {
    return device_.mode() == Mode::Application && device_.Online() && PhyId() >= 0;
}

uint32_t Lumarel460Node::AudioRequest(uint32_t code, std::span<const uint8_t> in, uint32_t outSize,
                                      std::vector<uint8_t>& out) {
    const uint64_t before = audio_.Serial();
    uint32_t error = audio_.Request(code, in, outSize, out);
    if (audio_.Serial() != before) StateChanged();
    return error;
}

sim::AudioUnitFacts Lumarel460Node::AudioFacts() const {
    auto text = [](const std::array<uint8_t, 8>& t) {
        return std::string(reinterpret_cast<const char*>(t.data()), strnlen(reinterpret_cast<const char*>(t.data()), 8));
    };
    sim::AudioUnitFacts f;
    f.guid = device_.guid();
    f.identifier = AudioIdentifier();
    f.controlOpenable = !audio_.faults().controlUnopenable;
    const FlashSlot& app = device_.slot(0);
    f.softwareDate = text(app.info.date);
    f.softwareTime = text(app.info.time);
    f.bootloaderDate = text(device_.runningBootDate());
    f.bootloaderTime = text(device_.runningBootTime());
    return f;
}

nlohmann::json Lumarel460Node::AudioCommand(const nlohmann::json& command) {
    nlohmann::json answer;
    if (command.contains("journal") && JsonField(command, "journal") == true) answer["journal"] = audio_.JournalJson();
    audio_.Apply(command);
    answer["audio"] = audio_.Describe();
    answer["audio"]["present"] = AudioPresent();
    return answer;
}

bool Lumarel460Node::DeviceCommand(const nlohmann::json& command, std::string& error) {
    return ApplyDeviceCommand(device_, command, error);
}

std::string Lumarel460Node::AudioIdentifier() const {
    std::string id = device_.config().vendorText + "&" + device_.config().modelText;
    std::replace(id.begin(), id.end(), ' ', '_');
    return id;
}

DebuggerNode::DebuggerNode() : Node(kDebuggerKind) {
    SetConfigRom(MinimalRom(kCompanyId));
    MapRegion({kRegionHigh, kProbeWriteAddress, kProbeSize, nullptr,
               [this](const sim::Access& a, std::span<const uint8_t> data) {
                   return probe_.Write(a.offsetLow - kProbeWriteAddress, data) ? Reply::Ok()
                                                                              : Reply::Error(Rcode::AddressError);
               }});
    MapRegion({kRegionHigh, kProbeReadAddress, kProbeSize,
               [this](const sim::Access& a, std::span<uint8_t> out) {
                   return probe_.Read(a.offsetLow - kProbeReadAddress, out) ? Reply::Ok()
                                                                           : Reply::Error(Rcode::AddressError);
               },
               nullptr});
}

}  // namespace sim::lumarel
