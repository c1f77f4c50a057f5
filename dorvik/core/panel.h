// The mixer panel's core: the driver handles, the AV/C volume and balance commands, device
// attachment and removal, channel names, the device information and the title, and the
// settings with their working and applied copies and their registry values.
//
// The windows (tray, strips, menus) sit above it and reach it through this class; the core
// reaches them only through MixerUi, which they implement. Everything runs on the window thread.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "core/driver_control.h"
#include "core/mixer_settings.h"

namespace dorvik {

inline constexpr const char* kProductName = "Lumarel 460";
inline constexpr const char* kProgramVersion = "v1.15";
inline constexpr const char* kDeviceIdentifier = "Halvorin_Inc&LUMA_Rel";
inline constexpr const char* kRegistryKey = "Software\\NRX\\Lumarel460";

// Device change events.
inline constexpr uint32_t kDeviceArrival = 0x8000;
inline constexpr uint32_t kDeviceRemoveComplete = 0x8004;

// AV/C.
inline constexpr uint8_t kCtypeControl = 0x00;
inline constexpr uint8_t kCtypeStatus = 0x01;
inline constexpr uint8_t kSelectorVolume = 2;
inline constexpr uint8_t kSelectorBalance = 3;
inline constexpr uint8_t kResponseAccepted = 0x09;
inline constexpr uint8_t kResponseStable = 0x0C;
inline constexpr size_t kAvcRequestSize = 520;
inline constexpr size_t kAvcReplySize = 516;
using AvcRequest = std::array<uint8_t, kAvcRequestSize>;
using AvcReply = std::array<uint8_t, kAvcReplySize>;

// Mute values as the panel passes them (the device receives value + 1: -64 dB and -127 dB).
inline constexpr uint32_t kMuteMain = 0xBFFF;   // channels 0-7
inline constexpr uint32_t kMuteOther = 0x80FF;  // channels 8-13
inline uint32_t MuteValue(int channel) { return channel < 8 ? kMuteMain : kMuteOther; }
// The volume value for a channel level: level*256 + 255 (computed in 32 bits).
inline uint32_t VolumeForLevel(int32_t level) { return uint32_t(level) * 256u + 255u; }
// A volume reply as a level: the reply is level*256 + 255, so the level is what stands above
// its low byte (a 0 dB reply, 0xFFFFFFFF, gives 16777215, which sends 0 dB again).
inline int32_t LevelFromReply(uint32_t out) { return int32_t(out >> 8); }
// The feature a mixer channel's volume goes to: 0 for the main channels 0-7 (pairs 0-3), 1 for
// channels 8-13 (pairs 4-6, carried by function blocks 1-3).
inline int FeatureOf(int channel) { return channel >= 8 ? 1 : 0; }

// What SendChannel sends of a channel.
enum class ChannelParts {
    All,      // pair 4's balance, then the mute value or the level
    Changed,  // the same, but balance and level only where they differ from the applied settings
    Volume,   // the mute value or the level only
};

// A FUNCTION BLOCK command to a feature function block of the audio subunit.
AvcRequest BuildAvcRequest(uint8_t ctype, uint8_t functionBlock, uint8_t audioChannel, uint8_t selector,
                           uint8_t data1, uint8_t data2);
// The two data bytes of a reply, when it is a full answer with the response code the command
// type calls for (ACCEPTED for CONTROL, IMPLEMENTED/STABLE for STATUS).
bool AvcReplyData(uint8_t ctype, const uint8_t* reply, size_t returned, uint8_t& data1, uint8_t& data2);

// The function block and audio channel that carry a mixer channel (0-13). False for a pair of
// channel and feature that no block carries.
bool MapChannel(int feature, int channel, bool volume, uint32_t appliedRate, uint8_t& functionBlock,
                uint8_t& audioChannel);

// The device-information record of the firmware-information library (468 bytes).
using DeviceInfoRecord = std::array<uint8_t, 468>;
inline constexpr size_t kInfoGuidAt = 356;
inline constexpr size_t kInfoSoftwareDateAt = 372, kInfoSoftwareTimeAt = 384;
inline constexpr size_t kInfoBootloaderDateAt = 412, kInfoBootloaderTimeAt = 424;
inline constexpr size_t kInfoTextRoom = 12;
// A NUL-terminated text field of the record, bounded by its room.
std::string InfoText(const DeviceInfoRecord& record, size_t at, size_t room = kInfoTextRoom);
// "YYYY/MM/DD  HH:MM:SS" from "YYYYMMDD" and "HHMMSS"; each part empty when its text is; a text
// shorter than its form gives what it has.
std::string FormatDateTime(const std::string& date, const std::string& time);
// "0x" and the record's eight GUID bytes in hex.
std::string GuidText(const DeviceInfoRecord& record);

// What the core asks of the windows. Every call has a do-nothing default.
class MixerUi {
public:
    virtual ~MixerUi() = default;
    virtual void SetTitle(const std::string& title) { (void)title; }
    virtual void CreateMixerStrips() {}
    // Pushes each strip's levels, texts, mutes, links and pans where working and applied differ.
    virtual void UpdateMixerStrips() {}
    // Shows or hides strips 4-6 (the pairs no block carries at 176.4 and 192 kHz) and the pan knobs.
    virtual void EnablePanKnobs(bool enable) { (void)enable; }
    virtual void ShowMixerStrips(bool shown) { (void)shown; }
    virtual void UpdateRateMenu() {}
    virtual void UpdateAsioMenu() {}
    virtual void UpdateWdmMenu() {}
    virtual void UpdateClockMenu() {}
    virtual void UpdateWheelMenu() {}
    // Opens the About box modally (the About command).
    virtual void ShowAboutBox() {}
    // The main window's left and top edge on the screen.
    virtual void WindowPosition(int32_t& x, int32_t& y) { x = y = 0; }
};

class Panel {
public:
    explicit Panel(MixerUi& ui);
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // --- AV/C operations: 1 when the command was carried and answered, else 0 (out untouched).
    int SendVolume(int feature, int channel, uint32_t v, uint32_t& out);
    int SetMasterVolume(int functionBlock, uint32_t v, uint32_t& out);
    int ReadVolume(int feature, int channel, uint32_t& out);
    int SendBalance(int feature, int channel, int32_t balance, uint32_t& out);
    int ReadBalance(int feature, int channel, uint32_t& out);

