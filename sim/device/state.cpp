// The Lumarel 460's state as the control tool shows it, and its persistence in a state folder.
//
// Folder layout: "state.json" (identity, keys, parameters, mode, each slot's build information,
// length and CRC-32) and "slot0.bin" .. "slot3.bin", "liveconfig.bin" with the raw bytes. Every
// file is written to a temporary name and renamed into place, the images before the JSON that
// describes them; a load checks each image against the length and CRC the JSON records, so a
// torn or foreign state is refused as a whole and the device keeps what it had.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bus/json_codec.h"
#include "device/crc32.h"
#include "device/lumarel460.h"
#include "device/wire.h"

namespace sim::lumarel {

namespace {

constexpr int kStateFormat = 1;

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// Bytes as readable text: printable ASCII kept, anything else as \xNN; trailing NULs dropped.
std::string Printable(const uint8_t* p, size_t n) {
    while (n > 0 && p[n - 1] == 0) --n;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '\\') {
            s.push_back(char(p[i]));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
            s += buf;
        }
    }
    return s;
}

template <size_t N>
std::array<uint8_t, N> HexArray(const nlohmann::json& j, const char* field) {
    std::vector<uint8_t> bytes;
    if (!j.contains(field) || !j[field].is_string() || !wire::ParseHex(j[field].get<std::string>(), bytes) ||
        bytes.size() != N)
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

std::vector<uint8_t> HexBytes(const nlohmann::json& j, const char* field) {
    std::vector<uint8_t> bytes;
    if (!j.contains(field) || !j[field].is_string() || !wire::ParseHex(j[field].get<std::string>(), bytes))
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    return bytes;
}

uint32_t U32(const nlohmann::json& j, const char* field) {
    if (!j.contains(field) || !j[field].is_number_integer() || j[field].get<int64_t>() < 0 ||
        j[field].get<int64_t>() > 0xFFFFFFFF)
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    return j[field].get<uint32_t>();
}

void WriteFileAtomically(const std::filesystem::path& path, const void* data, size_t n) {
    const std::filesystem::path tmp = path.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(data), std::streamsize(n));
        out.flush();
        if (!out) throw std::runtime_error("device state: cannot write " + tmp.string());
    }
    std::filesystem::rename(tmp, path);
}

// Reads a whole file of at most `limit` bytes.
std::vector<uint8_t> ReadFile(const std::filesystem::path& path, uintmax_t limit = 16u << 20) {
    std::error_code ec;
    const uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > limit) throw std::runtime_error("device state: cannot read " + path.string());
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("device state: cannot read " + path.string());
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string SlotFile(int type) { return "slot" + std::to_string(type) + ".bin"; }

nlohmann::json ImageInfoJson(const ImageInfo& info) {
    return {{"date", wire::Hex(info.date.data(), 8)},
            {"time", wire::Hex(info.time.data(), 8)},
            {"software_id", info.softwareId},
            {"software_version", info.softwareVersion},
            {"load_address", info.loadAddress},
            {"announced_crc", info.announcedCrc}};
}

ImageInfo ImageInfoFromJson(const nlohmann::json& j) {
    ImageInfo info;
    info.date = HexArray<8>(j, "date");
    info.time = HexArray<8>(j, "time");
    info.softwareId = U32(j, "software_id");
    info.softwareVersion = U32(j, "software_version");
    info.loadAddress = U32(j, "load_address");
    info.announcedCrc = U32(j, "announced_crc");
    return info;
}

}  // namespace

