// A node that models one of our audio interfaces, as the bus service sees it.
//
// The service hosts any node kind, but the audio driver's clients (the mixer) and the control
// tool's device and audio commands reach past the bus into the device model. Such a node says
// so by returning itself from Node::AsAudioDevice(); every other node returns null. All of it
// is used with the bus lock held (Bus::WithNode / Bus::Locked), as the node itself.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

// What the audio driver's device information tells about one unit.
struct AudioUnitFacts {
    std::array<uint8_t, 8> guid{};  // most significant byte first
    std::string identifier;         // vendor and model with blanks as underscores
    bool controlOpenable = true;    // the driver's control device can be opened
    std::string softwareDate, softwareTime;      // application image, YYYYMMDD / HHMMSS
    std::string bootloaderDate, bootloaderTime;  // the bootloader that runs
};

class AudioDevice {
public:
    // The audio side is served only while the device runs its application on the bus.
    virtual bool AudioPresent() const = 0;
    virtual AudioUnitFacts AudioFacts() const = 0;
    // One request to the audio driver: its result code, the reply (at most outSize bytes) in out.
    virtual uint32_t AudioRequest(uint32_t code, std::span<const uint8_t> in, uint32_t outSize,
                                  std::vector<uint8_t>& out) = 0;
    // The control tool's "audio" command: applies settings, faults and journal requests and
    // answers the audio side's state. Throws std::exception (changing nothing) when malformed.
    virtual nlohmann::json AudioCommand(const nlohmann::json& command) = 0;
    // The control tool's device commands (power, faults, timing ...). False with a message,
    // changing nothing, when the command is malformed.
    virtual bool DeviceCommand(const nlohmann::json& command, std::string& error) = 0;

protected:
    ~AudioDevice() = default;
};

}  // namespace sim