    // --- attachment
    void AttachDevice();
    void NameDriverChannel(bool isInput, size_t index);
    // Remembers the class whose interfaces CheckDeviceChange watches; true.
    bool RegisterDeviceArrival(const audiodrv::Guid& guid);
    // Compares the present interfaces with those seen last and reports an arrival or a removal
    // to OnDeviceChange (the notifier the window's timer runs). True when it reported one.
    bool CheckDeviceChange();
    int OnDeviceChange(uint32_t event);
    void ReadMixerFromDevice();
    // Takes clock and latencies from the device into the settings and sends the stored levels.
    void ReadBackDeviceState();
    // Sends one channel (0-13) as the working settings say and keeps what the device answered:
    // pair 4's balance (the reply kept as the working pan), then the mute value, or the level
    // (through SendLevel). A send that fails leaves the working value as it was.
    void SendChannel(int channel, ChannelParts parts = ChannelParts::All);
    // Sends `level` as the channel's volume; when the device took it, the level it answered
    // becomes the working level of that side. 1 when sent.
    int SendLevel(int channel, int32_t level);

    // --- settings
    void ResetToFactoryDefaults();
    // Creates the strips and takes the stored settings to the unit and the windows. False (and
    // nothing taken or sent) when the stored settings could not be read: SettingsLocked.
    bool LoadSettingsAndCreateStrips();
    void SyncSettingsToUi();
    // Writes the applied settings and the window position; nothing while SettingsLocked (the
    // settings were never read, and the factory settings would replace the stored ones).
    void SaveSettings();
    // Registry values under HKEY_LOCAL_MACHINE\Software\NRX\Lumarel460 (REG_BINARY). Read: 1
    // when read (a value shorter than size fills only its length); else 0, and `def` is copied
    // into the buffer unless it is the buffer itself.
    int ReadRegistryValue(const std::string& name, uint8_t* buffer, const uint8_t* def, uint32_t size);
    int32_t WriteRegistryValue(const std::string& name, const void* data, uint32_t size);
    // Another process kept the key's lock while a value was read (registry::kLockWaitMs): the
    // stored settings are unknown. Later reads then give their defaults without waiting again.
    bool SettingsLocked() const { return settingsLocked_; }
    // Who held it then ("process 4242 (name)").
    const std::string& SettingsHolder() const { return settingsHolder_; }

    // --- state
    MixerSettings working{};
    MixerSettings applied{};
    ClockRecord clock;
    LatencyRecord asioRecord, wdmRecord;
    Record2100 record2100{};
    Record2004 record2004{};
    DeviceInfoRecord deviceInfo{};
    size_t outputsNamed = 0, inputsNamed = 0;
    const std::string& title() const { return title_; }
    bool Attached() const { return control_.IsOpen(); }
    ControlDevice& control() { return control_; }
    DriverApiDevice& driverApi() { return driverApi_; }
    MixerUi& ui() { return ui_; }

private:
    int avc(uint8_t ctype, uint8_t functionBlock, uint8_t audioChannel, uint8_t selector, uint8_t d1, uint8_t d2,
            uint8_t& r1, uint8_t& r2);
    void firmwareCheck(std::string& title);
    std::set<std::string> presentInterfaces();

    MixerUi& ui_;
    DriverApiDevice driverApi_;
    ControlDevice control_;
    audiodrv::Handle interfaceList_ = 0;
    std::string title_;
    bool settingsLocked_ = false;
    std::string settingsHolder_;
    bool watching_ = false;
    audiodrv::Guid watchedClass_{};
    std::set<std::string> seen_;
};

}  // namespace dorvik
