// Info registers: the 104-byte block at the base of a target's protocol region that names the
// protocol engine's maker, the protocol version, the bootloader version, the GUID, the hardware
// and the software builds. Also the probe that tells whether a node runs the 1394 debugger.
#include "bootloader/info_registers.h"
#include "bootloader/fwp.h"
#include "internal.h"

#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/byte_utils.h"
#include "support/program_context.h"

namespace basBootloader {

namespace {

int32_t quadlet(const ByteArray& b, size_t at, bool bigEndian) {
    if (at + 4 > b.size()) return 0;
    uint32_t v = bigEndian ? (uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3])
                           : (uint32_t(b[at + 3]) << 24 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 1]) << 8 | b[at]);
    return int32_t(v);
}

ByteArray eight(const ByteArray& b, size_t at) {
    ByteArray out(8, 0);
    for (size_t i = 0; i < 8 && at + i < b.size(); ++i) out[i] = b[at + i];
    return out;
}

// The 8 bytes with the byte order of each quadlet reversed.
ByteArray swapQuadlets(const ByteArray& b) {
    ByteArray out(b.size());
    for (size_t q = 0; q + 4 <= b.size(); q += 4) {
        for (size_t i = 0; i < 4; ++i) out[q + i] = b[q + 3 - i];
    }
    return out;
}

const uint8_t kDebugProbePattern[8] = {0x01, 0x01, 0x00, 0x00, 0x80, 0x80, 0x01, 0x00};
constexpr uint32_t kDebugProbeWriteLow = 0xC8000000u;
constexpr uint32_t kDebugProbeReadLow = 0xC8010000u;

}  // namespace

InfoRegisters DecodeInfoRegisters(const ByteArray& bytes) {
    InfoRegisters info;
    info.VendorId = eight(bytes, 0);
    info.ProtocolVersion = quadlet(bytes, 8, false);
    const bool be = info.ProtocolVersion == kProtocolV2BigEndian;
    info.BootloaderVersion = quadlet(bytes, 12, be);
    info.Guid = be ? eight(bytes, 16) : swapQuadlets(eight(bytes, 16));
    info.HardwareModelId = quadlet(bytes, 24, be);
    info.HardwareRevision = quadlet(bytes, 28, be);
    info.SoftwareDate = eight(bytes, 32);
    info.SoftwareTime = eight(bytes, 40);
    info.SoftwareRelease = quadlet(bytes, 48, be);
    info.SoftwareVersion = quadlet(bytes, 52, be);
    info.Reserved56 = quadlet(bytes, 56, be);
    info.Reserved60 = quadlet(bytes, 60, be);
    info.BootloaderDate = eight(bytes, 64);
    info.BootloaderTime = eight(bytes, 72);
    info.DebugMonitorDate = eight(bytes, 80);
    info.Reserved88 = eight(bytes, 88);
    info.DebugMonitorId = quadlet(bytes, 96, be);
    info.DebugMonitorVersion = quadlet(bytes, 100, be);
    return info;
}

bool VerifyCompatibility(const InfoRegisters& info) {
    std::string vendor(info.VendorId.begin(), info.VendorId.end());
    if (vb::LCase(vb::Trim(vendor)) != "vaskonel") {
        Log("VerifyCompatibility: Vaskonel IDs do not match, Vaskonel ID asc('vaskonEl'), device returned {" +
                basUtils::ByteArrayToHexString(info.VendorId) + "}",
            basDebug::TRACE);
        return false;
    }
    switch (info.ProtocolVersion) {
    case 1:
    case 2:
    case 3:
        return true;
    case kProtocolV2BigEndian:
        Log("VerifyCompatibility: Protocol Version 2 is implemented as Big Endian", basDebug::WARNING);
        return true;
    default:
        Log("VerifyCompatibility: invalid protocol version: (app=1, 2, target=" + Str(info.ProtocolVersion) + ")",
            basDebug::TRACE);
        return false;
    }
}

