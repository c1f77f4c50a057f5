// Info registers: the 104-byte block at the base of a target's protocol region that names the
// protocol engine's maker, the protocol version, the bootloader version, the GUID, the hardware
// and the software builds. Also the probe that tells whether a node runs the 1394 debugger.
#include "bootloader/info_registers.h"
#include "bootloader/fwp.h"
#include "bootloader/internal.h"

#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/byte_utils.h"
#include "support/program_context.h"

namespace basBootloader {

namespace {

ByteArray eight(const ByteArray& b, size_t at) {
    ByteArray out(8, 0);
    for (size_t i = 0; i < 8 && at + i < b.size(); ++i) out[i] = b[at + i];
    return out;
}

const uint8_t kDebugProbePattern[8] = {0x01, 0x01, 0x00, 0x00, 0x80, 0x80, 0x01, 0x00};
constexpr uint32_t kDebugProbeWriteLow = 0xC8000000u;
constexpr uint32_t kDebugProbeReadLow = 0xC8010000u;

}  // namespace

InfoRegisters DecodeInfoRegisters(const ByteArray& bytes) {
    InfoRegisters info;
    info.VendorId = eight(bytes, 0);
    info.ProtocolVersion = basUtils::ReadI32(bytes, 8, ByteOrder::Little);
    const ByteOrder order = info.ProtocolVersion == kProtocolV2BigEndian ? ByteOrder::Big : ByteOrder::Little;
    auto quadlet = [&](size_t at) { return basUtils::ReadI32(bytes, at, order); };
    info.BootloaderVersion = quadlet(12);
    // The GUID in its written order: a little-endian target stores each quadlet reversed.
    info.Guid = eight(bytes, 16);
    if (order == ByteOrder::Little) basUtils::ChangeEndian(info.Guid);
    info.HardwareModelId = quadlet(24);
    info.HardwareRevision = quadlet(28);
    info.SoftwareDate = eight(bytes, 32);
    info.SoftwareTime = eight(bytes, 40);
    info.SoftwareRelease = quadlet(48);
    info.SoftwareVersion = quadlet(52);
    info.Reserved56 = quadlet(56);
    info.Reserved60 = quadlet(60);
    info.BootloaderDate = eight(bytes, 64);
    info.BootloaderTime = eight(bytes, 72);
    info.DebugMonitorDate = eight(bytes, 80);
    info.Reserved88 = eight(bytes, 88);
    info.DebugMonitorId = quadlet(96);
    info.DebugMonitorVersion = quadlet(100);
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
    const std::string addressText = vb::Hex(base.OffsetHigh) + vb::Hex(base.OffsetLow);
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
            info.ProtocolVersion = basUtils::ReadI32(head, 8, ByteOrder::Little);
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
