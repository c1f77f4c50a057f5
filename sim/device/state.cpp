// The Lumarel 460's state as the control tool shows it, and its persistence in a state folder.
//
// Folder layout: "state.json" (identity, keys, parameters, mode, each slot's build information,
// length, CRC-32 and the name of the file with its bytes, the node's own settings) and one file
// per image: "slot<type>-<n>.bin" and "liveconfig-<n>.bin". A save is whole or absent: images
// that changed go to new files (a name is never written twice), then a new state.json that
// names them replaces the old one by rename, and only after that do the files no state names
// any more go. A save cut short anywhere (a full disk, a killed service) leaves the previous
// state.json and every file it names as they were. A load checks each image against the length
// and CRC the JSON records, so a foreign or damaged state is refused as a whole and the device
// keeps what it had. Folders of older versions ("slot0.bin", "audio.json") still load.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "bus/json_codec.h"
#include "device/crc32.h"
#include "device/lumarel460.h"
#include "bus/wire.h"
#include "fs/fs.h"

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
    if (!j.contains(field) || !JsonField(j, field).is_string() || !wire::ParseHex(JsonField(j, field).get<std::string>(), bytes) ||
        bytes.size() != N)
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

std::vector<uint8_t> HexBytes(const nlohmann::json& j, const char* field) {
    std::vector<uint8_t> bytes;
    if (!j.contains(field) || !JsonField(j, field).is_string() || !wire::ParseHex(JsonField(j, field).get<std::string>(), bytes))
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    return bytes;
}

uint32_t U32(const nlohmann::json& j, const char* field) {
    if (!j.contains(field) || !JsonField(j, field).is_number_integer() || JsonField(j, field).get<int64_t>() < 0 ||
        JsonField(j, field).get<int64_t>() > 0xFFFFFFFF)
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    return JsonField(j, field).get<uint32_t>();
}

// Writes the files of one save into the state folder. `diskFree` (an injected fault; -1: no
// limit) is the room left on the disk: what is written takes from it, what a rename replaces or
// a removal takes away gives back, and a write past it fails as on a full disk.
class StateFiles {
public:
    StateFiles(std::filesystem::path dir, int64_t& diskFree) : dir_(std::move(dir)), diskFree_(diskFree) {}

    // Writes a new file `name`; false (writing nothing) when the name is taken.
    bool WriteNew(const std::string& name, const void* data, size_t n) const {
        const int fd = fs::OpenPrivateFile(dir_ / name, O_WRONLY | O_CREAT | O_EXCL);
        if (fd < 0 && errno == EEXIST) return false;
        write(fd, name, data, n);
        return true;
    }
    // Replaces `name` whole: written under "<name>.tmp", then renamed over it.
    void Replace(const std::string& name, const std::string& text) const {
        const std::string tmp = name + ".tmp";
        write(fs::OpenPrivateFile(dir_ / tmp, O_WRONLY | O_CREAT | O_TRUNC), tmp, text.data(), text.size());
        const uintmax_t replaced = Size(name);
        if (::rename((dir_ / tmp).c_str(), (dir_ / name).c_str()) != 0) {
            const int error = errno;
            Remove(tmp);
            fail(tmp, error);
        }
        Free(replaced);
        // The rename itself on the disk before anything that relies on it.
        const int folder = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
    }
    void Remove(const std::string& name) const {
        const uintmax_t size = Size(name);
        if (::unlink((dir_ / name).c_str()) == 0) Free(size);
    }

private:
    uintmax_t Size(const std::string& name) const {
        std::error_code ec;
        const uintmax_t size = std::filesystem::file_size(dir_ / name, ec);
        return ec ? 0 : size;
    }
    void Free(uintmax_t bytes) const {
        if (diskFree_ >= 0) diskFree_ += int64_t(bytes);
    }
    // Writes and flushes to the disk; on failure the file goes and the save stops.
    void write(int fd, const std::string& name, const void* data, size_t n) const {
        if (fd < 0) fail(name, errno);
        const auto* p = static_cast<const uint8_t*>(data);
        int error = 0;
        while (n > 0 && error == 0) {
            const size_t room = diskFree_ < 0 ? n : size_t(std::min<int64_t>(diskFree_, int64_t(n)));
            const ssize_t done = room == 0 ? (errno = ENOSPC, -1) : ::write(fd, p, room);
            if (done < 0 && errno != EINTR) error = errno;
            if (done > 0) {
                p += done, n -= size_t(done);
                if (diskFree_ >= 0) diskFree_ -= done;
            }
        }
        if (error == 0 && ::fsync(fd) != 0) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
        if (error != 0) {
            Remove(name);
            fail(name, error);
        }
    }
    [[noreturn]] void fail(const std::string& name, int error) const {
        throw std::runtime_error("device state: cannot write " + (dir_ / name).string() + ": " + std::strerror(error));
    }

