// The Lumarel 460's audio side as its audio driver presents it to programs on the host.
//
// While the device runs its application, the driver offers two ways in: a control device with
// the driver's own requests (clock source and sample rate, ASIO and WDM latency, the stream and
// channel lists with their names) and the 1394 driver's AV/C command request, which carries
// FUNCTION BLOCK commands to the device's audio subunit. This model answers both. It keeps its
// own definitions of the records (it shares no header with the programs), so a misreading on
// either side shows as a failing test.
//
// The AV/C unit: feature function blocks 1 to 4, audio channels 0 to 8 in each, a 16-bit volume
// (1/256 dB, signed) and an 8-bit left/right balance per channel. CONTROL commands store the
// value and are answered ACCEPTED with the frame echoed; STATUS commands are answered
// IMPLEMENTED/STABLE with the current value. At 176.4 and 192 kHz only block 1 runs: commands
// to blocks 2 to 4 are answered REJECTED. Unknown selectors are NOT IMPLEMENTED; malformed frames
// are REJECTED.
//
// Every request is appended to a journal (code and input bytes) that tests read through the bus
// service's control commands. Results are the platform's error numbers: 0 done, 1 unknown request,
// 87 bad input, 122 reply buffer too small, 1168 no such stream or channel, 31 failure injected.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim::lumarel {

namespace audio {
// Control requests of the audio driver.
inline constexpr uint32_t kRead2004 = 0x80882004;
inline constexpr uint32_t kQueryInfo = 0x80882020;
inline constexpr uint32_t kReadClock = 0x80882030;
inline constexpr uint32_t kWriteClock = 0x80882034;
inline constexpr uint32_t kStreamIds = 0x80882040;
inline constexpr uint32_t kStreamEntry = 0x80882044;
inline constexpr uint32_t kChannelIds = 0x80882050;
inline constexpr uint32_t kChannelRead = 0x80882054;
inline constexpr uint32_t kChannelWrite = 0x80882058;
inline constexpr uint32_t kStreamInfo = 0x80882090;
inline constexpr uint32_t kNotifyC0 = 0x808820C0;
inline constexpr uint32_t kNotifyC4 = 0x808820C4;
inline constexpr uint32_t kRead2100 = 0x80882100;
inline constexpr uint32_t kReadAsio = 0x80882108;
inline constexpr uint32_t kWriteAsio = 0x8088210C;
inline constexpr uint32_t kReadWdm = 0x80882110;
inline constexpr uint32_t kWriteWdm = 0x80882114;
inline constexpr uint32_t kRead2208 = 0x80882208;
// The 1394 driver's AV/C command request: 520 bytes in (time-out, frame length, frame), 516 out
// (response length, response frame).
inline constexpr uint32_t kAvcCommand = 0x80883004;

// AV/C response codes.
inline constexpr uint8_t kNotImplemented = 0x08;
inline constexpr uint8_t kAccepted = 0x09;
inline constexpr uint8_t kRejected = 0x0A;
inline constexpr uint8_t kImplementedStable = 0x0C;

inline constexpr uint32_t kErrInvalidFunction = 1;
inline constexpr uint32_t kErrGenFailure = 31;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrInsufficientBuffer = 122;
inline constexpr uint32_t kErrNotFound = 1168;

inline constexpr int kBlocks = 4;         // feature function blocks 1-4
inline constexpr int kBlockChannels = 9;  // audio channels 0 (master) to 8
inline constexpr size_t kChannelRecordSize = 92;
inline constexpr size_t kChannelNameAt = 52;
inline constexpr size_t kStreamEntrySize = 88;
}  // namespace audio

// Switches that make the audio side misbehave on purpose.
struct AudioFaults {
    uint32_t refuseRate = 0;         // a clock write with this rate fails (31)
    uint32_t failChannelId = 0;      // reading this channel record fails (1168); 0: none
    uint32_t shortReplyCode = 0;     // this request returns 4 bytes fewer than asked; 0: none
    bool rejectAvc = false;          // every AV/C command is answered REJECTED
    bool controlUnopenable = false;  // the control device cannot be opened
    uint32_t idCount = 0;            // id lists claim this many ids (beyond their room); 0: true count
    uint32_t refuseLatency = 0;      // an ASIO or WDM latency write of this many microseconds fails (31)
    bool saveEveryWrite = false;     // every write counts as a change worth saving, as if nothing
                                     // were compared (to measure what the comparison saves)
};

class AudioUnit {
public:
    struct JournalEntry {
        uint32_t code = 0;
        std::vector<uint8_t> input;
    };
    struct ChannelRecord {
        uint32_t id = 0;
        std::array<uint8_t, audio::kChannelRecordSize> bytes{};
    };

    AudioUnit();

    // One request. `out` receives the bytes returned (at most outSize). Returns 0 or an error.
    uint32_t Request(uint32_t code, std::span<const uint8_t> in, uint32_t outSize, std::vector<uint8_t>& out);

    AudioFaults& faults() { return faults_; }
    const AudioFaults& faults() const { return faults_; }
    const std::vector<JournalEntry>& journal() const { return journal_; }
    void ClearJournal() { journal_.clear(); }
    uint32_t rate() const { return rate_; }
    uint32_t clockSource() const { return clockSource_; }
    int16_t volume(int block, int channel) const { return volume_[idx(block, channel)]; }
    int8_t balance(int block, int channel) const { return balance_[idx(block, channel)]; }
    const std::vector<ChannelRecord>& inputs() const { return inputs_; }
    const std::vector<ChannelRecord>& outputs() const { return outputs_; }
    void SetChannelCounts(int inputs, int outputs);

    // The state as the control tool shows it (without the journal).
    nlohmann::json Describe() const;
    // The journal as JSON: [{"code": "0x80882004", "input": "hex"}, ...].
    nlohmann::json JournalJson() const;
    // Applies a control command: {"audio_faults": {...}, "clear_journal": true, "channels":
    // {"inputs": n, "outputs": n}, "clock": {"source": s, "rate": r}}. Throws
    // std::invalid_argument (changing nothing) for a bad command.
    void Apply(const nlohmann::json& command);

    // Settings worth keeping over a restart of the service: clock and latencies. Levels and
    // balances are volatile, as in the unit itself, whose host sends them at every arrival (and
    // a fader drag then costs no disk write per step).
    nlohmann::json Save() const;
    // Restores what Save wrote; anything it cannot read keeps the defaults.
    void Load(const nlohmann::json& j);
    // Grows whenever state worth saving changed: a write that leaves the clock and latencies as
    // they were, or that names a channel (names are the driver's, given again at every
    // attachment), changes nothing to save.
    uint64_t Serial() const { return serial_; }

private:
    static size_t idx(int block, int channel) { return size_t((block - 1) * audio::kBlockChannels + channel); }
    uint32_t avc(std::span<const uint8_t> in, uint32_t outSize, std::vector<uint8_t>& out);
    bool blockRuns(int block) const;

    uint32_t clockSource_ = 0;
    uint32_t rate_ = 48000;
    std::array<uint32_t, 4> asio_{1000, 0, 0, 0};
    std::array<uint32_t, 4> wdm_{1000, 0, 0, 0};
    std::vector<uint32_t> streams_{1, 2};
    std::vector<ChannelRecord> inputs_, outputs_;
    std::array<int16_t, audio::kBlocks * audio::kBlockChannels> volume_{};
    std::array<int8_t, audio::kBlocks * audio::kBlockChannels> balance_{};
    AudioFaults faults_;
    std::vector<JournalEntry> journal_;
    uint64_t serial_ = 1;
};

}  // namespace sim::lumarel
