// One client's view of the simulated 1394 bus, at the level of the access library's functions.
//
// Two implementations: a session on a bus hosted in this process (BusHost::Open), which the
// service runs for each connected program and tests use directly on the manual clock, and a
// connection to the bus service (ConnectToService), which programs use so that they all meet on
// one bus. Results are the access library's codes (sim/bus/codes.h). Notices (bus reset, incoming
// data, device change ...) reach the client through the callback given when the access is made;
// it may run on any thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/codes.h"

namespace bussvc {

using NoticeCallback = std::function<void(uint32_t message)>;

// An audio interface whose audio driver is present: a Lumarel 460 on the bus running its
// application. What its firmware-information record is made of comes along.
struct AudioUnitInfo {
    std::string node;           // node id on the bus
    std::string interfacePath;  // device path of the driver's interface
    bool controlOpenable = true;
    std::array<uint8_t, 8> guid{};  // most significant byte first
    std::string identifier;         // "Halvorin_Inc&LUMA_Rel"
    std::string softwareDate, softwareTime;      // application image, YYYYMMDD / HHMMSS
    std::string bootloaderDate, bootloaderTime;  // the bootloader that runs
};

// Limits of the audio requests on the wire.
inline constexpr uint32_t kMaxAudioUnits = 64;
inline constexpr uint32_t kMaxAudioBytes = 4096;

// One asynchronous transaction of a sequence: a write of `count` bytes from `data`, or a read of
// `count` bytes into it; `code` is its result once it was carried out.
struct Transfer {
    bool write = false;
    int32_t node = 0;
    uint16_t offsetHigh = 0;
    uint32_t offsetLow = 0;
    uint32_t count = 0;
    uint8_t* data = nullptr;
    int32_t timeoutMs = 0;
    int32_t code = 0;
};

// The most transactions one sequence carries.
inline constexpr size_t kMaxSequence = 4;

class Access {
public:
    virtual ~Access() = default;

    // Carries out up to kMaxSequence transactions in order, each a transaction of its own on the
    // bus exactly as Read and Write carry it, and stops after the first that does not succeed.
    // Returns how many were carried out (each of those has its code). A connection to the
    // service carries a sequence in one request, so that a program's exchange of several
    // transactions with a device waits once for the service instead of once per transaction.
    virtual size_t Transfers(Transfer* transfers, size_t count) {
        size_t done = 0;
        while (done < count && done < kMaxSequence) {
            Transfer& t = transfers[done++];
            t.code = t.write ? Write(t.node, t.offsetHigh, t.offsetLow, t.data, t.count, t.timeoutMs)
                             : Read(t.node, t.offsetHigh, t.offsetLow, t.count, t.timeoutMs, t.data);
            if (t.code != sim::kResultSuccess) break;
        }
        return done;
    }

    // Asynchronous transactions; count is 4..2048 in whole quadlets (checked by the bus).
    virtual int32_t Read(int32_t node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t count,
                         int32_t timeoutMs, uint8_t* out) = 0;
    virtual int32_t Write(int32_t node, uint16_t offsetHigh, uint32_t offsetLow,
                          const uint8_t* data, uint32_t count, int32_t timeoutMs) = 0;

    // The local host's topology map as the library hands it out (header and self-IDs); the
    // device names a virtual device on the bus.
    virtual int32_t TopologyMap(const std::string& device, std::vector<uint8_t>& map) = 0;
    // 0 and the local node's 16-bit node ID, or a non-zero code.
    virtual int32_t LocalNodeAddress(const std::string& device, uint16_t& nodeId) = 0;

    virtual std::vector<std::string> VirtualDevices() = 0;
    // 0 when done, else a non-zero code.
    virtual int32_t AddVirtualDevice(uint32_t flags, uint64_t instance, const std::string& name) = 0;
    virtual int32_t RemoveVirtualDevice(uint32_t flags, uint64_t instance,
                                        const std::string& name) = 0;
    virtual int32_t ResetBus(const std::string& device) = 0;

    // Host address ranges owned by this client; they are freed when the client goes away.
    virtual int32_t AllocateRange(const std::string& device, uint16_t offsetHigh, uint32_t offsetLow,
                                  uint32_t length, uint32_t accessFlags, uint32_t notifyFlags,
                                  uint32_t& handle) = 0;
    virtual int32_t FreeRange(const std::string& device, uint32_t handle) = 0;

    // A request to the bus device "\\.\1394BUS" + busIndex (add or remove a virtual device, as
    // the update utility sends it): 0 done; 6 no such bus device; otherwise the failure code.
    virtual int32_t BusDeviceRequest(uint32_t busIndex, uint32_t controlCode,
                                     const std::vector<uint8_t>& input) = 0;

    // A control command (JSON object with "cmd") for tests and the control tool; the answer is
    // a JSON text. 0 when done, else a non-zero code and the answer holds {"error": text}.
    virtual int32_t Control(const std::string& request, std::string& reply) = 0;

    // Why the bus reached is not the one this program's bus description names: the program was
    // started with LUMAREL_BUS_DESCRIPTION, met a bus service that was already running, and that
    // service hosts another bus (a description is read only when the service starts). Names both;
    // the connection has written it to standard error. Empty when the buses agree, when no
    // description is named, and for a bus hosted in this process.
    virtual std::string DescriptionMismatch() { return {}; }

    // The audio interfaces present now, in bus order. 0 when listed, else a non-zero code.
    virtual int32_t AudioUnits(std::vector<AudioUnitInfo>& units) {
        units.clear();
        return 0;
    }
    // One request to the audio driver of a unit (node id): 0 when the unit's driver took it,
    // with its result in `error` and its reply (at most outSize bytes, at most kMaxAudioBytes)
    // in `output` (29 there when a change it took could not be saved: the change is dropped);
    // 1168 when the unit is not present; another non-zero code when the bus could not carry it.
    virtual int32_t AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                                 uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output) {
        (void)node, (void)code, (void)input, (void)outSize, (void)error, (void)output;
        return 1168;
    }
};

}  // namespace bussvc
