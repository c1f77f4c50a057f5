// The Lumarel 460 and the 1394 debugger as nodes of the simulated bus.
//
// Lumarel460Node maps the device's protocol region and the debugger probe into its address
// space, rebuilds its config ROM from the device's identity at every bus reset, runs the
// device's timed work on the platform clock under the bus lock, and turns the device's restarts
// into leaving and joining the bus (each a bus reset). Its state goes to the node's state folder
// through the bus's save and load hooks.
//
// DebuggerNode is the stand-alone 1394 debugger: a minimal config ROM and the probe areas.
#pragma once

#include <memory>

#include "bus/audio_device.h"
#include "bus/node.h"
#include "device/audio_unit.h"
#include "device/debug_probe.h"
#include "device/lumarel460.h"

namespace sim::lumarel {

inline constexpr const char* kLumarelKind = "lumarel460";
inline constexpr const char* kDebuggerKind = "debugger1394";

class Lumarel460Node : public sim::Node, public sim::AudioDevice {
public:
    explicit Lumarel460Node(DeviceConfig config = {});
    ~Lumarel460Node() override;

    // The device model. Use it only with the bus lock held (Bus::WithNode / Bus::Locked), or
    // before the node is added to a bus.
    Lumarel460& device() { return device_; }
    const Lumarel460& device() const { return device_; }

    void OnBusReset(uint32_t generation, int phyId) override;
    nlohmann::json Describe() const override;
    void SaveState(const std::filesystem::path& dir) const override;
    // A state the device cannot read is moved aside to "<dir>.unreadable" (numbered when that
    // exists), so nothing is lost; the device keeps its defaults and Describe names the cause.
    void LoadState(const std::filesystem::path& dir) override;
    std::string StateError() const override { return stateError_; }
    uint64_t StateSerial() const override;
    void MarkStateSaved() override;
    void RevertUnsavedState() override;
    sim::AudioDevice* AsAudioDevice() override { return this; }

    // The audio side, served by the device's audio driver only while the application runs and
    // the node is on the bus. Use it with the bus lock held, as the device.
    bool AudioPresent() const override;
    AudioUnit& audio() { return audio_; }
    const AudioUnit& audio() const { return audio_; }
    sim::AudioUnitFacts AudioFacts() const override;
    // One request to the audio driver (see AudioUnit::Request); reports a change of state.
    uint32_t AudioRequest(uint32_t code, std::span<const uint8_t> in, uint32_t outSize,
                          std::vector<uint8_t>& out) override;
    // The journal is read before the command may clear it.
    nlohmann::json AudioCommand(const nlohmann::json& command) override;
    // See ApplyDeviceCommand.
    bool DeviceCommand(const nlohmann::json& command, std::string& error) override;
    // The text the audio driver's device information names the unit by: vendor and model with
    // blanks as underscores ("Halvorin_Inc&LUMA_Rel").
    std::string AudioIdentifier() const;

private:
    class Env;
    struct Anchor;

    Lumarel460 device_;
    AudioUnit audio_;
    std::string stateError_;  // why the state folder could not be loaded
    mutable nlohmann::json savedAudio_;  // the audio side's settings as last saved or marked
    std::shared_ptr<Anchor> anchor_;
    std::unique_ptr<Env> env_;
};

class DebuggerNode : public sim::Node {
public:
    DebuggerNode();

private:
    DebugProbe probe_;
};

}  // namespace sim::lumarel
