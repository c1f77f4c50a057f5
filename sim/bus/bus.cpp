// Building stub; the implementation follows.
#include "bus/bus.h"

namespace sim {

struct Bus::Impl {};

const char* ResetCauseName(ResetCause) { return "request"; }
nlohmann::json FaultToJson(const FaultSpec&) { return {}; }
FaultSpec FaultFromJson(const nlohmann::json&) { return {}; }

Bus::Bus(int busIndex) : busIndex_(busIndex), impl_(std::make_unique<Impl>()) {}
Bus::~Bus() = default;
std::string Bus::BusDeviceName() const { return "\\\\.\\1394BUS" + std::to_string(busIndex_); }
int32_t Bus::AddNode(const std::string&, std::unique_ptr<Node>, int, bool, bool) { return kResultSuccess; }
bool Bus::RemoveNode(const std::string&) { return false; }
void Bus::Clear() {}
bool Bus::Plug(const std::string&) { return false; }
bool Bus::Unplug(const std::string&) { return false; }
bool Bus::SetLocalHost(const std::string&) { return false; }
int Bus::LocalHostPhy() const { return -1; }
uint16_t Bus::LocalNodeId() const { return NodeIdOf(0); }
std::string Bus::LocalHostId() const { return {}; }
bool Bus::SetLinkActive(const std::string&, bool) { return false; }
bool Bus::SetPhyConfig(const std::string&, const PhyConfig&) { return false; }
uint32_t Bus::Reset(ResetCause, const Node*) { return 0; }
uint32_t Bus::Generation() const { return 0; }
int Bus::NodeCount() const { return 0; }
std::vector<std::string> Bus::NodeIds() const { return {}; }
int Bus::PhyOf(const std::string&) const { return -1; }
std::string Bus::IdAt(int) const { return {}; }
std::vector<uint32_t> Bus::SelfIds() const { return {}; }
std::vector<uint32_t> Bus::SelfIdsOf(int) const { return {}; }
std::vector<uint8_t> Bus::TopologyMap() const { return {}; }
int32_t Bus::Read(int, uint16_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return kResultNoResponse; }
int32_t Bus::Write(int, uint16_t, uint32_t, uint32_t, const uint8_t*, uint32_t) { return kResultNoResponse; }
int32_t Bus::ReadFrom(int, int, uint16_t, uint32_t, uint32_t, uint8_t*) { return kResultNoResponse; }
int32_t Bus::WriteFrom(int, int, uint16_t, uint32_t, uint32_t, const uint8_t*) { return kResultNoResponse; }
RangeResult Bus::AllocateRange(uint16_t, uint32_t, uint32_t, uint32_t, uint32_t) { return {}; }
int32_t Bus::FreeRange(int32_t) { return kResultNotFound; }
std::vector<AddressRange> Bus::Ranges() const { return {}; }
int32_t Bus::AddVirtualDevice(const std::string&, uint64_t) { return 0; }
int32_t Bus::RemoveVirtualDevice(const std::string&, uint64_t) { return kResultNotFound; }
std::vector<VirtualDevice> Bus::VirtualDevices() const { return {}; }
bool Bus::AddFault(const std::string&, const FaultSpec&) { return false; }
bool Bus::ClearFaults(const std::string&) { return false; }
void Bus::ClearAllFaults() {}
std::vector<FaultSpec> Bus::Faults(const std::string&) const { return {}; }
void Bus::InjectNotice(EventKind) {}
void Bus::ResetStorm(int) {}
int Bus::AddListener(Listener) { return 0; }
void Bus::RemoveListener(int) {}
void Bus::Locked(const std::function<void()>& fn) { fn(); }
bool Bus::WithNode(const std::string&, const std::function<void(Node&)>&) { return false; }
Node* Bus::FindNode(const std::string&) const { return nullptr; }
nlohmann::json Bus::Describe() const { return {}; }

}  // namespace sim
