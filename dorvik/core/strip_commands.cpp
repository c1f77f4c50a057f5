#include "core/strip_commands.h"

namespace dorvik {

namespace {

// Pairs 0-6 have strips; indexes beyond them come from no control and are ignored.
constexpr int kStripPairs = 7;
constexpr int kRecords = 5;

void Flip(int32_t& word) { word = word ? 0 : 1; }

}  // namespace

void OnFaderScroll(Panel& panel, int id, int32_t position) {
    if (ControlKind(id) != kKindFader) return;
    const int channel = ControlIndex(id);
    const int pairIndex = channel / 2, side = channel % 2;
    if (pairIndex >= kStripPairs) return;
    const int32_t level = position + 128;
    const ChannelPair& applied = panel.applied.pairs[pairIndex];
    ChannelPair& working = panel.working.pairs[pairIndex];
    // Sends one side's volume; the level the device took is kept, a failed send keeps the old one.
    auto send = [&](int s) { panel.SendLevel(2 * pairIndex + s, level); };

    if (applied.link == 1) {
        const bool leftMuted = applied.mute[0] != 0, rightMuted = applied.mute[1] != 0;
        if (leftMuted && rightMuted) {
            working.level[0] = working.level[1] = level;
        } else if (leftMuted) {
            working.level[0] = level;
            send(1);
        } else if (rightMuted) {
            working.level[1] = level;
            send(0);
        } else {
            send(0);
            send(1);
        }
    } else if (applied.mute[side] != 0) {
        working.level[side] = level;  // kept for the unmute, not sent
    } else {
        send(side);
    }
    panel.SyncSettingsToUi();
}

void OnKnobScroll(Panel& panel, int id, int32_t position) {
    if (ControlKind(id) != kKindKnob) return;
    const int index = ControlIndex(id);
    const int pairIndex = index / 2, side = index % 2;
    if (pairIndex >= kStripPairs) return;
    const int32_t pan = int16_t(uint16_t(position));
    panel.working.pairs[pairIndex].pan[side] = pan;
    if (pan != panel.applied.pairs[pairIndex].pan[side]) {
        uint32_t out = 0;
        panel.SendBalance(1, index, pan, out);
    }
    panel.SyncSettingsToUi();
}

bool OnToggleCommand(Panel& panel, int id) {
    const int index = ControlIndex(id);
    switch (ControlKind(id)) {
    case kKindLink:
        if (panel.working.recordMode == 0) {
            if (index < kStripPairs) Flip(panel.working.pairs[index].link);
        } else if (index < kRecords) {
            Flip(panel.working.records[index].words[4]);
        }
        return true;
    case kKindRecordWord:
        if (index < kRecords) Flip(panel.working.records[index].words[7]);
        return true;
    case kKindMute: {
        const int pairIndex = index / 2, side = index % 2;
        if (pairIndex >= kStripPairs) return true;
        ChannelPair& pair = panel.working.pairs[pairIndex];
        // Muting sends the mute value; unmuting sends the side's level as every fader move does.
        // The toggle shows what was asked, whatever the device answers: its reply is not taken
        // as the level.
        auto send = [&](int s) {
            const int32_t asked = pair.level[s];
            panel.SendChannel(2 * pairIndex + s, ChannelParts::Volume);
            pair.level[s] = asked;
        };
        if (pair.link == 1) {
            const int32_t state = pair.mute[side] ? 0 : 1;
            pair.mute[0] = pair.mute[1] = state;
            send(0);
            send(1);
        } else {
            Flip(pair.mute[side]);
            send(side);
        }
        return true;
    }
    default:
        return false;
    }
}

}  // namespace dorvik
