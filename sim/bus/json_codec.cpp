#include "bus/json_codec.h"

#include "fs/fs.h"

#include <climits>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace sim {

using json = nlohmann::json;

namespace {

// Whether the arrays and objects of a JSON text nest deeper than `limit`, counted on the text
// itself (brackets inside strings do not count). For a text that is JSON the count is exact;
// any other text the parser refuses anyway.
bool NestsDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// The start of a text, cut after kMaxQuoted bytes but never inside a UTF-8 character (the
// message goes into a JSON answer, which must stay valid UTF-8).
std::string Cut(std::string text) {
    if (text.size() <= kMaxQuoted) return text;
    size_t n = kMaxQuoted;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n) + "...";
}

uint64_t ParseHexText(const std::string& text, const char* field, uint64_t max) {
    std::string s = text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 16) throw std::invalid_argument(std::string(field) + ": " + QuoteText(text) + " is not a hexadecimal number");
    uint64_t v = 0;
    for (char ch : s) {
        int d;
        if (ch >= '0' && ch <= '9') d = ch - '0';
        else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
        else throw std::invalid_argument(std::string(field) + ": " + QuoteText(text) + " is not a hexadecimal number");
        v = v << 4 | uint64_t(d);
    }
    if (v > max) throw std::invalid_argument(std::string(field) + ": " + QuoteText(text) + " is too large");
    return v;
}

struct KindName {
    FaultSpec::Kind kind;
    const char* name;
};
constexpr KindName kFaultKinds[] = {
    {FaultSpec::Kind::NoResponse, "no_response"},   {FaultSpec::Kind::AddressError, "address_error"},
    {FaultSpec::Kind::LateAnswer, "late_answer"},   {FaultSpec::Kind::ResetAfter, "reset_after"},
    {FaultSpec::Kind::UnknownError, "unknown_error"}, {FaultSpec::Kind::Code, "code"},
};

const std::map<std::string, PortState> kPortNames{
    {"none", PortState::NotPresent}, {"not_connected", PortState::NotConnected},
    {"parent", PortState::Parent}, {"child", PortState::Child}};

uint8_t SmallParam(const json& j, const char* key, uint8_t fallback, uint8_t max) {
    if (!j.contains(key)) return fallback;
    const auto& v = JsonField(j, key);
    if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > max)
        throw std::invalid_argument(std::string("phy ") + key + ": a number from 0 to " + std::to_string(max));
    return uint8_t(v.get<int64_t>());
}

}  // namespace

// ------------------------------------------------------------------ reading and quoting

const json& JsonField(const json& j, std::string_view key) {
    static const json kAbsent;
    if (!j.is_object()) return kAbsent;
    const auto it = j.find(key);
    return it == j.end() ? kAbsent : *it;
}

json ParseJson(std::string_view text, std::string* error) {
    if (NestsDeeperThan(text, kMaxJsonDepth)) {
        if (error) *error = "nested more than " + std::to_string(kMaxJsonDepth) + " levels deep";
        return json(json::value_t::discarded);
    }
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() && error) *error = "not valid JSON";
    return j;
}

json ReadJsonFile(const std::filesystem::path& file, std::string* error) {
    // Only a regular file, opened without waiting: a FIFO named here would hold its reader for
    // ever. Read up to one byte past the bound, so that an endless file costs no more.
    std::string text;
    const fs::ReadResult read = fs::ReadRegularFile(file, kMaxJsonFileBytes, text);
    if (read != fs::ReadResult::Ok) {
        if (error)
            *error = read == fs::ReadResult::TooLarge ? "larger than " + std::to_string(kMaxJsonFileBytes >> 20) + " MiB"
                                                      : fs::ReadResultText(read, kMaxJsonFileBytes);
        return json(json::value_t::discarded);
    }
    return ParseJson(text, error);
}

