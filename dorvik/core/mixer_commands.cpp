#include "core/mixer_commands.h"

#include "core/strip_commands.h"

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

// A latency the driver refused returns to the one it has: the applied one, or, after Factory
// Default (the applied block all 0xFF bytes, no real setting), the one last read from the driver.
void TakeBackLatency(int32_t& working, int32_t applied, const LatencyRecord& record) {
    working = applied != -1 ? applied : int32_t(record.words[0] / 100);
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
    // Without a unit nothing is sent: the choice stands (the menus and texts follow it), and the
    // next arrival takes the unit's own clock back.
    if (!panel.Attached()) return;
    ControlDevice& control = panel.control();
    if (control.WriteClock(record) != 0) {
        // Refused: the device runs as before, so the settings say so too (after Factory
        // Default the applied block holds no clock: then the one last read from the device).
        // No level is sent: the channel mapping follows the rate and would send them to the
        // wrong function blocks.
        if (AppliedClockIsReal(panel.applied)) {
            w.sampleRate = panel.applied.sampleRate;
            w.externalClock = panel.applied.externalClock;
        } else {
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

// Without a unit a latency choice stands (the menus and texts follow it) and the next arrival
// reads the driver's latencies back; with one, a latency the driver refuses is taken back, so
// that the menu marks the latency the driver has.
void ApplyAsioLatency(Panel& panel) {
    if (!panel.Attached()) return;
    LatencyRecord record = panel.asioRecord;
    record.words[0] = uint32_t(panel.working.asioLatency) * 100u;  // microseconds
    ControlDevice& control = panel.control();
    const bool refused = control.WriteAsioLatency(record) != 0;
    control.ReadAsioLatency(panel.asioRecord);
    if (refused) TakeBackLatency(panel.working.asioLatency, panel.applied.asioLatency, panel.asioRecord);
}

void ApplyWdmLatency(Panel& panel) {
    if (!panel.Attached()) return;
    LatencyRecord record = panel.wdmRecord;
    record.words[0] = uint32_t(panel.working.wdmLatency) * 100u;
    ControlDevice& control = panel.control();
    if (control.WriteWdmLatency(record) != 0) {
        TakeBackLatency(panel.working.wdmLatency, panel.applied.wdmLatency, panel.wdmRecord);
        return;
    }
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

    // Factory Default: pair 4's balance where it changed, and every channel's mute or changed level.
    if (id == kCmdFactoryDefault)
        for (int channel = 0; channel < 14; ++channel) panel.SendChannel(channel, ChannelParts::Changed);
    panel.SyncSettingsToUi();
}

}  // namespace dorvik
