// What the channel strips' controls do to the settings and the device: a fader move, a pan
// knob turn and the link, mute and record-word toggles. No window here: the strip set hands
// the control id and its position, and the main window dispatches toggles from its commands.
#pragma once

#include <cstdint>

#include "core/panel.h"

namespace dorvik {

// A control's id is (kind << 8) | index; the main window dispatches on the kind.
inline constexpr int kKindLevelField = 0x10;  // index: channel (2 * pair + side)
inline constexpr int kKindFader = 0x11;       // index: channel
inline constexpr int kKindClockField = 0x1B;  // index 0
inline constexpr int kKindLink = 0x24;        // index: pair
inline constexpr int kKindMute = 0x25;        // index: channel
inline constexpr int kKindKnob = 0x26;        // index: channel (pair 4 only: 8 and 9)
inline constexpr int kKindRecordWord = 0x27;  // index: record
inline constexpr int kKindValueField = 0x42;  // WDM and ASIO value fields and their labels, all 0x4200
constexpr int ControlId(int kind, int index) { return (kind << 8) | index; }
constexpr int ControlKind(int id) { return (id >> 8) & 0xFF; }
constexpr int ControlIndex(int id) { return id & 0xFF; }

// A fader of `id` now stands at `position` (79-127): the working levels follow and the volume
// is sent as the pair's link and mutes say. Ends with SyncSettingsToUi. Ids of another kind do
// nothing.
void OnFaderScroll(Panel& panel, int id, int32_t position);
// A pan knob of `id` now stands at `position` (-127..127). Ends with SyncSettingsToUi.
void OnKnobScroll(Panel& panel, int id, int32_t position);
// The link (0x24xx), mute (0x25xx) and record-word (0x27xx) toggle commands; false for an id of
// another kind (nothing done).
bool OnToggleCommand(Panel& panel, int id);

}  // namespace dorvik
