#include "core/panel.h"

#include <cstddef>
#include <cstring>

#include "core/bytes.h"
#include "registry/values.h"
#include "fwdl/vsk_fwdl.h"

namespace dorvik {

namespace {

// Names the mixer gives the driver's channels, by place in the output and input list.
constexpr const char* kOutputNames[] = {
    "NRX Lumarel 460 Out 1",       "NRX Lumarel 460 Out 2",       "NRX Lumarel 460 Out 3",
    "NRX Lumarel 460 Out 4",       "NRX Lumarel 460 Out 5",       "NRX Lumarel 460 Out 6",
    "NRX Lumarel 460 Out 7",       "NRX Lumarel 460 Out 8",       "NRX Lumarel 460 SPDIF left",
    "NRX Lumarel 460 SPDIF right", "NRX Lumarel 460 MIDI Out 1",  "NRX Lumarel 460 MIDI Out 2"};
constexpr const char* kInputNames[] = {
    "NRX Lumarel 460 In 1",        "NRX Lumarel 460 In 2",        "NRX Lumarel 460 In 3",
    "NRX Lumarel 460 In 4",        "NRX Lumarel 460 SPDIF left",  "NRX Lumarel 460 SPDIF right",
    "NRX Lumarel 460 MIDI In 1",   "NRX Lumarel 460 MIDI In 2",   "NRX Lumarel 460 SPDIF left",
    "NRX Lumarel 460 SPDIF right", "NRX Lumarel 460 MIDI Out 1",  "NRX Lumarel 460 MIDI Out 2"};
constexpr size_t kNamedChannels = 12;

// Firmware older than these dates needs an update (dates compare as texts; equal is too old).
constexpr const char* kMinBootloaderDate = "20040607";
constexpr const char* kMinSoftwareDate = "20040622";

std::string presentTitle() { return std::string(kProductName) + " " + kProgramVersion; }

}  // namespace

Panel::Panel(MixerUi& ui) : ui_(ui) {}

Panel::~Panel() {
    control_.Close();
    CloseInterfaceList(interfaceList_);
    interfaceList_ = 0;
    driverApi_.Close();
}

// ---------------------------------------------------------------------------------- attachment

void Panel::NameDriverChannel(bool isInput, size_t index) {
    std::vector<ChannelRecord>& list = isInput ? control_.inputs : control_.outputs;
    if (index < list.size() && index < kNamedChannels)
        list[index].SetName(isInput ? kInputNames[index] : kOutputNames[index]);
    control_.WriteChannels(list);
}

void Panel::firmwareCheck(std::string& title) {
    int32_t count = 0;
    // The list cannot be read: the device is there, so say so without a note.
    if (VSKFWDL_EnumerateDevices(kInterfaceClassText, &count) != 0) {
        title = presentTitle();
        return;
    }
    for (int32_t i = 0; i < count; ++i) {
        deviceInfo.fill(0);
        VSKFWDL_GetDeviceInfo(i, deviceInfo.data());
        if (InfoText(deviceInfo, 0, deviceInfo.size()) != kDeviceIdentifier) continue;
        const bool recent = InfoText(deviceInfo, kInfoBootloaderDateAt) > kMinBootloaderDate &&
                            InfoText(deviceInfo, kInfoSoftwareDateAt) > kMinSoftwareDate;
        title = recent ? presentTitle() : presentTitle() + " Note - you need to update the firmware!";
        return;
    }
    // No record names the device: it is attached all the same, so the title says it is present
    // (rather than keep whatever it said before, "Disable" included).
    title = presentTitle();
}

void Panel::AttachDevice() {
    control_.Close();
    if (interfaceList_) {
        CloseInterfaceList(interfaceList_);
        interfaceList_ = 0;
        driverApi_.Close();
    }
    interfaceList_ = OpenInterfaceList(kInterfaceClass);
    if (interfaceList_) {
        if (driverApi_.Open(0, interfaceList_, &kInterfaceClass) != 0) {
            CloseInterfaceList(interfaceList_);
            interfaceList_ = 0;
        } else {
            control_.Open();
        }
    }
    std::string title = title_;
    if (control_.IsOpen()) {
        control_.ReadRecord2004(record2004);
        control_.ReadRecord2100(record2100);
        control_.ReadAsioLatency(asioRecord);
        control_.ReadWdmLatency(wdmRecord);
        control_.QueryInfo();
        control_.ReadStreams();
        control_.QueryInfo();
        control_.ReadChannels(control_.inputs, 1);
        control_.ReadChannels(control_.outputs, 2);
        for (const StreamEntry& e : control_.streams()) control_.ReadStreamInfo(GetLe32(e.data()));
        // Each naming sends the whole list back: n records cost n*n writes.
        outputsNamed = control_.outputs.size();
        for (size_t i = 0; i < outputsNamed; ++i) NameDriverChannel(false, i);
        inputsNamed = control_.inputs.size();
        for (size_t i = 0; i < inputsNamed; ++i) NameDriverChannel(true, i);
        control_.ReadRecord2208();
        control_.ReadClock(clock);
        firmwareCheck(title);
    } else {
        record2100 = {500, 500, 500, 500};
        asioRecord = {};
        wdmRecord = {};
        deviceInfo.fill(0);
        clock = {};
        title = std::string(kProductName) + " Disable";
    }
    title_ = title;
    ui_.SetTitle(title_);
}

std::set<std::string> Panel::presentInterfaces() {
    std::set<std::string> paths;
    audiodrv::Handle set = OpenInterfaceList(watchedClass_);
    if (!set) return paths;
    std::string path;
    for (uint32_t i = 0; i < 64 && audiodrv::EnumDeviceInterface(set, watchedClass_, i, path); ++i) paths.insert(path);
    CloseInterfaceList(set);
    return paths;
}

bool Panel::RegisterDeviceArrival(const audiodrv::Guid& guid) {
    watchedClass_ = guid;
    watching_ = true;
    seen_ = presentInterfaces();
    return true;
}

bool Panel::CheckDeviceChange() {
    if (!watching_) return false;
    std::set<std::string> now = presentInterfaces();
    if (now == seen_) return false;
    bool removed = false, arrived = false;
    for (const auto& p : seen_) removed |= now.count(p) == 0;
    for (const auto& p : now) arrived |= seen_.count(p) == 0;
    seen_ = now;
    // A unit that went and one that came between two looks are a removal and an arrival.
    if (removed) OnDeviceChange(kDeviceRemoveComplete);
    if (arrived) OnDeviceChange(kDeviceArrival);
    return true;
}

int Panel::OnDeviceChange(uint32_t event) {
    if (event == kDeviceArrival) {
        AttachDevice();
        ReadBackDeviceState();
        ui_.EnablePanKnobs(!IsHighRate(uint32_t(working.sampleRate)));
        ui_.ShowMixerStrips(true);
        SyncSettingsToUi();
        ReadMixerFromDevice();
    } else if (event == kDeviceRemoveComplete) {
        AttachDevice();
        ui_.EnablePanKnobs(false);
        ui_.ShowMixerStrips(false);
        SyncSettingsToUi();
    }
    return 0;
}

int Panel::SendLevel(int channel, int32_t level) {
    uint32_t out = 0;
    if (!SendVolume(FeatureOf(channel), channel, VolumeForLevel(level), out)) return 0;
    working.pairs[channel / 2].level[channel % 2] = LevelFromReply(out);
    return 1;
}

void Panel::SendChannel(int channel, ChannelParts parts) {
    const int pairIndex = channel / 2, side = channel % 2;
    ChannelPair& pair = working.pairs[pairIndex];
    const ChannelPair& before = applied.pairs[pairIndex];
    const bool all = parts != ChannelParts::Changed;
    uint32_t out = 0;
    if (parts != ChannelParts::Volume && pairIndex == 4 && (all || pair.pan[side] != before.pan[side]) &&
        SendBalance(1, channel, pair.pan[side], out))
        pair.pan[side] = int8_t(uint8_t(out));  // the reply is the signed balance byte
    if (pair.mute[side])
        SendVolume(FeatureOf(channel), channel, MuteValue(channel), out);
    else if (all || pair.level[side] != before.level[side])
        SendLevel(channel, pair.level[side]);
}

void Panel::ReadBackDeviceState() {
    working.externalClock = int32_t(clock.source);
    working.sampleRate = int32_t(clock.rate);
    working.asioLatency = int32_t(asioRecord.words[0] / 100);
    working.wdmLatency = int32_t(wdmRecord.words[0] / 100);
    if (working.sampleRate != applied.sampleRate) ui_.UpdateRateMenu();
    if (working.asioLatency != applied.asioLatency) ui_.UpdateAsioMenu();
    if (working.wdmLatency != applied.wdmLatency) ui_.UpdateWdmMenu();
    applied.sampleRate = working.sampleRate;
    applied.externalClock = working.externalClock;
    applied.asioLatency = working.asioLatency;
    applied.wdmLatency = working.wdmLatency;
    const uint32_t rate = uint32_t(working.sampleRate);
    uint32_t out = 0;
    if (rate == 44100 || rate == 48000 || rate == 88200 || rate == 96000) {
        for (int fb = 1; fb <= 3; ++fb) SetMasterVolume(fb, 0xFFFFFFFFu, out);
        for (int channel = 0; channel < 14; ++channel) SendChannel(channel);
    } else if (IsHighRate(rate)) {
        for (int channel = 0; channel < 8; ++channel) SendChannel(channel);
    }
}

void Panel::ReadMixerFromDevice() {
    if (!control_.IsOpen()) {
        ui_.EnablePanKnobs(false);
        ui_.ShowMixerStrips(false);
        return;
    }
    const bool high = IsHighRate(uint32_t(applied.sampleRate));
    uint32_t out = 0;
    if (high) {
        ui_.EnablePanKnobs(false);
    } else {
        for (int fb = 1; fb <= 3; ++fb) SetMasterVolume(fb, 0xFFFFFFFFu, out);
        ui_.EnablePanKnobs(true);
    }
    ui_.ShowMixerStrips(true);
    // At 176.4 and 192 kHz block 1 carries channels 0-7 (and no block the other pairs): reading
    // channels 8-13 would take pair 0's levels for pair 4's.
    const int channels = high ? 8 : 14;
    for (int channel = 0; channel < channels; ++channel) {
        ChannelPair& pair = working.pairs[channel / 2];
        const int side = channel % 2;
        const int pairIndex = channel / 2;
        if (ReadVolume(FeatureOf(channel), channel, out)) {
            if (out == MuteValue(channel)) {
                pair.mute[side] = 1;
            } else {
                pair.mute[side] = 0;
                pair.level[side] = LevelFromReply(out);
            }
        }
        // A balance the device does not answer keeps the stored pan: it is copied to the applied
        // settings below and saved, so taking anything else would lose the user's pan.
        if (pairIndex == 4 && ReadBalance(1, channel, out)) pair.pan[side] = int32_t(int8_t(uint8_t(out)));
    }
    control_.ReadClock(clock);
    ui_.UpdateMixerStrips();
    // The values just read are the device's: they need not be sent again.
    std::memcpy(&applied.pairs, &working.pairs, offsetof(MixerSettings, records) - offsetof(MixerSettings, pairs));
}

// ------------------------------------------------------------------------------------ settings

int Panel::ReadRegistryValue(const std::string& name, uint8_t* buffer, const uint8_t* def, uint32_t size) {
    uint32_t type = 0, length = size;
    std::vector<uint8_t> read(size);
    int32_t r = settingsLocked_ ? registry::kRegBusy
                                : registry::QueryValue(registry::Hive::LocalMachine, kRegistryKey, name, type,
                                                       read.data(), length);
    if (r == registry::kRegOk && type == registry::kRegBinary) {
        std::memcpy(buffer, read.data(), length);
        return 1;
    }
    if (r == registry::kRegBusy && !settingsLocked_) {
        settingsLocked_ = true;
        settingsHolder_ = registry::BusyKeyHolder();
    }
    // Nothing read: the buffer takes the default, which callers often give as the buffer itself.
    if (def && def != buffer) std::memmove(buffer, def, size);
    return 0;
}

int32_t Panel::WriteRegistryValue(const std::string& name, const void* data, uint32_t size) {
    return registry::SetValue(registry::Hive::LocalMachine, kRegistryKey, name, registry::kRegBinary, data, size);
}

void Panel::SaveSettings() {
    if (settingsLocked_) return;
    int32_t x = 0, y = 0;
    ui_.WindowPosition(x, y);
    uint8_t b[4];
    PutLe32(b, uint32_t(x));
    WriteRegistryValue("WinX", b, 4);
    PutLe32(b, uint32_t(y));
    WriteRegistryValue("WinY", b, 4);
    SettingsBytes bytes = ToBytes(applied);
    WriteRegistryValue("MixerSetting", bytes.data(), uint32_t(bytes.size()));
}

void Panel::ResetToFactoryDefaults() {
    applied = AllOnes();
    SetFactoryDefaults(working);
}

bool Panel::LoadSettingsAndCreateStrips() {
    applied = AllOnes();
    SetFactoryDefaults(working);
    ui_.CreateMixerStrips();
    SettingsBytes bytes = ToBytes(working);
    ReadRegistryValue("MixerSetting", bytes.data(), bytes.data(), uint32_t(bytes.size()));
    // Settings that could not be read are not stood in for by the factory settings: those would
    // go to the unit and, saved, replace what is stored.
    if (settingsLocked_) return false;
    working = FromBytes(bytes);
    if (control_.IsOpen()) {
        ReadBackDeviceState();
        SyncSettingsToUi();
    } else {
        // No unit: the stored settings still reach the menus, texts, strips and the wheel step
        // of the controls (the strips stay hidden until a unit comes).
        SyncSettingsToUi();
        ui_.EnablePanKnobs(false);
        ui_.ShowMixerStrips(false);
    }
    return true;
}

void Panel::SyncSettingsToUi() {
    ui_.UpdateMixerStrips();
    if (working.wheelStep != applied.wheelStep) ui_.UpdateWheelMenu();
    if (working.asioLatency != applied.asioLatency) ui_.UpdateAsioMenu();
    if (working.wdmLatency != applied.wdmLatency) ui_.UpdateWdmMenu();
    if (working.externalClock != applied.externalClock) ui_.UpdateClockMenu();
    if (working.sampleRate != applied.sampleRate) ui_.UpdateRateMenu();
    applied = working;
}

}  // namespace dorvik
