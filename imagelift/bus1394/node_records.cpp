#include "bus1394/node_records.h"

#include "bus1394/state.h"

#include "support/byte_utils.h"

namespace bas1394 {

TopologyNodeEntry DecodeSelfId(const uint8_t* p) {
    using basUtils::GetBitField;
    TopologyNodeEntry e;
    e.PhyId = static_cast<uint8_t>(GetBitField(p[0], 0x3F));
    e.PacketId = static_cast<uint8_t>(GetBitField(p[0], 0xC0));
    e.GapCount = static_cast<uint8_t>(GetBitField(p[1], 0x3F));
    e.LinkActive = static_cast<uint8_t>(GetBitField(p[1], 0x40));
    e.Extended = GetBitField(p[1], 0x80) != 0;
    e.PowerClass = static_cast<uint8_t>(GetBitField(p[2], 0x07));
    e.Contender = static_cast<uint8_t>(GetBitField(p[2], 0x08));
    e.Delay = static_cast<uint8_t>(GetBitField(p[2], 0x30));
    e.Speed = static_cast<uint8_t>(GetBitField(p[2], 0xC0));
    e.MorePackets = static_cast<uint8_t>(GetBitField(p[3], 0x01));
    e.InitiatedReset = static_cast<uint8_t>(GetBitField(p[3], 0x02));
    e.Port2 = static_cast<uint8_t>(GetBitField(p[3], 0x0C));
    e.Port1 = static_cast<uint8_t>(GetBitField(p[3], 0x30));
    e.Port0 = static_cast<uint8_t>(GetBitField(p[3], 0xC0));
    return e;
}

NodeRecord GetNodeRecord(const std::string& driverType, int16_t nodeNumber) {
    for (const NodeRecord& node : State.NodeTable) {
        if (node.DriverType == driverType && node.NodeNumber == nodeNumber) return node;
    }
    return State.EmptyNodeRecord;
}

void ResetNodeTable() {
    State.EmptyNodeRecord = NodeRecord{};
    State.EmptyNodeRecord.NodeNumber = kNoNode;
    State.NodeTable.assign(1, State.EmptyNodeRecord);
}

}  // namespace bas1394
