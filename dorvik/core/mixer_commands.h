// The main window's commands on the settings and the device: sample rate and clock source,
// ASIO and WDM latencies, wheel step, factory settings, and the strips' toggles. No window
// here: the menus carry these ids, and the windows show the result through MixerUi.
#pragma once

#include <cstdint>

#include "core/panel.h"

namespace dorvik {

// Command ids of the main window's menu.
inline constexpr int kCmdAbout = 104;
inline constexpr int kCmdExit = 105;
inline constexpr int kCmdCloseWindow = 32803;
inline constexpr int kCmdAlwaysOnTop = 32777;
inline constexpr int kCmdFactoryDefault = 32776;
inline constexpr int kCmdWheel1 = 32772, kCmdWheel2 = 32778, kCmdWheel4 = 32773, kCmdWheel8 = 32774;
inline constexpr int kCmdWheel16 = 32775;  // no menu item carries it
inline constexpr int kCmdAsio2 = 32784, kCmdAsio4 = 32785, kCmdAsio8 = 32786, kCmdAsio10 = 32801,
                     kCmdAsio12 = 32789, kCmdAsio16 = 32790;
inline constexpr int kCmdWdm2 = 32795, kCmdWdm4 = 32796, kCmdWdm8 = 32797, kCmdWdm10 = 32800,
                     kCmdWdm12 = 32798, kCmdWdm16 = 32799;
// Commands no menu item carries.
inline constexpr int kCmdFlipRateCommands = 7168;
inline constexpr int kCmdInternalClock = 7424, kCmdExternalClock = 7425;
inline constexpr int kCmdFlipFlag28 = 0x1300;
inline constexpr int kCmdRecordMode0 = 0x4000, kCmdRecordMode1 = 0x4100;

// A command id with the value it sets.
struct ValueCommand {
    int id;
    int32_t value;
};
inline constexpr ValueCommand kWheelCommands[] = {
    {kCmdWheel1, 1}, {kCmdWheel2, 2}, {kCmdWheel4, 4}, {kCmdWheel8, 8}, {kCmdWheel16, 16}};
inline constexpr ValueCommand kAsioCommands[] = {{kCmdAsio2, 20},   {kCmdAsio4, 40},   {kCmdAsio8, 80},
                                                 {kCmdAsio10, 100}, {kCmdAsio12, 120}, {kCmdAsio16, 160}};
inline constexpr ValueCommand kWdmCommands[] = {{kCmdWdm2, 20},   {kCmdWdm4, 40},   {kCmdWdm8, 80},
                                                {kCmdWdm10, 100}, {kCmdWdm12, 120}, {kCmdWdm16, 160}};
// Sample rates; 6912 (32000) has no menu item.
inline constexpr ValueCommand kRateCommands[] = {{6912, 32000}, {6913, 44100},  {6914, 48000},  {6915, 88200},
                                                 {6916, 96000}, {6917, 176400}, {6918, 192000}};

// Every command of the main window but Exit, Always on Top and Close Window (the window's own):
// the low word of wParam is the id. The settings change, the device gets what it needs, and the
// windows follow (SyncSettingsToUi); About opens the About box.
void OnMixerCommand(Panel& panel, uint32_t wParam);

// Brings the working clock (rate and source) to the device. Leaving 176.4/192 kHz re-sends every
// channel, entering it re-sends channels 0-7 (other function blocks carry them there). A clock
// the driver refuses is taken back: the working rate and source return to the applied ones
// (the device's, after Factory Default) and no level is sent, since the channel mapping follows
// the rate and would send them to the wrong function blocks. Without a unit the choice stands
// and nothing is sent; the next arrival reads the unit's clock back.
void ApplyClockChange(Panel& panel);
// Brings the working ASIO or WDM latency (tenths of a millisecond) to the driver's record and
// reads it back; the WDM latency also makes the driver restart its streams (C4, then C0). A
// latency the driver refuses is taken back as a refused clock is; without a unit the choice
// stands.
void ApplyAsioLatency(Panel& panel);
void ApplyWdmLatency(Panel& panel);

}  // namespace dorvik