nlohmann::json Lumarel460::Describe() const {
    nlohmann::json j;
    j["mode"] = ToString(mode_);
    j["online"] = online_;
    j["halted"] = halted_;
    j["protocol"] = ToString(config_.protocol);
    j["guid"] = wire::Hex(guid_.data(), guid_.size());
    j["mac"] = wire::Hex(mac_.data(), mac_.size());
    j["debug_guid"] = wire::Hex(debugGuid_.data(), debugGuid_.size());
    j["factory_guid"] = wire::Hex(config_.factoryGuid.data(), 8);
    if ((uint32_t(guid_[0]) << 16 | guid_[1] << 8 | guid_[2]) != kCompanyId)
        j["warning"] = "the GUID does not begin with the company identifier 0A3C7E: hosts drop this node";
    j["hardware_model_id"] = config_.hardwareModelId;
    j["bootloader"] = {{"version", Hex32(runningBootVersion_)},
                       {"date", Printable(runningBootDate_.data(), 8)},
                       {"time", Printable(runningBootTime_.data(), 8)}};
    nlohmann::json slots = nlohmann::json::array();
    for (int t = 0; t < kSlotCount; ++t) {
        const FlashSlot& s = slots_[size_t(t)];
        nlohmann::json e = {{"type", t},
                            {"name", SlotName(t)},
                            {"length", s.bytes.size()},
                            {"crc32", Hex32(s.crc)},
                            {"valid", s.Valid()}};
        if (!s.Empty()) {
            e["announced_crc"] = Hex32(s.info.announcedCrc);
            e["date"] = Printable(s.info.date.data(), 8);
            e["time"] = Printable(s.info.time.data(), 8);
            e["software_id"] = s.info.softwareId;
            e["software_version"] = Hex32(s.info.softwareVersion);
            e["load_address"] = Hex32(s.info.loadAddress);
        }
        slots.push_back(std::move(e));
    }
    j["slots"] = std::move(slots);
    nlohmann::json keys = nlohmann::json::array();
    for (const auto& [name, data] : keys_) {
        const auto* n = reinterpret_cast<const uint8_t*>(name.data());
        keys.push_back({{"name", Printable(n, name.size())},
                        {"name_hex", wire::Hex(n, name.size())},
                        {"length", data.size()},
                        {"data", wire::Hex(data)}});
    }
    j["keys"] = std::move(keys);
    j["persistent"] = {{"initializations", persistent_.initializations},
                       {"factory_default_loads", persistent_.factoryDefaultLoads},
                       {"live_config_length", persistent_.liveConfig.size()},
                       {"live_config_crc32", Hex32(Crc32(persistent_.liveConfig))}};
    if (session_.open) {
        j["download"] = {{"type", session_.type}, {"length", session_.length}, {"received", session_.received}};
    }
    j["shell"] = {{"routed", shellRouted_}, {"pending", RingProtocol() ? 0 : fifo_.Pending()},
                  {"ring_head", RingProtocol() ? ring_.Head() : 0}};
    const Faults& f = config_.faults;
    j["faults"] = {{"silent", f.silent},
                   {"late_answer_ms", f.lateAnswerMs},
                   {"flash_write_failures", f.flashWriteFailures},
                   {"corrupt_image", f.corruptImage},
                   {"ignore_debug_guid", f.ignoreDebugGuid},
                   {"silent_factory_defaults", f.silentFactoryDefaults}};
    const Timing& t = config_.timing;
    j["timing"] = {{"answer_latency_ms", t.answerLatencyMs},
                   {"erase_time_ms", t.eraseTimeMs},
                   {"verify_time_ms", t.verifyTimeMs},
                   {"persistent_init_ms", t.persistentInitMs},
                   {"reset_time_ms", t.resetTimeMs}};
    return j;
}

void Lumarel460::SaveState(const std::filesystem::path& dir) const {
    std::filesystem::create_directories(dir);
    if (dir != savedDir_) {
        savedDir_ = dir;
        savedStamp_.fill(~uint64_t(0));  // a new folder gets every file
    }
    // Writes one image file unless the folder already holds these bytes.
    const auto writeImage = [&](size_t stamp, const std::string& name, const std::vector<uint8_t>& bytes) {
        if (savedStamp_[stamp] == contentStamp_[stamp] && std::filesystem::exists(dir / name)) return;
        WriteFileAtomically(dir / name, bytes.data(), bytes.size());
        savedStamp_[stamp] = contentStamp_[stamp];
    };
    nlohmann::json j;
    j["format"] = kStateFormat;
    // A device caught in the middle of a restart comes back in the mode it was heading for.
    j["mode"] = ToString(mode_);
    j["guid"] = wire::Hex(guid_.data(), 8);
    j["mac"] = wire::Hex(mac_.data(), 6);
    j["debug_guid"] = wire::Hex(debugGuid_.data(), 8);
    j["bootloader"] = {{"version", runningBootVersion_},
                       {"date", wire::Hex(runningBootDate_.data(), 8)},
                       {"time", wire::Hex(runningBootTime_.data(), 8)}};
    nlohmann::json slots = nlohmann::json::array();
    for (int t = 0; t < kSlotCount; ++t) {
        const FlashSlot& s = slots_[size_t(t)];
        writeImage(size_t(t), SlotFile(t), s.bytes);
        nlohmann::json e = ImageInfoJson(s.info);
        e["length"] = s.bytes.size();
        e["crc32"] = s.crc;
        slots.push_back(std::move(e));
    }
    j["slots"] = std::move(slots);
    nlohmann::json keys = nlohmann::json::array();
    for (const auto& [name, data] : keys_)
        keys.push_back({{"name", wire::Hex(reinterpret_cast<const uint8_t*>(name.data()), name.size())},
                        {"data", wire::Hex(data)}});
    j["keys"] = std::move(keys);
    writeImage(kSlotCount, "liveconfig.bin", persistent_.liveConfig);
    j["persistent"] = {{"initializations", persistent_.initializations},
                       {"factory_default_loads", persistent_.factoryDefaultLoads},
                       {"live_config_length", persistent_.liveConfig.size()},
                       {"live_config_crc32", Crc32(persistent_.liveConfig)}};
    const std::string text = j.dump(1);
    WriteFileAtomically(dir / "state.json", text.data(), text.size());
}