    std::filesystem::path dir_;
    int64_t& diskFree_;
};

// A file name a state.json may give for an image: "<stem>-<n>.bin", or the older "<stem>.bin".
bool ImageFileName(const std::string& name, const std::string& stem) {
    if (name == stem + ".bin") return true;
    if (name.size() <= stem.size() + 5 || name.compare(0, stem.size() + 1, stem + "-") != 0 ||
        name.compare(name.size() - 4, 4, ".bin") != 0)
        return false;
    for (size_t i = stem.size() + 1; i < name.size() - 4; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// The files of a state folder that a save writes and later removes.
bool StateFileName(const std::string& name) {
    if (name == "audio.json" || (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)) return true;
    if (ImageFileName(name, "liveconfig")) return true;
    for (int t = 0; t < kSlotCount; ++t)
        if (ImageFileName(name, "slot" + std::to_string(t))) return true;
    return false;
}

// Reads a whole regular file of at most `limit` bytes.
std::vector<uint8_t> ReadFile(const std::filesystem::path& path, size_t limit = 16u << 20) {
    std::string bytes;
    if (fs::ReadRegularFile(path, limit, bytes) != fs::ReadResult::Ok)
        throw std::runtime_error("device state: cannot read " + path.string());
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string SlotStem(int type) { return "slot" + std::to_string(type); }
constexpr const char* kLiveConfigStem = "liveconfig";

// The file that holds an image: the name state.json gives, or the older fixed name.
std::string ImageFile(const nlohmann::json& j, const char* field, const std::string& stem) {
    const nlohmann::json& name = JsonField(j, field);
    if (name.is_null()) return stem + ".bin";
    if (!name.is_string() || !ImageFileName(name.get<std::string>(), stem))
        throw std::runtime_error(std::string("device state: bad field \"") + field + "\"");
    return name.get<std::string>();
}

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
                   {"silent_factory_defaults", f.silentFactoryDefaults},
                   {"state_disk_free", f.stateDiskFree}};
    const Timing& t = config_.timing;
    j["timing"] = {{"answer_latency_ms", t.answerLatencyMs},
                   {"erase_time_ms", t.eraseTimeMs},
                   {"verify_time_ms", t.verifyTimeMs},
                   {"persistent_init_ms", t.persistentInitMs},
                   {"reset_time_ms", t.resetTimeMs}};
    return j;
}

void Lumarel460::SaveState(const std::filesystem::path& dir, const nlohmann::json& attached) const {
    if (!fs::CreatePrivateFolders(dir)) throw std::runtime_error("device state: cannot create the folder " + dir.string());
    // A save that fails leaves the folder as it was: the image files it wrote go again, and the
    // next save knows the files of the state.json still in place.
    const std::filesystem::path dirBefore = savedDir_;
    const auto stampBefore = savedStamp_;
    const auto fileBefore = savedFile_;
    std::vector<std::string> written;
    if (dir != savedDir_) {
        savedDir_ = dir;
        savedStamp_.fill(~uint64_t(0));  // a new folder gets every file
        savedFile_.fill({});
    }
    const StateFiles files(dir, config_.faults.stateDiskFree);
    try {
        const auto imageFile = [&](size_t stamp, const std::string& stem, const std::vector<uint8_t>& bytes) {
            std::error_code ec;
            if (savedStamp_[stamp] != contentStamp_[stamp] || savedFile_[stamp].empty() ||
                !std::filesystem::exists(dir / savedFile_[stamp], ec)) {
                std::string name;
                do name = stem + "-" + std::to_string(++saveNumber_) + ".bin";
                while (!files.WriteNew(name, bytes.data(), bytes.size()));
                written.push_back(name);
                savedFile_[stamp] = name;
                savedStamp_[stamp] = contentStamp_[stamp];
            }
            return savedFile_[stamp];
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
            nlohmann::json e = ImageInfoJson(s.info);
            e["length"] = s.bytes.size();
            e["crc32"] = s.crc;
            e["file"] = imageFile(size_t(t), SlotStem(t), s.bytes);
            slots.push_back(std::move(e));
        }
        j["slots"] = std::move(slots);
        nlohmann::json keys = nlohmann::json::array();
        for (const auto& [name, data] : keys_)
            keys.push_back({{"name", wire::Hex(reinterpret_cast<const uint8_t*>(name.data()), name.size())},
                            {"data", wire::Hex(data)}});
        j["keys"] = std::move(keys);
        j["persistent"] = {{"initializations", persistent_.initializations},
                           {"factory_default_loads", persistent_.factoryDefaultLoads},
                           {"live_config_length", persistent_.liveConfig.size()},
                           {"live_config_crc32", Crc32(persistent_.liveConfig)},
                           {"live_config_file", imageFile(kSlotCount, kLiveConfigStem, persistent_.liveConfig)}};
        if (!attached.is_null()) j["node"] = attached;
        files.Replace("state.json", j.dump(1));
    } catch (...) {
        for (const std::string& name : written) files.Remove(name);
        savedDir_ = dirBefore;
        savedStamp_ = stampBefore;
        savedFile_ = fileBefore;
        throw;
    }
    MarkSaved();

    // The new state is in place: what no state names any more goes.
    std::set<std::string> named(savedFile_.begin(), savedFile_.end());
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (StateFileName(name) && !named.count(name)) files.Remove(name);
    }
}

