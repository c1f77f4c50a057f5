#include "core/mixer_settings.h"

#include <cstring>

#include "core/bytes.h"

namespace dorvik {

namespace {
constexpr size_t kWords = kMixerSettingsSize / 4;
}

SettingsBytes ToBytes(const MixerSettings& s) {
    int32_t words[kWords];
    std::memcpy(words, &s, sizeof words);
    SettingsBytes out{};
    for (size_t i = 0; i < kWords; ++i) PutLe32(out.data() + 4 * i, uint32_t(words[i]));
    return out;
}

MixerSettings FromBytes(const SettingsBytes& bytes) {
    int32_t words[kWords];
    for (size_t i = 0; i < kWords; ++i) words[i] = int32_t(GetLe32(bytes.data() + 4 * i));
    MixerSettings s;
    std::memcpy(&s, words, sizeof s);
    return s;
}

MixerSettings AllOnes() {
    SettingsBytes b;
    b.fill(0xFF);
    return FromBytes(b);
}

void SetFactoryDefaults(MixerSettings& s) {
    std::memset(&s, 0, sizeof s);
    s.sampleRate = 44100;
    s.externalClock = 0;
    s.asioLatency = 100;
    s.wdmLatency = 100;
    s.wheelStep = 1;
    s.rateCommandsEnabled = 1;
    s.word32 = 255;
    s.word36 = 255;
    for (int p = 0; p < 10; ++p) {
        // -6 dB; the three pairs past the main outputs start muted; the rest kept at 0 dB.
        const int32_t level = p < 7 ? 249 : 255;
        const int32_t mute = p >= 4 && p <= 6 ? 1 : 0;
        s.pairs[p] = ChannelPair{{level, level}, {mute, mute}, 1, {-127, 127}};
    }
    for (auto& r : s.records) r = MixerRecord{{231, 231, 0, 0, 1, -10, 10, 0}};
}

}  // namespace dorvik
