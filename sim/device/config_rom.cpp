// The Lumarel 460's config ROM, rebuilt from its identity whenever it joins the bus.
//
// Bus information block: "1394", isochronous and cycle-master capable, the GUID as EUI-64 (its
// top 24 bits are the company identifier hosts keep the node by). Root directory: module
// vendor with its name, model with its name, node capabilities, and one unit directory:
//   - bootloader: the maker's own protocol (specifier 0x0A3C7E, version 1), model text
//     "LUMA Rel Bootloader" by default;
//   - application: an AV/C audio unit (specifier 0x00A02D, version 0x010001), model text
//     "LUMA Rel" (so the device's hardware ID reads "1394\Halvorin_Inc&LUMA_Rel");
//   - debugger: a minimal ROM (one quadlet with the company identifier).
#include "bus/config_rom.h"
#include "device/lumarel460.h"

namespace sim::lumarel {

namespace {
constexpr uint32_t kNodeCapabilities = 0x0083C0;
constexpr uint32_t kAvcSpecifier = 0x00A02D;
constexpr uint32_t kAvcVersion = 0x010001;
constexpr uint32_t kBootProtocolVersion = 1;
}  // namespace

std::vector<uint32_t> Lumarel460::ConfigRom() const {
    if (mode_ == Mode::Debugger) return MinimalRom(kCompanyId);
    const bool boot = mode_ == Mode::Bootloader;
    const std::string& model = boot ? config_.bootModelText : config_.modelText;
    BusInfo info;
    info.guid = 0;
    for (uint8_t b : guid_) info.guid = info.guid << 8 | b;
    auto unit = std::make_shared<RomDirectory>();
    unit->Immediate(key::kSpecifierId, boot ? kCompanyId : kAvcSpecifier)
        .Immediate(key::kVersion, boot ? kBootProtocolVersion : kAvcVersion)
        .Immediate(key::kModel, config_.hardwareModelId & 0xFFFFFF)
        .Text(model);
    RomDirectory root;
    root.Immediate(key::kVendor, kCompanyId)
        .Text(config_.vendorText)
        .Immediate(key::kModel, config_.hardwareModelId & 0xFFFFFF)
        .Text(model)
        .Immediate(key::kNodeCapabilities, kNodeCapabilities)
        .Directory(key::kUnit, unit);
    return BuildConfigRom(info, root);
}

}  // namespace sim::lumarel
