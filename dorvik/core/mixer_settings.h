// The mixer's settings block: everything the panel keeps from one run to the next, stored whole
// in the registry as 171 little-endian 32-bit words.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dorvik {

// One stereo pair of mixer channels 2p and 2p + 1.
struct ChannelPair {
    int32_t level[2];  // fader position is level mod 128 (79-127); device value level*256 + 255 + 1
    int32_t mute[2];   // 1 muted
    int32_t link;      // 1: both sides move and mute together
    int32_t pan[2];    // balance -127..127 (pair 4 only)
};

struct MixerRecord {
    int32_t words[8];  // word 4 flips on a link toggle in record mode, word 7 on its own command
};

struct MixerSettings {
    int32_t sampleRate;           // Hz; 0 while the external clock is chosen
    int32_t externalClock;        // 1: the device follows an external clock
    int32_t asioLatency;          // tenths of a millisecond
    int32_t wdmLatency;           // tenths of a millisecond
    int32_t wheelStep;            // steps per key press or wheel notch
    int32_t rateCommandsEnabled;  // 0: a rate command only leaves the external clock
    int32_t recordMode;           // link toggles act on the records instead of the pairs
    int32_t flag28;
    int32_t word32;
    int32_t word36;
    ChannelPair pairs[10];  // 0-6 the strips, 7-9 kept only
    int32_t reserved320[28];
    MixerRecord records[5];
    int32_t reserved592[23];
};
inline constexpr size_t kMixerSettingsSize = 684;
static_assert(sizeof(MixerSettings) == kMixerSettingsSize);
static_assert(offsetof(MixerSettings, pairs) == 40);
static_assert(offsetof(MixerSettings, reserved320) == 320);
static_assert(offsetof(MixerSettings, records) == 432);
static_assert(offsetof(MixerSettings, reserved592) == 592);

using SettingsBytes = std::array<uint8_t, kMixerSettingsSize>;

// The stored form (little-endian words) and back.
SettingsBytes ToBytes(const MixerSettings& s);
MixerSettings FromBytes(const SettingsBytes& bytes);
// A block of all 0xFF bytes: every field differs from any real setting.
MixerSettings AllOnes();

// Fills the whole block with the factory settings (every byte not named is 0).
void SetFactoryDefaults(MixerSettings& s);

inline bool IsHighRate(uint32_t rate) { return rate == 176400 || rate == 192000; }

}  // namespace dorvik