void Lumarel460::LoadState(const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / "state.json";
    if (!std::filesystem::exists(file)) return;
    const std::vector<uint8_t> text = ReadFile(file);
    std::string why;
    const nlohmann::json j = ParseJson(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), &why);
    if (j.is_discarded()) throw std::runtime_error("device state: unreadable state.json: " + why);
    if (!j.is_object() || !j.contains("format") || j["format"] != kStateFormat)
        throw std::runtime_error("device state: unknown format");

    // Everything is read into locals first; the device changes only when all of it checks out.
    const auto mode = ParseMode(j.value("mode", ""));
    if (!mode) throw std::runtime_error("device state: bad field \"mode\"");
    const Guid guid = HexArray<8>(j, "guid");
    const Mac mac = HexArray<6>(j, "mac");
    const auto debugGuid = HexArray<8>(j, "debug_guid");
    if (!j.contains("bootloader") || !j.contains("slots") || !j["slots"].is_array() ||
        j["slots"].size() != kSlotCount || !j.contains("keys") || !j["keys"].is_array() ||
        !j.contains("persistent"))
        throw std::runtime_error("device state: missing sections");
    const nlohmann::json& boot = j["bootloader"];
    const uint32_t bootVersion = U32(boot, "version");
    const auto bootDate = HexArray<8>(boot, "date");
    const auto bootTime = HexArray<8>(boot, "time");
    std::array<FlashSlot, kSlotCount> slots;
    for (int t = 0; t < kSlotCount; ++t) {
        const nlohmann::json& e = j["slots"][size_t(t)];
        FlashSlot& s = slots[size_t(t)];
        s.info = ImageInfoFromJson(e);
        s.bytes = ReadFile(dir / SlotFile(t), SlotCapacity(t));
        s.crc = Crc32(s.bytes);
        if (s.bytes.size() != U32(e, "length") || s.crc != U32(e, "crc32") || s.bytes.size() > SlotCapacity(t))
            throw std::runtime_error("device state: " + SlotFile(t) + " does not match state.json");
    }
    std::map<std::string, std::vector<uint8_t>> keys;
    for (const nlohmann::json& e : j["keys"]) {
        const std::vector<uint8_t> name = HexBytes(e, "name");
        std::vector<uint8_t> data = HexBytes(e, "data");
        if (name.empty() || name.size() >= kMaxKeyNameBytes || data.size() > kMaxKeyDataBytes)
            throw std::runtime_error("device state: bad key");
        keys[std::string(name.begin(), name.end())] = std::move(data);
    }
    const nlohmann::json& p = j["persistent"];
    PersistentParams persistent;
    persistent.initializations = U32(p, "initializations");
    persistent.factoryDefaultLoads = U32(p, "factory_default_loads");
    persistent.liveConfig = ReadFile(dir / "liveconfig.bin", SlotCapacity(kConfigImage));
    if (persistent.liveConfig.size() != U32(p, "live_config_length") ||
        Crc32(persistent.liveConfig) != U32(p, "live_config_crc32"))
        throw std::runtime_error("device state: liveconfig.bin does not match state.json");

    guid_ = guid;
    mac_ = mac;
    debugGuid_ = debugGuid;
    slots_ = std::move(slots);
    keys_ = std::move(keys);
    persistent_ = std::move(persistent);
    for (uint64_t& stamp : contentStamp_) ++stamp;
    // The saved bootloader is the one that runs; Restart would take slot 3's over it.
    Restart(*mode);
    runningBootVersion_ = bootVersion;
    runningBootDate_ = bootDate;
    runningBootTime_ = bootTime;
    ++restartGeneration_;
    online_ = true;
    Changed();
}

}  // namespace sim::lumarel