std::string JsonFingerprint(const json& value) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : value.dump(-1, ' ', false, json::error_handler_t::replace)) {
        h ^= c;
        h *= 0x100000001B3ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(h));
    return text;
}

std::string QuoteJson(const json& v) { return Cut(v.dump(-1, ' ', false, json::error_handler_t::replace)); }

std::string QuoteText(std::string_view text) { return "\"" + Cut(std::string(text)) + "\""; }

// ------------------------------------------------------------------------------ numbers

uint64_t JsonUnsigned(const json& v, const char* field, uint64_t max) {
    if (v.is_string()) return ParseHexText(v.get<std::string>(), field, max);
    if (v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0)) {
        uint64_t n = v.get<uint64_t>();
        if (n > max) throw std::invalid_argument(std::string(field) + ": " + QuoteJson(v) + " is too large");
        return n;
    }
    throw std::invalid_argument(std::string(field) + ": expected a number or hexadecimal text, got " + QuoteJson(v));
}

uint32_t JsonU32(const json& v, const char* field) { return uint32_t(JsonUnsigned(v, field, 0xFFFFFFFFu)); }
uint64_t JsonU64(const json& v, const char* field) { return JsonUnsigned(v, field, ~uint64_t(0)); }

bool JsonBool(const json& j, const char* key, bool fallback, const std::string& where) {
    if (!j.contains(key)) return fallback;
    if (!JsonField(j, key).is_boolean()) throw std::invalid_argument(where + std::string(key) + ": expected true or false");
    return JsonField(j, key).get<bool>();
}

void CheckJsonKeys(const json& j, const std::set<std::string>& allowed, const std::string& where) {
    for (const auto& [k, v] : j.items())
        if (!allowed.count(k)) throw std::invalid_argument(where + ": unknown key " + QuoteText(k));
}

