// Records of the bootloader layer: one request or answer of the bootloader protocol
// (BootPacket), the info registers a target exposes, the per-target record and the target list,
// the nodes found running the 1394 debugger, and a firmware package in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/node_records.h"

namespace basBootloader {

using ByteArray = std::vector<uint8_t>;

// ---------------------------------------------------------------- protocol region

// Every target exposes the same region in its 1394 address space.
inline constexpr int16_t kRegionHigh = int16_t(0xFFFF);
inline constexpr uint32_t kRegionLow = 0xC8020000u;
inline constexpr uint32_t kRequestHeaderOffset = 0x1000;   // 8-byte header + up to 14 quadlets
inline constexpr uint32_t kRequestPayloadOffset = 0x1040;  // bulk data going with a request
inline constexpr uint32_t kResponseHeaderOffset = 0x9000;  // the target's answer
inline constexpr uint32_t kResponsePayloadOffset = 0x9040; // bulk data going with an answer
inline constexpr int32_t kResponseHeaderReadBytes = 40;    // header and 8 operand quadlets
inline constexpr int32_t kMaxOperandQuadlets = 14;
inline constexpr int32_t kInfoRegistersBytes = 104;

// Command codes of the bootloader protocol (there is no 16).
enum Command : int32_t {
    kCmdHalt = 1,
    kCmdReset = 2,
    kCmdReadImageCrc = 3,
    kCmdDownloadStart = 4,
    kCmdDownloadBlock = 5,
    kCmdDownloadEnd = 6,
    kCmdSwitchToShell = 7,
    kCmdReadShell = 8,
    kCmdWriteShell = 9,
    kCmdProgramGuid = 10,
    kCmdProgramMac = 11,
    kCmdInitPersistentParams = 12,
    kCmdFactoryDefaults = 13,
    kCmdSetDebugGuid = 14,
    kCmdGetDebugGuid = 15,
    kCmdStartImage = 17,
    kCmdReadKey = 18,
    kCmdWriteKey = 19,
};

// Reset modes of ResetDevice.
enum ResetMode : uint8_t { kResetIntoApplication = 0, kResetStayInBootloader = 1 };

// Image types.
enum ImageType : int32_t { kImageApplication = 0, kImageConfig = 1, kImageDebugger = 2, kImageBootloader = 3 };

// Protocol version as read from a target that stores version 2 most significant byte first.
inline constexpr int32_t kProtocolV2BigEndian = 0x02000000;

// Handle of a target that was created but not yet opened.
inline constexpr int32_t kHandleCreated = -101;

// One request or answer. Wire form: version (4, LSB first), sequence (2, low byte first),
// command (1), operand count in quadlets (1), operands.
struct BootPacket {
    int32_t ProtocolVersion = 0;
    int16_t Sequence = 0;
    int32_t Command = 0;
    uint8_t OperandCount = 0;
    ByteArray Operands;
};

// ---------------------------------------------------------------- info registers

// The 104-byte block at the base of the protocol region, decoded. 32-bit fields are held as host
// integers, 8-byte fields as arrays of 8 bytes.
struct InfoRegisters {
    ByteArray VendorId = ByteArray(8);   // 0: "vaskonel"
    int32_t ProtocolVersion = 0;         // 8: 1, 2, 3, or 0x02000000 for big-endian version 2
    int32_t BootloaderVersion = 0;       // 12: 0 while the application runs
    ByteArray Guid = ByteArray(8);       // 16: the bootloader GUID in written order
    int32_t HardwareModelId = 0;         // 24
    int32_t HardwareRevision = 0;        // 28
    ByteArray SoftwareDate = ByteArray(8);  // 32: "YYYYMMDD"
    ByteArray SoftwareTime = ByteArray(8);  // 40: "hhmmss" and two spare bytes
    int32_t SoftwareRelease = 0;         // 48
    int32_t SoftwareVersion = 0;         // 52: 0xFFFFFF marks a private build
    int32_t Reserved56 = 0;
    int32_t Reserved60 = 0;
    ByteArray BootloaderDate = ByteArray(8);    // 64
    ByteArray BootloaderTime = ByteArray(8);    // 72
    ByteArray DebugMonitorDate = ByteArray(8);  // 80
    ByteArray Reserved88 = ByteArray(8);        // 88
    int32_t DebugMonitorId = 0;                 // 96
    int32_t DebugMonitorVersion = 0;            // 100
};

inline constexpr int32_t kPrivateBuildVersion = 0xFFFFFF;
inline constexpr int32_t kShellBufferSize = 16534;

// One bootloader target.
struct BootloaderTarget {
    int32_t Handle = 0;           // 63 and up opened; -101 created; 0 none yet
    bas1394::NodeRecord Device;   // node number 128 while the target is not on the bus
    ByteArray Guid = ByteArray(1);  // debug GUID as last read
    InfoRegisters Info;           // its Guid is the bootloader GUID that identifies the target
    ByteArray ShellBuffer;        // receive ring of the 1394 shell, kShellBufferSize bytes
    int32_t ShellWritePos = 0;
    int32_t ShellReadPosition = 0;  // last ring head delivered by a protocol-2 shell read
    int32_t ShellReserved = 0;
    int32_t State = 0;            // raised to 2 when the target is created
    int32_t Reserved1 = 0;
    int32_t Reserved2 = 0;
};

struct DebuggerNode {
    bas1394::NodeRecord Device;
};

// ---------------------------------------------------------------- firmware packages

struct FwpImageRecord {
    int32_t FileOffset = 0;
    int32_t TargetAddress = 0;
    int32_t Length = 0;  // 0 or less: no such image
    int32_t Crc = 0;
};

inline constexpr int32_t kFwpHeaderBytes = 352;
inline constexpr int32_t kFwpInfoTextBytes = 256;
// "vSkD", most significant byte first.
inline constexpr int32_t FwpMagic = 0x76536B44;
// Configuration data always goes here, whatever its record says.
inline constexpr int32_t kConfigDataAddress = 0x201A0000;

struct FwpHeader {
    int32_t Magic = 0;
    int32_t FormatWord = 0;
    ByteArray Date = ByteArray(8);
    ByteArray Time = ByteArray(8);
    int32_t SoftwareId = 0;
    int32_t SoftwareVersion = 0;
    int32_t HardwareModelId = 0;
    int32_t VendorId = 0;
    ByteArray ReservedBytes = ByteArray(4);
    int32_t ReservedWord = 0;
    FwpImageRecord Image1;
    FwpImageRecord Image2;
    FwpImageRecord Cne;
    ByteArray InfoTextBytes = ByteArray(1);
    std::string InfoText;
};

struct FwpStruct {
    FwpHeader Header;
    ByteArray FileData = ByteArray(1);  // the whole file as read
};

}  // namespace basBootloader