nlohmann::json Lumarel460::LoadState(const std::filesystem::path& dir) {
    // A state that another user may have written is not the device's.
    if (const auto problem = fs::PrivateFolderProblem(dir)) throw std::runtime_error("device state: " + *problem);
    const std::filesystem::path file = dir / "state.json";
    if (!std::filesystem::exists(file)) return nullptr;
    const std::vector<uint8_t> text = ReadFile(file);
    std::string why;
    const nlohmann::json j = ParseJson(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), &why);
    if (j.is_discarded()) throw std::runtime_error("device state: unreadable state.json: " + why);
    if (!j.is_object() || !j.contains("format") || JsonField(j, "format") != kStateFormat)
        throw std::runtime_error("device state: unknown format");

    // Everything is read into locals first; the device changes only when all of it checks out.
    const auto mode = ParseMode(j.value("mode", ""));
    if (!mode) throw std::runtime_error("device state: bad field \"mode\"");
    const Guid guid = HexArray<8>(j, "guid");
    const Mac mac = HexArray<6>(j, "mac");
    const auto debugGuid = HexArray<8>(j, "debug_guid");
    if (!j.contains("bootloader") || !j.contains("slots") || !JsonField(j, "slots").is_array() ||
        JsonField(j, "slots").size() != kSlotCount || !j.contains("keys") || !JsonField(j, "keys").is_array() ||
        !j.contains("persistent"))
        throw std::runtime_error("device state: missing sections");
    const nlohmann::json& boot = JsonField(j, "bootloader");
    const uint32_t bootVersion = U32(boot, "version");
    const auto bootDate = HexArray<8>(boot, "date");
    const auto bootTime = HexArray<8>(boot, "time");
    std::array<FlashSlot, kSlotCount> slots;
    std::array<std::string, kSlotCount + 1> files;
    for (int t = 0; t < kSlotCount; ++t) {
        const nlohmann::json& e = JsonField(j, "slots")[size_t(t)];
        FlashSlot& s = slots[size_t(t)];
        s.info = ImageInfoFromJson(e);
        files[size_t(t)] = ImageFile(e, "file", SlotStem(t));
        s.bytes = ReadFile(dir / files[size_t(t)], SlotCapacity(t));
        s.crc = Crc32(s.bytes);
        if (s.bytes.size() != U32(e, "length") || s.crc != U32(e, "crc32") || s.bytes.size() > SlotCapacity(t))
            throw std::runtime_error("device state: " + files[size_t(t)] + " does not match state.json");
    }
    std::map<std::string, std::vector<uint8_t>> keys;
    for (const nlohmann::json& e : JsonField(j, "keys")) {
        const std::vector<uint8_t> name = HexBytes(e, "name");
        std::vector<uint8_t> data = HexBytes(e, "data");
        if (name.empty() || name.size() >= kMaxKeyNameBytes || data.size() > kMaxKeyDataBytes)
            throw std::runtime_error("device state: bad key");
        keys[std::string(name.begin(), name.end())] = std::move(data);
    }
    const nlohmann::json& p = JsonField(j, "persistent");
    PersistentParams persistent;
    persistent.initializations = U32(p, "initializations");
    persistent.factoryDefaultLoads = U32(p, "factory_default_loads");
    files[kSlotCount] = ImageFile(p, "live_config_file", kLiveConfigStem);
    persistent.liveConfig = ReadFile(dir / files[kSlotCount], SlotCapacity(kConfigImage));
    if (persistent.liveConfig.size() != U32(p, "live_config_length") ||
        Crc32(persistent.liveConfig) != U32(p, "live_config_crc32"))
        throw std::runtime_error("device state: " + files[kSlotCount] + " does not match state.json");
    nlohmann::json attached = JsonField(j, "node");

    guid_ = guid;
    mac_ = mac;
    debugGuid_ = debugGuid;
    slots_ = std::move(slots);
    keys_ = std::move(keys);
    persistent_ = std::move(persistent);
    for (uint64_t& stamp : contentStamp_) ++stamp;
    // The files loaded hold these bytes: the next save names them again instead of copying.
    savedDir_ = dir;
    savedFile_ = files;
    savedStamp_ = contentStamp_;
    MarkSaved();
    // The saved bootloader is the one that runs; Restart would take slot 3's over it.
    Restart(*mode);
    runningBootVersion_ = bootVersion;
    runningBootDate_ = bootDate;
    runningBootTime_ = bootTime;
    ++restartGeneration_;
    online_ = true;
    Changed();
    return attached;
}

