#include "device/node_kinds.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "bus/description.h"
#include "bus/json_codec.h"
#include "device/crc32.h"
#include "bus/wire.h"
#include "fs/fs.h"

namespace sim::lumarel {

namespace {

[[noreturn]] void Bad(const std::string& field, const std::string& why) {
    throw std::invalid_argument("lumarel460: \"" + field + "\" " + why);
}

// A key of an object from outside that is refused; the key is quoted cut short, as any value
// from outside in a message.
[[noreturn]] void BadKey(const std::string& object, const std::string& key, const std::string& why) {
    throw std::invalid_argument("lumarel460: \"" + object + "\" key " + QuoteText(key) + " " + why);
}

template <size_t N>
std::array<uint8_t, N> HexField(const nlohmann::json& nodeDesc, const char* field) {
    std::vector<uint8_t> bytes;
    const nlohmann::json& v = JsonField(nodeDesc, field);
    if (!v.is_string() || !wire::ParseHex(v.get<std::string>(), bytes) || bytes.size() != N)
        Bad(field, "must be " + std::to_string(N * 2) + " hex digits");
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
}

uint32_t U32Field(const nlohmann::json& j, const char* field) {
    try {
        return JsonU32(JsonField(j, field), field);
    } catch (const std::exception&) {
        Bad(field, "must be a 32-bit number");
    }
}

bool BoolField(const nlohmann::json& j, const char* field) {
    if (!JsonField(j, field).is_boolean()) Bad(field, "must be true or false");
    return JsonField(j, field).get<bool>();
}

std::string TextField(const nlohmann::json& j, const char* field) {
    if (!JsonField(j, field).is_string()) Bad(field, "must be a text");
    return JsonField(j, field).get<std::string>();
}

// Reads timing keys present in j into t (all or nothing).
void ReadTiming(const nlohmann::json& j, Timing& t) {
    if (!j.is_object()) Bad("timing", "must be an object");
    Timing n = t;
    const std::pair<const char*, uint32_t*> fields[] = {
        {"answer_latency_ms", &n.answerLatencyMs}, {"erase_time_ms", &n.eraseTimeMs},
        {"verify_time_ms", &n.verifyTimeMs},       {"persistent_init_ms", &n.persistentInitMs},
        {"reset_time_ms", &n.resetTimeMs}};
    for (const auto& [name, target] : fields)
        if (j.contains(name)) *target = U32Field(j, name);
    for (const auto& item : j.items()) {
        bool known = false;
        for (const auto& f : fields) known |= item.key() == f.first;
        if (!known) BadKey("timing", item.key(), "is not a timing value");
    }
    t = n;
}

void ReadFaults(const nlohmann::json& j, Faults& f) {
    if (!j.is_object()) Bad("device_faults", "must be an object");
    Faults n = f;
    for (const auto& item : j.items()) {
        const std::string& k = item.key();
        if (k == "silent") n.silent = BoolField(j, "silent");
        else if (k == "late_answer_ms") n.lateAnswerMs = U32Field(j, "late_answer_ms");
        else if (k == "flash_write_failures") {
            if (!item.value().is_number_integer()) Bad(k, "must be a whole number (-1: every block)");
            n.flashWriteFailures = item.value().get<int32_t>();
        } else if (k == "corrupt_image") n.corruptImage = BoolField(j, "corrupt_image");
        else if (k == "ignore_debug_guid") n.ignoreDebugGuid = BoolField(j, "ignore_debug_guid");
        else if (k == "silent_factory_defaults") n.silentFactoryDefaults = BoolField(j, "silent_factory_defaults");
        else if (k == "state_disk_free") {
            if (!item.value().is_number_integer() || item.value().get<int64_t>() < -1)
                Bad(k, "must be a number of bytes (-1: no limit)");
            n.stateDiskFree = item.value().get<int64_t>();
        }
        else BadKey("device_faults", k, "is not a device fault");
    }
    f = n;
}

// The largest firmware package a description may name: its header and both images at their
// slots' capacities fit many times over.
constexpr size_t kMaxPackageFileBytes = size_t(16) << 20;

// Reads a file of at most `limit` bytes. The name comes from a description or a control request,
// so it may be anything: a FIFO (whose open would wait for a writer for ever, holding up the
// service), a device that never ends, a folder. Only a regular file is read, opened without
// waiting; the read stops one byte past the limit, and a longer file is refused.
std::vector<uint8_t> ReadWholeFile(const std::string& path, const char* field, size_t limit) {
    std::string bytes;
    switch (fs::ReadRegularFile(path, limit, bytes)) {
    case fs::ReadResult::Ok: break;
    case fs::ReadResult::NotRegular: Bad(field, "names something that is not a regular file: " + QuoteText(path));
    case fs::ReadResult::TooLarge: Bad(field, "names a file larger than " + std::to_string(limit) + " bytes");
    default: Bad(field, "names a file that cannot be read: " + QuoteText(path));
    }
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

int ImageTypeField(const nlohmann::json& j) {
    const nlohmann::json& t = JsonField(j, "type");
    if (t.is_string()) {
        for (int i = 0; i < kSlotCount; ++i)
            if (t.get<std::string>() == SlotName(i)) return i;
    } else if (t.is_number_integer() && t.get<int64_t>() >= 0 && t.get<int64_t>() < kSlotCount) {
        return t.get<int>();
    }
    Bad("images.type", "must be 0-3 or application, config, debugger, bootloader");
}

// Installs the images of a firmware package: Image1 into `type`, configuration data into
// slot 1. The package layout: magic "vSkD", build date (8) and time (8) at 8 and 16, software
// ID and version at 24 and 28, image records {file offset, address, length, CRC} at 48
// (Image1) and 80 (configuration data), data from 352 on.
void InstallPackage(Lumarel460& device, const std::vector<uint8_t>& file, int type) {
    if (file.size() < 352 || std::string(file.begin(), file.begin() + 4) != "vSkD")
        Bad("images.package", "is not a firmware package");
    ImageInfo info;
    std::copy_n(file.begin() + 8, 8, info.date.begin());
    std::copy_n(file.begin() + 16, 8, info.time.begin());
    info.softwareId = wire::Le32(&file[24]);
    info.softwareVersion = wire::Le32(&file[28]);
    bool any = false;
    for (const auto& [record, slot] : {std::pair{48u, type}, std::pair{80u, int(kConfigImage)}}) {
        const int32_t offset = int32_t(wire::Le32(&file[record]));
        const int32_t length = int32_t(wire::Le32(&file[record + 8]));
        if (length <= 0) continue;
        if (offset < 0 || uint64_t(offset) + uint64_t(length) > file.size())
            Bad("images.package", "has an image record past the end of the file");
        std::vector<uint8_t> bytes(file.begin() + offset, file.begin() + offset + length);
        if (Crc32(bytes) != wire::Le32(&file[record + 12]))
            Bad("images.package", "has an image whose CRC does not match");
        if (bytes.size() > SlotCapacity(slot)) Bad("images.package", "has an image too large for its slot");
        ImageInfo slotInfo = info;
        slotInfo.loadAddress = wire::Le32(&file[record + 4]);
        device.InstallImage(slot, std::move(bytes), slotInfo);
        any = true;
    }
    if (!any) Bad("images.package", "holds no image");
}

DeviceConfig ConfigFromJson(const nlohmann::json& nodeDesc) {
    DeviceConfig c;
    if (nodeDesc.contains("protocol")) {
        const nlohmann::json& p = JsonField(nodeDesc, "protocol");
        const auto v = ParseProtocol(p.is_number() ? std::to_string(p.get<int>()) : p.is_string() ? p.get<std::string>() : "");
        if (!v) Bad("protocol", "must be 1, 2, 3 or \"2be\"");
        c.protocol = *v;
    }
    if (nodeDesc.contains("factory_guid")) c.factoryGuid = HexField<8>(nodeDesc, "factory_guid");
    else if (nodeDesc.contains("guid")) c.factoryGuid = HexField<8>(nodeDesc, "guid");
    if (nodeDesc.contains("factory_mac")) c.factoryMac = HexField<6>(nodeDesc, "factory_mac");
    else if (nodeDesc.contains("mac")) c.factoryMac = HexField<6>(nodeDesc, "mac");
    if (nodeDesc.contains("hardware_model_id")) c.hardwareModelId = U32Field(nodeDesc, "hardware_model_id");
    if (nodeDesc.contains("hardware_revision")) c.hardwareRevision = U32Field(nodeDesc, "hardware_revision");
    if (nodeDesc.contains("bootloader_version")) c.bootloaderVersion = U32Field(nodeDesc, "bootloader_version");
    if (nodeDesc.contains("max_block_size")) c.maxBlockSize = U32Field(nodeDesc, "max_block_size");
    if (nodeDesc.contains("shell_ring_size")) {
        const uint32_t size = U32Field(nodeDesc, "shell_ring_size");
        if (size < 4 || size > 1024 || (size & (size - 1)) != 0)
            Bad("shell_ring_size", "must be a power of two from 4 to 1024");
        c.shellRingSize = uint16_t(size);
    }
    if (nodeDesc.contains("announce_boot")) c.announceBoot = BoolField(nodeDesc, "announce_boot");
    if (nodeDesc.contains("vendor")) c.vendorText = TextField(nodeDesc, "vendor");
    if (nodeDesc.contains("model")) c.modelText = TextField(nodeDesc, "model");
    if (nodeDesc.contains("boot_model")) c.bootModelText = TextField(nodeDesc, "boot_model");
    if (nodeDesc.contains("timing")) ReadTiming(JsonField(nodeDesc, "timing"), c.timing);
    if (nodeDesc.contains("device_faults")) ReadFaults(JsonField(nodeDesc, "device_faults"), c.faults);
    return c;
}

struct AutoRegister {
    AutoRegister() { RegisterNodeKinds(); }
} autoRegister;

}  // namespace

std::unique_ptr<Lumarel460Node> MakeLumarel460(const nlohmann::json& nodeDesc) {
    if (!nodeDesc.is_object()) Bad("(node)", "must be an object");
    auto node = std::make_unique<Lumarel460Node>(ConfigFromJson(nodeDesc));
    Lumarel460& device = node->device();
    if (nodeDesc.contains("guid")) device.SetGuid(HexField<8>(nodeDesc, "guid"));
    if (nodeDesc.contains("mac")) device.SetMac(HexField<6>(nodeDesc, "mac"));
    if (nodeDesc.contains("images")) {
        if (!JsonField(nodeDesc, "images").is_array()) Bad("images", "must be a list");
        for (const nlohmann::json& image : JsonField(nodeDesc, "images")) {
            if (!image.is_object()) Bad("images", "entries must be objects");
            if (image.contains("package")) {
                const int type = image.contains("type") ? ImageTypeField(image) : int(kApplicationImage);
                InstallPackage(device, ReadWholeFile(TextField(image, "package"), "images.package", kMaxPackageFileBytes),
                               type);
            } else if (image.contains("file")) {
                const int type = ImageTypeField(image);
                std::vector<uint8_t> bytes = ReadWholeFile(TextField(image, "file"), "images.file", SlotCapacity(type));
                if (bytes.empty() || bytes.size() > SlotCapacity(type)) Bad("images.file", "is empty or too large");
                ImageInfo info;
                if (image.contains("software_version")) info.softwareVersion = U32Field(image, "software_version");
                if (image.contains("software_id")) info.softwareId = U32Field(image, "software_id");
                // Build date and time texts (YYYYMMDD, HHMMSS) the firmware information shows.
                for (const char* f : {"date", "time"}) {
                    if (!image.contains(f)) continue;
                    const std::string t = TextField(image, f);
                    if (t.size() > 8) Bad(std::string("images.") + f, "must be at most 8 characters");
                    auto& dst = std::string(f) == "date" ? info.date : info.time;
                    std::copy(t.begin(), t.end(), dst.begin());
                }
                device.InstallImage(type, std::move(bytes), info);
            } else {
                Bad("images", "entries need \"file\" or \"package\"");
            }
        }
    }
    if (nodeDesc.contains("keys")) {
        if (!JsonField(nodeDesc, "keys").is_object()) Bad("keys", "must be an object of name: hex bytes");
        for (const auto& item : JsonField(nodeDesc, "keys").items()) {
            std::vector<uint8_t> data;
            if (!item.value().is_string() || !wire::ParseHex(item.value().get<std::string>(), data) ||
                item.key().empty() || item.key().size() >= kMaxKeyNameBytes || data.size() > kMaxKeyDataBytes)
                BadKey("keys", item.key(), "must be hex bytes under a short name");
            device.SetKey(item.key(), std::move(data));
        }
    }
    if (nodeDesc.contains("mode")) {
        const auto mode = ParseMode(JsonField(nodeDesc, "mode").is_string() ? JsonField(nodeDesc, "mode").get<std::string>() : "");
        if (!mode) Bad("mode", "must be bootloader, application or debugger");
        device.SetMode(*mode);
        if (device.mode() != *mode) Bad("mode", "needs a valid image of that kind");
    }
    node->SetConfigRom(device.ConfigRom());
    return node;
}

void RegisterNodeKinds() {
    RegisterNodeKind(kLumarelKind, [](const NodeContext& context) -> std::unique_ptr<Node> {
        return MakeLumarel460(context.nodeDesc);
    });
    RegisterNodeKind(kDebuggerKind, [](const NodeContext&) -> std::unique_ptr<Node> {
        return std::make_unique<DebuggerNode>();
    });
}

nlohmann::json DefaultBusDescription() {
    return {{"nodes",
             nlohmann::json::array({{{"id", "host"}, {"kind", "host"}},
                                    {{"id", "lumarel460"}, {"kind", kLumarelKind}, {"mode", "bootloader"}}})}};
}

bool ApplyDeviceCommand(Lumarel460& device, const nlohmann::json& command, std::string& error) {
    try {
        if (!command.is_object()) Bad("(command)", "must be an object");
        Timing timing = device.timing();
        Faults faults = device.faults();
        int corrupt = -1;
        if (command.contains("timing")) ReadTiming(JsonField(command, "timing"), timing);
        if (command.contains("device_faults")) ReadFaults(JsonField(command, "device_faults"), faults);
        if (command.contains("corrupt_slot")) {
            const nlohmann::json& t = JsonField(command, "corrupt_slot");
            if (!t.is_number_integer() || t.get<int64_t>() < 0 || t.get<int64_t>() >= kSlotCount)
                Bad("corrupt_slot", "must be 0-3");
            corrupt = t.get<int>();
        }
        const bool powerCycle = command.contains("power_cycle") && BoolField(command, "power_cycle");
        const bool powerOff = command.contains("power_off") && BoolField(command, "power_off");
        if (powerCycle && powerOff) Bad("power_off", "cannot be combined with power_cycle");
        const std::string emit = command.contains("shell_emit") ? TextField(command, "shell_emit") : "";
        // Everything checked: apply.
        device.timing() = timing;
        device.faults() = faults;
        if (corrupt >= 0) device.CorruptSlot(corrupt);
        if (!emit.empty()) device.console().Emit(emit);
        if (powerCycle) device.PowerCycle();
        if (powerOff) device.PowerOff();
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

}  // namespace sim::lumarel