std::string HexText(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

// ------------------------------------------------------------------------------- faults

json FaultToJson(const FaultSpec& f) {
    json j;
    for (const auto& k : kFaultKinds)
        if (k.kind == f.kind) j["kind"] = k.name;
    j["direction"] = f.direction == FaultSpec::Direction::Any ? "any" : f.direction == FaultSpec::Direction::Read ? "read" : "write";
    if (!f.anyAddress) {
        j["address"] = HexText(uint64_t(f.offsetHigh) << 32 | f.offsetLow, 12);
        j["length"] = f.length;
    }
    j["count"] = f.count;
    if (f.kind == FaultSpec::Kind::LateAnswer) j["delay_ms"] = f.delayMs;
    if (f.kind == FaultSpec::Kind::ResetAfter) j["after"] = f.afterRequests;
    if (f.kind == FaultSpec::Kind::Code) j["code"] = HexText(uint32_t(f.code), 8);
    return j;
}

FaultSpec FaultFromJson(const json& j) {
    if (!j.is_object()) throw std::invalid_argument("fault: expected an object, got " + QuoteJson(j));
    FaultSpec f;
    if (!j.contains("kind") || !JsonField(j, "kind").is_string()) throw std::invalid_argument("fault: \"kind\" is missing");
    std::string kind = JsonField(j, "kind").get<std::string>();
    bool known = false;
    for (const auto& k : kFaultKinds)
        if (kind == k.name) {
            f.kind = k.kind;
            known = true;
        }
    if (!known)
        throw std::invalid_argument("fault: unknown kind " + QuoteText(kind) +
                                    " (no_response, address_error, late_answer, reset_after, unknown_error, code)");
    if (j.contains("direction")) {
        std::string d = JsonField(j, "direction").is_string() ? JsonField(j, "direction").get<std::string>() : "";
        if (d == "any") f.direction = FaultSpec::Direction::Any;
        else if (d == "read") f.direction = FaultSpec::Direction::Read;
        else if (d == "write") f.direction = FaultSpec::Direction::Write;
        else throw std::invalid_argument("fault: direction must be \"any\", \"read\" or \"write\"");
    }
    if (j.contains("address")) {
        uint64_t a = JsonU64(JsonField(j, "address"), "fault address");
        if (a >> 48) throw std::invalid_argument("fault address: more than 48 bits");
        f.anyAddress = false;
        f.offsetHigh = uint16_t(a >> 32);
        f.offsetLow = uint32_t(a);
        f.length = j.contains("length") ? JsonU32(JsonField(j, "length"), "fault length") : 4;
        if (f.length == 0) throw std::invalid_argument("fault length: must be at least 1");
    }
    if (j.contains("count")) {
        if (!JsonField(j, "count").is_number_integer() || JsonField(j, "count").get<int64_t>() < -1 || JsonField(j, "count").get<int64_t>() == 0 ||
            JsonField(j, "count").get<int64_t>() > INT32_MAX)
            throw std::invalid_argument("fault count: -1 (always) or a number of requests from 1");
        f.count = int32_t(JsonField(j, "count").get<int64_t>());
    }
    if (j.contains("delay_ms")) f.delayMs = JsonU32(JsonField(j, "delay_ms"), "fault delay_ms");
    if (j.contains("after")) {
        f.afterRequests = JsonU32(JsonField(j, "after"), "fault after");
        if (f.afterRequests == 0) throw std::invalid_argument("fault after: must be at least 1");
    }
    if (f.kind == FaultSpec::Kind::Code) {
        if (!j.contains("code")) throw std::invalid_argument("fault: kind \"code\" needs \"code\"");
        const auto& c = JsonField(j, "code");
        if (c.is_number_integer() && c.get<int64_t>() < 0) {
            if (c.get<int64_t>() < INT32_MIN) throw std::invalid_argument("fault code: out of range");
            f.code = int32_t(c.get<int64_t>());
        } else {
            f.code = int32_t(JsonU32(c, "fault code"));
        }
    }
    return f;
}

// ---------------------------------------------------------------------------------- PHY

PhyConfig PhyFromJson(const json& j) {
    if (!j.is_object()) throw std::invalid_argument("phy: expected an object");
    CheckJsonKeys(j, {"gap_count", "speed", "delay", "contender", "power_class", "ports", "extended"}, "phy");
    PhyConfig p;
    p.gapCount = SmallParam(j, "gap_count", p.gapCount, 63);
    p.speed = SmallParam(j, "speed", p.speed, 3);
    p.delay = SmallParam(j, "delay", p.delay, 3);
    p.powerClass = SmallParam(j, "power_class", p.powerClass, 7);
    p.contender = JsonBool(j, "contender", p.contender, "phy ");
    p.extendedPacket = JsonBool(j, "extended", p.extendedPacket, "phy ");
    if (j.contains("ports")) {
        const auto& ports = JsonField(j, "ports");
        if (!ports.is_array() || ports.size() > 11) throw std::invalid_argument("phy ports: a list of at most 11 port states");
        for (const auto& port : ports) {
            if (port.is_string() && kPortNames.count(port.get<std::string>())) {
                p.ports.push_back(kPortNames.at(port.get<std::string>()));
            } else if (port.is_number_integer() && port.get<int64_t>() >= 0 && port.get<int64_t>() <= 3) {
                p.ports.push_back(PortState(port.get<int64_t>()));
            } else {
                throw std::invalid_argument("phy ports: " + QuoteJson(port) + " is not none, not_connected, parent or child");
            }
        }
    }
    return p;
}

json PhyToJson(const PhyConfig& p) {
    json j{{"gap_count", p.gapCount}, {"speed", p.speed}, {"delay", p.delay},
           {"contender", p.contender}, {"power_class", p.powerClass}, {"extended", p.extendedPacket}};
    if (!p.ports.empty()) {
        json ports = json::array();
        for (PortState s : p.ports)
            for (const auto& [name, state] : kPortNames)
                if (state == s) ports.push_back(name);
        j["ports"] = ports;
    }
    return j;
}

}  // namespace sim
