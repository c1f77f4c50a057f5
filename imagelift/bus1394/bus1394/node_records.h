// The downloader's picture of the 1394 bus: the records of a node, of its self-ID packet and
// of the local host's topology map. The node table built from them is part of the bus layer's
// state (bus1394/state.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/config_rom_record.h"

namespace bas1394 {

// A 48-bit 1394 address as the access library takes it: 8 bytes, high 16 bits at offset 0,
// two fill bytes, low 32 bits at offset 4 (little-endian in memory).
struct Address48 {
    int16_t OffsetHigh = 0;
    uint16_t Fill = 0;
    int32_t OffsetLow = 0;
};
static_assert(sizeof(Address48) == 8);
static_assert(offsetof(Address48, OffsetLow) == 4);

// One decoded self-ID packet (packet 0 of a node): bits of bytes b0..b3, b0 = bits 31-24.
struct TopologyNodeEntry {
    uint8_t PhyId = 0;
    uint8_t PacketId = 0;
    uint8_t GapCount = 0;
    uint8_t LinkActive = 0;  // 0 = the node's link layer is not active
    bool Extended = false;
    uint8_t PowerClass = 0;
    uint8_t Contender = 0;
    uint8_t Delay = 0;
    uint8_t Speed = 0;
    uint8_t MorePackets = 0;
    uint8_t InitiatedReset = 0;
    uint8_t Port2 = 0;
    uint8_t Port1 = 0;
    uint8_t Port0 = 0;
    uint8_t Fill = 0;
};

// Decodes the four bytes of a self-ID packet in bus order.
TopologyNodeEntry DecodeSelfId(const uint8_t* packet);

// The local host's topology map, one decoded self-ID entry per node (entry k = node k).
struct TopologyMapRecord {
    int32_t Length = 0;
    int32_t Crc = 0;
    int32_t Generation = 0;
    int16_t NodeCount = 0;
    int16_t SelfIdCount = 0;
    std::vector<TopologyNodeEntry> Entries = std::vector<TopologyNodeEntry>(1);
};

inline constexpr int16_t kNoNode = 128;
inline constexpr char kDriverVdev[] = "vdev";
inline constexpr char kDriverKlmd[] = "klmd";

struct NodeRecord {
    std::string DriverType;
    std::string DeviceName;  // the first virtual device name, all 256 characters of its slot
    int16_t NodeNumber = kNoNode;
    TopologyNodeEntry Topology;
    ConfigRomRecord ConfigRom;
};

// A copy of the first table element with this driver kind (compared exactly) and node number;
// the empty record when there is none.
NodeRecord GetNodeRecord(const std::string& driverType, int16_t nodeNumber);

// Makes the node table and the empty record as start-up leaves them: one empty element.
void ResetNodeTable();

}  // namespace bas1394