int32_t ReadInfoRegisters(const bas1394::NodeRecord& node, InfoRegisters& info) {
    const int32_t timeout = imagelift::Ctx().Default1394TransactionTimeout;
    const bas1394::Address48 base = State.ProtocolRegionBase;
    const std::string addressText = Hex16(base.OffsetHigh) + Hex(base.OffsetLow);
    int32_t result = -1;
    for (int pass = 1; pass <= 2; ++pass) {
        ByteArray head;
        result = bas1394::AsyncReadWrapperVB(node, base, 12, false, timeout, head);
        if (result != 1) {
            if (result == bas1394::kInterruptedByReset) {
                Log("bas1394.AsyncReadWrapper failed in ReadInfoRegisters (DLL indicates that a bus reset "
                    "interrupted the transaction)",
                    basDebug::WARNING);
            } else {
                Log("bas1394.AsyncReadWrapper failed in ReadInfoRegisters, code " + Str(result) +
                        "  params: NodeNum=" + Str(node.NodeNumber) + " addr=" + addressText + " numbytes=12 addr=" +
                        basUtils::FormatHex(base.OffsetHigh, "0000") + basUtils::FormatHex(base.OffsetLow, "00000000"),
                    basDebug::WARNING);
            }
        } else {
            info.VendorId = eight(head, 0);
            info.ProtocolVersion = quadlet(head, 8, false);
            if (!VerifyCompatibility(info)) {
                Log("ReadInfoRegisters failed: VerifyCompatibility failed.", basDebug::TRACE);
                return -1;
            }
            if (info.ProtocolVersion == 3) {
                Log("The protocol version is " + Str(info.ProtocolVersion), basDebug::WATCH);
            } else if (info.ProtocolVersion == kProtocolV2BigEndian) {
                Log("ReadInfoRegisters: Protocol version 2 is implemented as BigEndian", basDebug::WARNING);
            }
            ByteArray all;
            result = bas1394::AsyncReadWrapperVB(node, base, kInfoRegistersBytes, false, timeout, all);
            if (result != 1) {
                Log("bas1394.AsyncReadWrapper failed in ReadInfoRegisters, code " + Str(result) +
                    "  params: NodeNum=" + Str(node.NodeNumber) + " addr=" + addressText + " numbytes=" +
                    Str(kInfoRegistersBytes));
            } else {
                InfoRegisters decoded = DecodeInfoRegisters(all);
                decoded.VendorId = info.VendorId;
                decoded.ProtocolVersion = info.ProtocolVersion;
                info = decoded;
                std::string line = "Node #" + Str(node.NodeNumber) + ": bootloader version=" +
                                   Str(info.BootloaderVersion) + ", hardware version=" + Str(info.HardwareModelId) +
                                   "." + Str(info.HardwareRevision) + ", software version=" +
                                   Str(info.SoftwareRelease);
                if (info.SoftwareVersion == kPrivateBuildVersion) {
                    line += " <private build> ";
                } else {
                    line += "." + Str(info.SoftwareVersion) + " ";
                }
                line += FormatFwpLocalDateTime(info.SoftwareDate, info.SoftwareTime);
                Log(line, basDebug::USER);
                return 1;
            }
        }
        if (!(pass == 1 && (result == bas1394::kNoResponse || result == bas1394::kInterruptedByReset))) break;
    }
    return result;
}

bool CheckForDebugSupport(const bas1394::NodeRecord& node, int32_t timeoutMs) {
    try {
        int64_t start = clk::QueryPerformanceCounter();
        int32_t timeout = imagelift::Ctx().Default1394TransactionTimeout;
        ByteArray pattern(kDebugProbePattern, kDebugProbePattern + 8);
        bas1394::Address48 writeAt{kRegionHigh, 0, int32_t(kDebugProbeWriteLow)};
        int32_t result = bas1394::AsyncWriteWrapperVB(node, writeAt, 0, timeout, pattern);
        if (result != 1) {
            Log("CheckForDebugSupport failed: AsyncWriteWrapper failed, code " + Str(result), basDebug::TRACE);
            return false;
        }
        bas1394::Address48 readAt{kRegionHigh, 0, int32_t(kDebugProbeReadLow)};
        for (;;) {
            ByteArray answer;
            result = bas1394::AsyncReadWrapperVB(node, readAt, 8, false, timeout, answer);
            if (result == 1) {
                answer.resize(8, 0);
                bool match = answer[0] == 0x01 && answer[1] == 0x01 && answer[3] == 0x00 && answer[4] == 0x80 &&
                             answer[5] == 0x80 && answer[6] == 0x01 && answer[7] == 0x00;
                if (!match) result = -1;
            }
            if (result == 1 || result == -2) break;
            if (imagelift::ElapsedMs(start) >= float(timeoutMs)) break;
            // A short pause between probes keeps the bus free for others (and lets time pass
            // on a clock that only moves when someone waits).
            clk::Sleep(1);
        }
        return result == 1;
    } catch (...) {
        LogTrapped(" in basBootloader.CheckForDebugSupport.  Exiting...");
        return false;
    }
}

}  // namespace basBootloader
