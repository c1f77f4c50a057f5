// The bus service's control commands: JSON requests of the control tool and of tests that
// change the simulated bus and its devices (plug, power, faults, notices, node requests ...).
#include "service/host.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <functional>
#include <mutex>
#include <stdexcept>

#include "bus/audio_device.h"
#include "bus/description.h"
#include "bus/json_codec.h"
#include "bus/wire.h"

namespace bussvc {

using nlohmann::json;

namespace {

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

// The bytes of a "data" text: hex digits, blanks between them allowed.
std::vector<uint8_t> hexBytes(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    if (digits.size() % 2 != 0) throw std::invalid_argument("\"data\" needs whole bytes of hex");
    std::vector<uint8_t> out;
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) ||
        !sim::wire::ParseHex(digits, out))
        throw std::invalid_argument("\"data\" must be hex digits");
    return out;
}

}  // namespace

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
        // Carried out and saved in one hold of the bus lock, like a client's request.
        const std::string cmd = sim::JsonField(req, "cmd").get<std::string>();
        const bool saved = settled(
            [&] {
                try {
                    answer = control(req);
                } catch (const std::exception& e) {
                    answer = {{"error", e.what()}};
                    code = kControlFailed;
                }
            },
            cmd == "vdev_add" || cmd == "vdev_remove" || cmd == "save");
        if (!saved && code == kControlOk) {
            answer = {{"error", "the change could not be saved"}};
            code = kControlFailed;
        }
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
    if (cmd == "description") {
        std::lock_guard<std::recursive_mutex> lock(m_);
        return {{"file", descriptionFile_.empty() ? json() : json(descriptionFile_)},
                {"fingerprint", sim::JsonFingerprint(description_)}};
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
        const bool plugged = nodeDesc.value("plugged", true);
        // Checked and added under one lock, so that two requests cannot pass the check together.
        int32_t code = sim::kResultSuccess;
        std::string sharing;
        bus_.Locked([&] {
            sharing = sim::StateFolderSharedWith(bus_.NodeIds(), id);
            if (sharing.empty()) code = bus_.AddNode(id, std::move(node), position, plugged);
        });
        if (!sharing.empty())
            throw std::invalid_argument("node " + sim::QuoteText(id) + " would share its state folder " +
                                        sim::QuoteText(sim::StateFolderName(id)) + " with node " +
                                        sim::QuoteText(sharing) + "; give it an id that differs in more than " +
                                        "characters outside A-Z, a-z, 0-9, '-' and '_'");
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
        return {{"code", code}, {"data", code == sim::kResultSuccess ? sim::wire::Hex(data) : std::string()}};
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
    // Every command is saved before it is answered; this one saves what others left unsaved
    // (and fails while the virtual device list cannot be written).
    if (cmd == "save") return json::object();
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
    json answer;
    if (!onDevice(id, [&](sim::AudioDevice& d) { answer = d.AudioCommand(command); }))
        throw std::invalid_argument("node " + sim::QuoteText(id) + " is not a Lumarel 460");
    return answer;
}

bool BusHost::withDevice(const std::string& id, const json& command) {
    return onDevice(id, [&](sim::AudioDevice& d) {
        std::string error;
        d.DeviceCommand(command, error);
        if (!error.empty()) throw std::invalid_argument(error);
    });
}

bool BusHost::onDevice(const std::string& id, const std::function<void(sim::AudioDevice&)>& fn) {
    bool isDevice = false;
    std::string error;
    bus_.WithNode(id, [&](sim::Node& n) {
        sim::AudioDevice* d = n.AsAudioDevice();
        if (!d) return;
        isDevice = true;
        try {
            fn(*d);
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    if (!error.empty()) throw std::invalid_argument(error);
    return isDevice;
}

}  // namespace bussvc
