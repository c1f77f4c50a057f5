#include "bus/description.h"

#include <map>
#include <mutex>
#include <set>

#include "bus/config_rom.h"
#include "bus/json_codec.h"

namespace sim {

namespace {

using json = nlohmann::json;

// Keys every node entry may carry, whatever its kind.
const std::set<std::string> kCommonKeys{"id", "kind", "link_active", "plugged", "phy", "faults"};

void CheckKeys(const json& j, const std::set<std::string>& allowed, const std::string& where) {
    try {
        CheckJsonKeys(j, allowed, where);
    } catch (const std::invalid_argument& e) {
        throw DescriptionError(e.what());
    }
}

void CheckNodeKeys(const NodeContext& c, std::set<std::string> allowed) {
    allowed.insert(kCommonKeys.begin(), kCommonKeys.end());
    CheckKeys(c.nodeDesc, allowed, "node " + QuoteText(c.id));
}

std::string TextParam(const json& nodeDesc, const char* key, const std::string& fallback) {
    if (!nodeDesc.contains(key)) return fallback;
    if (!JsonField(nodeDesc, key).is_string()) throw std::invalid_argument(std::string(key) + ": expected a text");
    return JsonField(nodeDesc, key).get<std::string>();
}

uint32_t U32Param(const json& nodeDesc, const char* key, uint32_t fallback, uint32_t max = 0xFFFFFFFFu) {
    if (!nodeDesc.contains(key)) return fallback;
    uint32_t v = JsonU32(JsonField(nodeDesc, key), key);
    if (v > max) throw std::invalid_argument(std::string(key) + ": " + QuoteJson(JsonField(nodeDesc, key)) + " is too large");
    return v;
}

std::vector<uint32_t> QuadletList(const json& list, const char* key) {
    if (!list.is_array() || list.empty()) throw std::invalid_argument(std::string(key) + ": expected a list of quadlets");
    if (list.size() > kConfigRomSpace / 4)
        throw std::invalid_argument(std::string(key) + ": more than 256 quadlets do not fit the ROM space");
    std::vector<uint32_t> out;
    for (const auto& q : list) out.push_back(JsonU32(q, key));
    return out;
}

// The local host adapter: a general ROM with its vendor's name, a contender for roles.
std::unique_ptr<Node> MakeHost(const NodeContext& c) {
    CheckNodeKeys(c, {"guid", "vendor", "rom_readable"});
    BusInfo info;
    info.bmc = true;
    info.cycClkAcc = 0;
    info.maxRec = 0xB;
    info.maxRom = 2;
    info.linkSpeed = 3;
    info.guid = c.nodeDesc.contains("guid") ? JsonU64(JsonField(c.nodeDesc, "guid"), "guid") : 0x0011223344556677ull;
    RomDirectory root;
    root.Immediate(key::kNodeCapabilities, 0x0083C0)
        .Immediate(key::kVendor, uint32_t(info.guid >> 40))
        .Text(TextParam(c.nodeDesc, "vendor", "Sim Host"))
        .Immediate(key::kModel, 0x000001);
    auto node = std::make_unique<PlainNode>("host", BuildConfigRom(info, root));
    node->SetRomReadable(c.nodeDesc.value("rom_readable", true));
    PhyConfig phy;
    phy.contender = true;
    phy.powerClass = 4;
    node->SetPhy(phy);
    return node;
}

// Another vendor's device: vendor and model names, a unit directory, an unprogrammed GUID.
std::unique_ptr<Node> MakeForeign(const NodeContext& c) {
    CheckNodeKeys(c, {"guid", "vendor_id", "vendor", "model_id", "model", "specifier_id", "version", "rom"});
    if (c.nodeDesc.contains("rom")) return std::make_unique<PlainNode>("foreign", BuildConfigRomFromJson(JsonField(c.nodeDesc, "rom")));
    BusInfo info;
    info.guid = c.nodeDesc.contains("guid") ? JsonU64(JsonField(c.nodeDesc, "guid"), "guid") : ~uint64_t(0);
    info.generation = 0;
    auto unit = std::make_shared<RomDirectory>();
    unit->Immediate(key::kSpecifierId, U32Param(c.nodeDesc, "specifier_id", 0x00A02D, 0xFFFFFF))
        .Immediate(key::kVersion, U32Param(c.nodeDesc, "version", 0x010001, 0xFFFFFF));
    RomDirectory root;
    root.Immediate(key::kVendor, U32Param(c.nodeDesc, "vendor_id", 0x00A02D, 0xFFFFFF))
        .Text(TextParam(c.nodeDesc, "vendor", "Vendor Name"))
        .Immediate(key::kModel, U32Param(c.nodeDesc, "model_id", 0x000001, 0xFFFFFF))
        .Text(TextParam(c.nodeDesc, "model", "Model Name"))
        .Immediate(key::kNodeCapabilities, 0x0083C0)
        .Directory(key::kUnit, unit);
    return std::make_unique<PlainNode>("foreign", BuildConfigRom(info, root));
}

std::unique_ptr<Node> MakeMinimal(const NodeContext& c) {
    CheckNodeKeys(c, {"vendor_id"});
    if (!c.nodeDesc.contains("vendor_id")) throw std::invalid_argument("vendor_id: missing (the minimal ROM's company ID)");
    return std::make_unique<PlainNode>("minimal", MinimalRom(U32Param(c.nodeDesc, "vendor_id", 0, 0xFFFFFF)));
}

std::unique_ptr<Node> MakeRaw(const NodeContext& c) {
    CheckNodeKeys(c, {"quadlets"});
    if (!c.nodeDesc.contains("quadlets")) throw std::invalid_argument("quadlets: missing (the ROM, one quadlet each)");
    return std::make_unique<PlainNode>("raw", QuadletList(JsonField(c.nodeDesc, "quadlets"), "quadlets"));
}

std::unique_ptr<Node> MakeUnreadable(const NodeContext& c) {
    CheckNodeKeys(c, {"error"});
    std::string error = TextParam(c.nodeDesc, "error", "no_response");
    auto node = std::make_unique<PlainNode>("unreadable");
    if (error == "no_response") node->SetRomReadable(false);
    else if (error != "address_error") throw std::invalid_argument("error: \"no_response\" or \"address_error\"");
    return node;  // an empty ROM answers address errors
}

std::unique_ptr<Node> MakePlain(const NodeContext& c) {
    CheckNodeKeys(c, {"rom", "registers"});
    std::vector<uint32_t> rom;
    if (c.nodeDesc.contains("rom"))
        rom = JsonField(c.nodeDesc, "rom").is_array() ? QuadletList(JsonField(c.nodeDesc, "rom"), "rom") : BuildConfigRomFromJson(JsonField(c.nodeDesc, "rom"));
    auto node = std::make_unique<PlainNode>("plain", std::move(rom));
    if (c.nodeDesc.contains("registers")) {
        if (!JsonField(c.nodeDesc, "registers").is_array()) throw std::invalid_argument("registers: expected a list");
        for (const auto& r : JsonField(c.nodeDesc, "registers")) {
            if (!r.is_object() || !r.contains("address")) throw std::invalid_argument("registers: each needs an \"address\"");
            CheckKeys(r, {"address", "value", "writable"}, "node " + QuoteText(c.id) + " register");
            uint64_t a = JsonU64(JsonField(r, "address"), "register address");
            if (a >> 48 || a % 4) throw std::invalid_argument("register address: a quadlet address of 48 bits");
            node->SetRegister(uint16_t(a >> 32), uint32_t(a), U32Param(r, "value", 0), r.value("writable", false));
        }
    }
    return node;
}

struct Registry {
    std::mutex m;
    std::map<std::string, NodeFactory> kinds;
    Registry() {
        kinds["host"] = MakeHost;
        kinds["foreign"] = MakeForeign;
        kinds["minimal"] = MakeMinimal;
        kinds["raw"] = MakeRaw;
        kinds["unreadable"] = MakeUnreadable;
        kinds["plain"] = MakePlain;
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void RegisterNodeKind(const std::string& kind, NodeFactory factory) {
    std::lock_guard<std::mutex> g(registry().m);
    registry().kinds[kind] = std::move(factory);
}

bool IsNodeKindRegistered(const std::string& kind) {
    std::lock_guard<std::mutex> g(registry().m);
    return registry().kinds.count(kind) != 0;
}

std::vector<std::string> NodeKinds() {
    std::lock_guard<std::mutex> g(registry().m);
    std::vector<std::string> out;
    for (const auto& [k, f] : registry().kinds) out.push_back(k);
    return out;
}

std::unique_ptr<Node> MakeNode(const std::string& kind, const NodeContext& context) {
    NodeFactory f;
    {
        std::lock_guard<std::mutex> g(registry().m);
        auto it = registry().kinds.find(kind);
        if (it != registry().kinds.end()) f = it->second;
    }
    if (!f) {
        std::string known;
        for (const auto& k : NodeKinds()) known += (known.empty() ? "" : ", ") + k;
        throw DescriptionError("node " + QuoteText(context.id) + ": unknown kind " + QuoteText(kind) + " (known: " + known + ")");
    }
    try {
        auto node = f(context);
        if (!node) throw DescriptionError("node " + QuoteText(context.id) + ": kind " + QuoteText(kind) + " built nothing");
        return node;
    } catch (const DescriptionError&) {
        throw;
    } catch (const std::exception& e) {
        throw DescriptionError("node " + QuoteText(context.id) + " (" + kind + "): " + e.what());
    }
}

namespace {

struct BuiltNode {
    std::string id;
    std::unique_ptr<Node> node;
    bool plugged = true;
    std::vector<FaultSpec> faults;
};

}  // namespace

std::string StateFolderName(const std::string& id) {
    std::string out;
    for (char c : id) {
        bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        out += safe ? c : '_';
    }
    return out.empty() ? "_" : out;
}

std::string StateFolderSharedWith(const std::vector<std::string>& ids, const std::string& id) {
    const std::string folder = StateFolderName(id);
    for (const std::string& other : ids)
        if (other != id && StateFolderName(other) == folder) return other;
    return {};
}

void LoadDescription(Bus& bus, const json& d, const std::filesystem::path& stateRoot) {
    if (!d.is_object()) throw DescriptionError("bus description: expected a JSON object");
    CheckKeys(d, {"nodes", "local_host", "virtual_devices"}, "bus description");
    if (!d.contains("nodes") || !JsonField(d, "nodes").is_array()) throw DescriptionError("bus description: \"nodes\" must be a list");
    const json& nodes = JsonField(d, "nodes");

    // Build and check everything before the bus is touched.
    std::vector<BuiltNode> built;
    std::set<std::string> ids;
    int hostIndex = -1;
    for (size_t i = 0; i < nodes.size(); ++i) {
        const json& n = nodes[i];
        std::string where = "node " + std::to_string(i);
        if (!n.is_object()) throw DescriptionError(where + ": expected an object");
        if (!n.contains("id") || !JsonField(n, "id").is_string() || JsonField(n, "id").get<std::string>().empty())
            throw DescriptionError(where + ": \"id\" must be a non-empty text");
        std::string id = JsonField(n, "id").get<std::string>();
        where += " (" + QuoteText(id) + ")";
        if (!ids.insert(id).second) throw DescriptionError(where + ": the id is used twice");
        if (const std::string other = StateFolderSharedWith(std::vector<std::string>(ids.begin(), ids.end()), id);
            !other.empty())
            throw DescriptionError(where + ": the id would share its state folder " + QuoteText(StateFolderName(id)) +
                                   " with node " + QuoteText(other) +
                                   "; ids must differ in more than characters outside A-Z, a-z, 0-9, '-' and '_'");
        if (!n.contains("kind") || !JsonField(n, "kind").is_string()) throw DescriptionError(where + ": \"kind\" must be a text");
        std::string kind = JsonField(n, "kind").get<std::string>();
        if (kind == "host") {
            if (hostIndex >= 0) throw DescriptionError(where + ": a bus has one local host");
            hostIndex = int(i);
        }
        BuiltNode b;
        b.id = id;
        NodeContext ctx{n, id, stateRoot.empty() ? std::filesystem::path() : stateRoot / StateFolderName(id)};
        b.node = MakeNode(kind, ctx);
        try {
            b.plugged = JsonBool(n, "plugged", true, "");
            b.node->SetLinkActiveFlag(JsonBool(n, "link_active", b.node->LinkActive(), ""));
            if (n.contains("phy")) b.node->SetPhy(PhyFromJson(JsonField(n, "phy")));
            if (n.contains("faults")) {
                if (!JsonField(n, "faults").is_array()) throw std::invalid_argument("faults: expected a list");
                for (const auto& f : JsonField(n, "faults")) b.faults.push_back(FaultFromJson(f));
            }
        } catch (const std::exception& e) {
            throw DescriptionError(where + ": " + e.what());
        }
        built.push_back(std::move(b));
    }

    if (d.contains("local_host")) {
        const json& lh = JsonField(d, "local_host");
        if (!lh.is_number_integer() || lh.get<int64_t>() < 0 || lh.get<int64_t>() > int64_t(built.size()))
            throw DescriptionError("local_host: a position from 0 to " + std::to_string(built.size()));
        int pos = int(lh.get<int64_t>());
        if (hostIndex >= 0 && hostIndex != pos)
            throw DescriptionError("local_host: " + std::to_string(pos) + " but the node of kind \"host\" is at " +
                                   std::to_string(hostIndex));
        if (hostIndex < 0) {
            if (ids.count("host")) throw DescriptionError("local_host: the id \"host\" is taken by another kind");
            BuiltNode h;
            h.id = "host";
            json nodeDesc{{"id", "host"}, {"kind", "host"}};
            h.node = MakeNode("host", NodeContext{nodeDesc, "host", stateRoot.empty() ? std::filesystem::path() : stateRoot / "host"});
            built.insert(built.begin() + pos, std::move(h));
            hostIndex = pos;
        }
    }
    int plugged = 0;
    for (const auto& b : built) plugged += b.plugged;
    if (plugged > kMaxNodes) throw DescriptionError("bus description: " + std::to_string(plugged) + " plugged nodes, at most 63");

    std::vector<std::pair<std::string, uint64_t>> vdevs;
    if (d.contains("virtual_devices")) {
        const json& v = JsonField(d, "virtual_devices");
        if (!v.is_array() || v.size() > size_t(kMaxVirtualDevices))
            throw DescriptionError("virtual_devices: a list of at most 10 names");
        for (const auto& name : v) {
            if (!name.is_string() || name.get<std::string>().empty() || name.get<std::string>().size() > 255)
                throw DescriptionError("virtual_devices: each a name of 1 to 255 characters");
            vdevs.emplace_back(name.get<std::string>(), uint64_t(bus.BusIndex()));
        }
    }

    bus.Locked([&] {
        bus.Clear();
        std::string hostId = hostIndex >= 0 ? built[size_t(hostIndex)].id : std::string();
        for (auto& b : built) {
            bus.AddNode(b.id, std::move(b.node), -1, b.plugged, false);
            for (const auto& f : b.faults) bus.AddFault(b.id, f);
        }
        if (!hostId.empty()) bus.SetLocalHost(hostId);
        bus.Reset(ResetCause::Configuration);
        for (const auto& [name, instance] : vdevs) bus.AddVirtualDevice(name, instance);
    });
}

void LoadDescriptionFile(Bus& bus, const std::filesystem::path& file, const std::filesystem::path& stateRoot) {
    std::string why;
    json d = ReadJsonFile(file, &why);
    if (d.is_discarded()) throw DescriptionError("bus description \"" + file.string() + "\": " + why);
    try {
        LoadDescription(bus, d, stateRoot);
    } catch (const DescriptionError& e) {
        throw DescriptionError("bus description \"" + file.string() + "\": " + e.what());
    }
}

}  // namespace sim