void Lumarel460::MarkSaved() const {
    saved_.guid = guid_;
    saved_.mac = mac_;
    saved_.debugGuid = debugGuid_;
    saved_.keys = keys_;
    // Images are copied only when their bytes changed since the last mark.
    for (size_t t = 0; t < kSlotCount; ++t)
        if (saved_.contentStamp[t] != contentStamp_[t]) saved_.images[t] = slots_[t];
    saved_.persistent.initializations = persistent_.initializations;
    saved_.persistent.factoryDefaultLoads = persistent_.factoryDefaultLoads;
    if (saved_.contentStamp[kSlotCount] != contentStamp_[kSlotCount]) saved_.persistent.liveConfig = persistent_.liveConfig;
    saved_.contentStamp = contentStamp_;
}

void Lumarel460::RevertToSaved() {
    guid_ = saved_.guid;
    mac_ = saved_.mac;
    debugGuid_ = saved_.debugGuid;
    keys_ = saved_.keys;
    for (size_t t = 0; t < kSlotCount; ++t)
        if (saved_.contentStamp[t] != contentStamp_[t]) slots_[t] = saved_.images[t];
    persistent_.initializations = saved_.persistent.initializations;
    persistent_.factoryDefaultLoads = saved_.persistent.factoryDefaultLoads;
    if (saved_.contentStamp[kSlotCount] != contentStamp_[kSlotCount]) persistent_.liveConfig = saved_.persistent.liveConfig;
    // The stamps go back with the bytes: the files the last save wrote hold them again.
    contentStamp_ = saved_.contentStamp;
    // The answer that reported the dropped change goes with it (also one still on its way), as
    // a restart would take it: a host that looks for it finds none, not a success for a change
    // that is not kept.
    VoidAnswer();
    Changed();
}

}  // namespace sim::lumarel
