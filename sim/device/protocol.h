// The Lumarel 460 bootloader protocol as the device implements it: where its areas lie in the
// node's 1394 address space, the command codes it understands and the answers it gives.
//
// Region layout (offsets from the region base 0xFFFF:C8020000):
//   +0x0000  info registers, 104 bytes (the rest of the first 4 KiB reads as zero)
//   +0x1000  request area, 4 KiB: 8-byte header, up to 14 operand quadlets, and from +0x1040
//            the request payload (image blocks, key data, shell characters)
//   +0x9000  response area, 4 KiB: 8-byte header and operands, payload from +0x9040
// A write that starts at +0x1000 is a request. Header: protocol version (4 bytes, echoed as
// sent), sequence (2 bytes, echoed), command (1 byte), operand count in quadlets (1 byte, 0-14),
// then the operands, least significant byte first unless a command says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::lumarel {

inline constexpr uint16_t kRegionHigh = 0xFFFF;
inline constexpr uint32_t kRegionBase = 0xC8020000u;
inline constexpr uint32_t kInfoRegistersSize = 104;
inline constexpr uint32_t kInfoArea = 0x0000;
inline constexpr uint32_t kRequestArea = 0x1000;
inline constexpr uint32_t kResponseArea = 0x9000;
inline constexpr uint32_t kAreaSize = 0x1000;
inline constexpr uint32_t kPayloadOffset = 0x40;  // payload within the request/response area
inline constexpr uint32_t kPayloadSize = kAreaSize - kPayloadOffset;
inline constexpr uint32_t kRegionSize = kResponseArea + kAreaSize;
inline constexpr uint32_t kHeaderSize = 8;
inline constexpr uint32_t kMaxOperandQuadlets = 14;

// The 1394 debugger's probe: a pattern written at 0xFFFF:C8000000 is read back at
// 0xFFFF:C8010000 (8 bytes each).
inline constexpr uint32_t kProbeWriteAddress = 0xC8000000u;
inline constexpr uint32_t kProbeReadAddress = 0xC8010000u;
inline constexpr uint32_t kProbeSize = 8;
// Byte 2 of the echoed pattern carries the debugger's own marker instead of the host's byte.
inline constexpr uint8_t kProbeMarker = 0x5A;

// Where a bootloader announces itself in the local host's address space after a restart.
inline constexpr uint32_t kHostAnnounceAddress = 0xC8029000u;

// The company identifier in the top 24 bits of every Lumarel 460 GUID and in its config ROM.
inline constexpr uint32_t kCompanyId = 0x0A3C7E;

enum class Command : uint8_t {
    Halt = 1,
    Reset = 2,
    ReadImageCrc = 3,
    DownloadStart = 4,
    DownloadBlock = 5,
    DownloadEnd = 6,
    SwitchToShell = 7,
    ShellRead = 8,
    ShellWrite = 9,
    ProgramGuid = 10,
    ProgramMac = 11,
    InitPersistentParams = 12,
    ConfigFactoryDefaults = 13,
    SetDebugGuid = 14,
    GetDebugGuid = 15,
    // 16 was never assigned.
    StartImage = 17,
    ReadKey = 18,
    WriteKey = 19,
};

// Image types, one flash slot each.
enum ImageType : uint8_t {
    kApplicationImage = 0,
    kConfigImage = 1,
    kDebuggerImage = 2,
    kBootloaderImage = 3,
};
inline constexpr int kSlotCount = 4;

// Reset modes of command 2.
inline constexpr uint8_t kResetToApplication = 0;
inline constexpr uint8_t kResetToBootloader = 1;

// Status of a download block (command 5).
inline constexpr int32_t kBlockGood = 0;
// No download session, or the block lies outside the announced image or leaves a gap.
inline constexpr int32_t kBlockRejected = 2;
// Writing the flash failed.
inline constexpr int32_t kBlockFlashWriteFailed = -3;

// CRC validity word of commands 3 and 6.
inline constexpr uint32_t kCrcValid = 0;
inline constexpr uint32_t kCrcInvalid = 1;

// Result of command 17. The host reads -1 as a debugger image with a bad CRC; any other
// image that cannot start answers -2, so an application start is never reported as that.
inline constexpr int32_t kStartOk = 0;
inline constexpr int32_t kStartBadDebugger = -1;
inline constexpr int32_t kStartNoImage = -2;

// Status of the key commands (18, 19).
inline constexpr int32_t kKeyOk = 0;
inline constexpr int32_t kKeyUnknown = 1;     // read of a key that does not exist
inline constexpr int32_t kKeyBadRequest = 2;  // malformed name, offsets or length
inline constexpr int32_t kKeyStoreFull = 3;   // no room for another key

// Limits of the key store.
inline constexpr uint32_t kMaxKeyNameBytes = 256;  // including the terminating zero
inline constexpr uint32_t kMaxKeyDataBytes = 65536;
inline constexpr uint32_t kMaxKeys = 256;
// Key reads, and key writes, that may be in progress at once; the least recently used one
// gives way to a new one.
inline constexpr size_t kMaxOpenKeyExchanges = 8;
// Key data handed out per read exchange.
inline constexpr uint32_t kReadKeyChunk = 512;
// Key data taken per write exchange: a 128-byte buffer at the request payload, each quadlet
// byte-reversed, sent whenever fewer than 37 name bytes remain to be sent.
inline constexpr uint32_t kWriteKeyChunk = 128;
inline constexpr uint32_t kWriteKeyNameThreshold = 37;

// Shell characters moved per read (command 8) at most.
inline constexpr uint32_t kShellReadMax = 2048;

}  // namespace sim::lumarel
