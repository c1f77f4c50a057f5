#include "mixer_commands.h"

#include "strip_commands.h"

namespace dorvik {

namespace {

bool IsBaseRate(uint32_t rate) { return rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000; }

// The value a command id sets, or false when the id is not in the table.
template <size_t N>
bool Lookup(const ValueCommand (&table)[N], int id, int32_t& value) {
    for (const ValueCommand& c : table) {
        if (c.id == id) {
            value = c.value;
            return true;
        }
    }
    return false;
}

// After Factory Default the applied block is all 0xFF bytes: no real setting.
bool AppliedClockIsReal(const MixerSettings& applied) {
    return !(uint32_t(applied.sampleRate) == 0xFFFFFFFFu && uint32_t(applied.externalClock) == 0xFFFFFFFFu);
}

// Factory Default: pair 4's balance where it changed, and every channel's mute or changed level.
void SendChangedChannels(Panel& panel) {
    MixerSettings& w = panel.working;
    const MixerSettings& a = panel.applied;
    for (int channel = 0; channel < 14; ++channel) {
        const int pairIndex = channel / 2, side = channel % 2;
        const int feature = channel >= 8 ? 1 : 0;
        ChannelPair& pair = w.pairs[pairIndex];
        uint32_t out = 0;
        if (pairIndex == 4 && pair.pan[side] != a.pairs[pairIndex].pan[side] &&
            panel.SendBalance(1, channel, pair.pan[side], out))
            pair.pan[side] = int8_t(uint8_t(out));  // the reply is the signed balance byte
        if (pair.mute[side]) {
            panel.SendVolume(feature, channel, MuteValue(channel), out);
        } else if (pair.level[side] != a.pairs[pairIndex].level[side] &&
                   panel.SendVolume(feature, channel, VolumeForLevel(pair.level[side]), out)) {
            pair.level[side] = int32_t(out >> 8);
        }
    }
}

}  // namespace

void ApplyClockChange(Panel& panel) {
    MixerSettings& w = panel.working;
    ClockRecord record;
    if (w.externalClock) {
        record = {1, 0};
        w.sampleRate = 0;
    } else {
        record = {0, uint32_t(w.sampleRate)};
    }
    ControlDevice& control = panel.control();
    if (control.WriteClock(record) != 0) {
        // Refused: the device runs as before, so the settings say so too (after Factory
        // Default the applied block holds no clock: then the one last read from the device).
        // Without a device nothing runs on the wrong blocks, and an arrival takes the device's
        // clock anyway: a block that holds no clock leaves the choice as it is.
        if (AppliedClockIsReal(panel.applied)) {
            w.sampleRate = panel.applied.sampleRate;
            w.externalClock = panel.applied.externalClock;
        } else if (panel.Attached()) {
            w.externalClock = int32_t(panel.clock.source);
            w.sampleRate = int32_t(panel.clock.rate);
        }
        return;
    }
    panel.clock = record;
    control.ReadClock(panel.clock);
    if (control.NotifyC4() == 0) control.NotifyC0();

    // The function blocks that carry a channel depend on the rate (as the applied settings
    // hold it): send with the new rate in force, then put the applied one back for the sync.
    const int32_t oldApplied = panel.applied.sampleRate;
    const uint32_t oldRate = uint32_t(oldApplied), newRate = uint32_t(w.sampleRate);
    uint32_t out = 0;
    if (IsBaseRate(newRate) && oldRate > 96000) {
        panel.applied.sampleRate = w.sampleRate;
        for (int fb = 1; fb <= 3; ++fb) panel.SetMasterVolume(fb, 0xFFFFFFFFu, out);
        for (int channel = 0; channel < 14; ++channel) panel.SendChannel(channel);
        panel.applied.sampleRate = oldApplied;
    } else if (IsHighRate(newRate) && oldRate < 176400) {
        panel.applied.sampleRate = w.sampleRate;
        for (int channel = 0; channel < 8; ++channel) panel.SendChannel(channel);
        panel.applied.sampleRate = oldApplied;
    }
}

void ApplyAsioLatency(Panel& panel) {
    LatencyRecord record = panel.asioRecord;
    record.words[0] = uint32_t(panel.working.asioLatency) * 100u;  // microseconds
    panel.control().WriteAsioLatency(record);
    panel.control().ReadAsioLatency(panel.asioRecord);
}

void ApplyWdmLatency(Panel& panel) {
    LatencyRecord record = panel.wdmRecord;
    record.words[0] = uint32_t(panel.working.wdmLatency) * 100u;
    ControlDevice& control = panel.control();
    if (control.WriteWdmLatency(record) != 0) return;
    if (control.NotifyC4() != 0) return;
    if (control.NotifyC0() != 0) return;
    control.ReadWdmLatency(panel.wdmRecord);
}

void OnMixerCommand(Panel& panel, uint32_t wParam) {
    const int id = int(wParam & 0xFFFF);
    if (id == kCmdAbout) {
        panel.ui().ShowAboutBox();
        return;
    }
    MixerSettings& w = panel.working;
    if (id == kCmdFactoryDefault) panel.ResetToFactoryDefaults();

    int32_t value = 0;
    if (Lookup(kAsioCommands, id, value)) w.asioLatency = value;
    if (Lookup(kWdmCommands, id, value)) w.wdmLatency = value;
    if (w.asioLatency != panel.applied.asioLatency) ApplyAsioLatency(panel);
    if (w.wdmLatency != panel.applied.wdmLatency) ApplyWdmLatency(panel);

    if (Lookup(kRateCommands, id, value)) {
        // While rate commands are off, a rate command only leaves the external clock.
        if (w.rateCommandsEnabled) w.sampleRate = value;
        w.externalClock = 0;
    } else if (id == kCmdFlipRateCommands) {
        w.rateCommandsEnabled = w.rateCommandsEnabled ? 0 : 1;
        w.externalClock = 0;
    } else if (id == kCmdInternalClock) {
        w.externalClock = 0;
    } else if (id == kCmdExternalClock) {
        w.externalClock = 1;
    }
    if (w.sampleRate != panel.applied.sampleRate || w.externalClock != panel.applied.externalClock)
        ApplyClockChange(panel);

    if (Lookup(kWheelCommands, id, value)) w.wheelStep = value;
    if (id == kCmdFlipFlag28) w.flag28 = w.flag28 ? 0 : 1;

    if (!OnToggleCommand(panel, id)) {
        if (id == kCmdRecordMode0) w.recordMode = 0;
        if (id == kCmdRecordMode1) w.recordMode = 1;
    }

    if (id == kCmdFactoryDefault) SendChangedChannels(panel);
    panel.SyncSettingsToUi();
}

}  // namespace dorvik
