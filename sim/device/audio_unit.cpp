#include "device/audio_unit.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "bus/json_codec.h"
#include "bus/wire.h"

namespace sim::lumarel {

using namespace audio;
using nlohmann::json;

namespace {

// The journal keeps the latest requests; a long session drops the oldest ones in a batch.
constexpr size_t kJournalMax = 8192;
constexpr size_t kJournalKeep = 4096;
constexpr size_t kAvcIn = 520;
constexpr size_t kAvcOut = 516;
constexpr size_t kAvcFrameMax = 512;
constexpr int kMaxChannels = 300;

std::string hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

bool isRate(uint32_t r) {
    for (uint32_t ok : {32000u, 44100u, 48000u, 88200u, 96000u, 176400u, 192000u})
        if (r == ok) return true;
    return false;
}

uint32_t fieldU32(const json& j, const char* name) {
    if (!j.contains(name)) throw std::invalid_argument(std::string("missing \"") + name + "\"");
    const json& v = JsonField(j, name);
    if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<int64_t>() >= 0))
        throw std::invalid_argument(std::string("\"") + name + "\" must be a whole number of 0 or more");
    uint64_t x = v.get<uint64_t>();
    if (x > 0xFFFFFFFFu) throw std::invalid_argument(std::string("\"") + name + "\" is too large");
    return uint32_t(x);
}

AudioUnit::ChannelRecord makeChannel(uint32_t id, const std::string& name) {
    AudioUnit::ChannelRecord r;
    r.id = id;
    wire::PutLe32(r.bytes.data(), id);
    wire::PutLe32(r.bytes.data() + 4, 24);  // sample width the driver reports
    std::copy_n(name.begin(), std::min(name.size(), size_t(39)), r.bytes.begin() + kChannelNameAt);
    return r;
}

}  // namespace

AudioUnit::AudioUnit() { SetChannelCounts(8, 12); }

void AudioUnit::SetChannelCounts(int inputs, int outputs) {
    inputs_.clear();
    outputs_.clear();
    for (int i = 0; i < inputs; ++i) inputs_.push_back(makeChannel(0x100 + uint32_t(i), "Lumarel Input " + std::to_string(i + 1)));
    for (int i = 0; i < outputs; ++i) outputs_.push_back(makeChannel(0x200 + uint32_t(i), "Lumarel Output " + std::to_string(i + 1)));
    ++serial_;
}

bool AudioUnit::blockRuns(int block) const { return !(rate_ == 176400 || rate_ == 192000) || block == 1; }

uint32_t AudioUnit::Request(uint32_t code, std::span<const uint8_t> in, uint32_t outSize, std::vector<uint8_t>& out) {
    if (journal_.size() >= kJournalMax) journal_.erase(journal_.begin(), journal_.end() - kJournalKeep);
    journal_.push_back({code, std::vector<uint8_t>(in.begin(), in.end())});
    out.clear();
    auto reply = [&](std::span<const uint8_t> bytes) -> uint32_t {
        if (outSize < bytes.size()) return kErrInsufficientBuffer;
        size_t n = bytes.size();
        if (faults_.shortReplyCode == code && n >= 4) n -= 4;
        out.assign(bytes.begin(), bytes.begin() + long(n));
        return 0;
    };
    auto needIn = [&](size_t n) { return in.size() >= n; };
    switch (code) {
    case kRead2004: {
        std::array<uint8_t, 8> r{};
        wire::PutLe32(r.data(), 0x0460);
        wire::PutLe32(r.data() + 4, 1);
        return reply(r);
    }
    case kQueryInfo: {
        std::array<uint8_t, 8> r{};
        wire::PutLe32(r.data(), 0x00010015);  // driver version
        wire::PutLe32(r.data() + 4, uint32_t(streams_.size()));
        return reply(r);
    }
    case kReadClock: {
        std::array<uint8_t, 8> r{};
        wire::PutLe32(r.data(), clockSource_);
        wire::PutLe32(r.data() + 4, rate_);
        return reply(r);
    }
    case kWriteClock: {
        if (!needIn(8)) return kErrInvalidParameter;
        uint32_t source = wire::Le32(in.data()), rate = wire::Le32(in.data() + 4);
        if (source > 1) return kErrInvalidParameter;
        if (source == 0 || rate != 0) {
            if (!isRate(rate)) return kErrInvalidParameter;
            if (faults_.refuseRate && rate == faults_.refuseRate) return kErrGenFailure;
        } else {
            rate = rate_;  // the external clock keeps the rate it had
        }
        if (source != clockSource_ || rate != rate_ || faults_.saveEveryWrite) ++serial_;
        rate_ = rate;
        clockSource_ = source;
        return 0;
    }
    case kStreamIds: {
        std::array<uint8_t, 260> r{};
        size_t n = std::min(streams_.size(), size_t(64));
        wire::PutLe32(r.data(), faults_.idCount ? faults_.idCount : uint32_t(n));
        for (size_t i = 0; i < n; ++i) wire::PutLe32(r.data() + 4 + 4 * i, streams_[i]);
        return reply(r);
    }
    case kStreamEntry: {
        if (!needIn(4)) return kErrInvalidParameter;
        uint32_t id = wire::Le32(in.data());
        if (std::find(streams_.begin(), streams_.end(), id) == streams_.end()) return kErrNotFound;
        std::array<uint8_t, kStreamEntrySize> r{};
        wire::PutLe32(r.data(), id);
        wire::PutLe32(r.data() + 4, id == 1 ? 0 : 1);  // direction: 0 playback, 1 recording
        wire::PutLe32(r.data() + 8, id == 1 ? uint32_t(outputs_.size()) : uint32_t(inputs_.size()));
        return reply(r);
    }
    case kStreamInfo: {
        if (!needIn(4)) return kErrInvalidParameter;
        uint32_t id = wire::Le32(in.data());
        if (std::find(streams_.begin(), streams_.end(), id) == streams_.end()) return kErrNotFound;
        std::array<uint8_t, 84> r{};
        wire::PutLe32(r.data(), id);
        wire::PutLe32(r.data() + 4, rate_);
        return reply(r);
    }
    case kChannelIds: {
        std::array<uint8_t, 2056> r{};
        auto fill = [&](size_t at, const std::vector<ChannelRecord>& list) {
            size_t n = std::min(list.size(), size_t(256));
            wire::PutLe32(r.data() + at, faults_.idCount ? faults_.idCount : uint32_t(n));
            for (size_t i = 0; i < n; ++i) wire::PutLe32(r.data() + at + 4 + 4 * i, list[i].id);
        };
        fill(0, inputs_);
        fill(1028, outputs_);
        return reply(r);
    }
    case kChannelRead:
    case kChannelWrite: {
        size_t need = code == kChannelRead ? 4 : kChannelRecordSize;
        if (!needIn(need)) return kErrInvalidParameter;
        uint32_t id = wire::Le32(in.data());
        ChannelRecord* rec = nullptr;
        for (auto* list : {&inputs_, &outputs_})
            for (auto& c : *list)
                if (c.id == id) rec = &c;
        if (!rec || (code == kChannelRead && id == faults_.failChannelId)) return kErrNotFound;
        if (code == kChannelRead) return reply(rec->bytes);
        // The driver takes the name (NUL-terminated within its field) and keeps the rest.
        std::fill(rec->bytes.begin() + kChannelNameAt, rec->bytes.end(), 0);
        for (size_t i = kChannelNameAt; i < kChannelRecordSize - 1 && in[i]; ++i) rec->bytes[i] = in[i];
        if (faults_.saveEveryWrite) ++serial_;
        return 0;
    }
    case kNotifyC0:
    case kNotifyC4:
        return 0;
    case kRead2100: {
        std::array<uint8_t, 16> r{};
        for (int i = 0; i < 4; ++i) wire::PutLe32(r.data() + 4 * i, 256);
        return reply(r);
    }
    case kReadAsio:
    case kReadWdm: {
        std::array<uint8_t, 16> r{};
        const auto& l = code == kReadAsio ? asio_ : wdm_;
        for (int i = 0; i < 4; ++i) wire::PutLe32(r.data() + 4 * i, l[size_t(i)]);
        return reply(r);
    }
    case kWriteAsio:
    case kWriteWdm: {
        if (!needIn(16)) return kErrInvalidParameter;
        auto& l = code == kWriteAsio ? asio_ : wdm_;
        uint32_t us = wire::Le32(in.data());
        if (us == 0 || us > 100000) return kErrInvalidParameter;
        if (faults_.refuseLatency && us == faults_.refuseLatency) return kErrGenFailure;
        std::array<uint32_t, 4> taken{};
        for (int i = 0; i < 4; ++i) taken[size_t(i)] = wire::Le32(in.data() + 4 * i);
        if (taken != l || faults_.saveEveryWrite) ++serial_;
        l = taken;
        return 0;
    }
    case kRead2208: {
        std::array<uint8_t, 60> r{};
        wire::PutLe32(r.data(), 0x2208);
        return reply(r);
    }
    case kAvcCommand: {
        uint32_t r = avc(in, outSize, out);
        if (faults_.shortReplyCode == code && out.size() >= 4) out.resize(out.size() - 4);
        return r;
    }
    default:
        return kErrInvalidFunction;
    }
}

uint32_t AudioUnit::avc(std::span<const uint8_t> in, uint32_t outSize, std::vector<uint8_t>& out) {
    if (in.size() < kAvcIn) return kErrInvalidParameter;
    if (outSize < kAvcOut) return kErrInsufficientBuffer;
    uint32_t length = wire::Le32(in.data() + 4);
    if (length < 3 || length > kAvcFrameMax) return kErrInvalidParameter;
    const uint8_t* f = in.data() + 8;
    // The response frame echoes the command with the response code in place of the ctype.
    std::vector<uint8_t> resp(f, f + length);
    uint8_t ctype = f[0];
    auto answer = [&](uint8_t code) {
        resp[0] = code;
        out.assign(4 + resp.size(), 0);
        wire::PutLe32(out.data(), uint32_t(resp.size()));
        std::copy(resp.begin(), resp.end(), out.begin() + 4);
        return 0u;
    };
    if (faults_.rejectAvc) return answer(kRejected);
    if (ctype > 1 || f[1] != 0x08 || f[2] != 0xB8) return answer(kNotImplemented);
    // FUNCTION BLOCK: type, id, attribute, selector length, channel, selector, data length, data.
    if (length < 12 || f[3] != 0x81 || f[5] != 0x10 || f[6] != 2 || f[9] != 2) return answer(kRejected);
    int block = f[4], channel = f[7];
    uint8_t selector = f[8];
    if (selector != 2 && selector != 3) return answer(kNotImplemented);
    if (block < 1 || block > kBlocks || channel >= kBlockChannels || !blockRuns(block)) return answer(kRejected);
    size_t i = idx(block, channel);
    if (ctype == 0) {
        if (selector == 2)
            volume_[i] = int16_t(uint16_t(f[10] << 8 | f[11]));
        else
            balance_[i] = int8_t(f[10]);
    }
    if (selector == 2) {
        resp[10] = uint8_t(uint16_t(volume_[i]) >> 8);
        resp[11] = uint8_t(uint16_t(volume_[i]));
    } else {
        resp[10] = uint8_t(balance_[i]);
        resp[11] = 0;
    }
    return answer(ctype == 0 ? kAccepted : kImplementedStable);
}

json AudioUnit::Describe() const {
    json j;
    j["clock"] = {{"source", clockSource_}, {"rate", rate_}};
    j["asio_latency_us"] = asio_[0];
    j["wdm_latency_us"] = wdm_[0];
    json blocks = json::array();
    for (int b = 1; b <= kBlocks; ++b) {
        json vol = json::array(), bal = json::array();
        for (int c = 0; c < kBlockChannels; ++c) {
            vol.push_back(volume(b, c));
            bal.push_back(balance(b, c));
        }
        blocks.push_back({{"block", b}, {"running", blockRuns(b)}, {"volume", vol}, {"balance", bal}});
    }
    j["function_blocks"] = blocks;
    auto names = [](const std::vector<ChannelRecord>& list) {
        json a = json::array();
        for (const auto& c : list) {
            const char* p = reinterpret_cast<const char*>(c.bytes.data() + kChannelNameAt);
            a.push_back({{"id", c.id}, {"name", std::string(p, strnlen(p, kChannelRecordSize - kChannelNameAt))}});
        }
        return a;
    };
    j["inputs"] = names(inputs_);
    j["outputs"] = names(outputs_);
    j["streams"] = streams_;
    j["journal_length"] = journal_.size();
    return j;
}

json AudioUnit::JournalJson() const {
    json a = json::array();
    for (const auto& e : journal_) a.push_back({{"code", hex32(e.code)}, {"input", wire::Hex(e.input)}});
    return a;
}

void AudioUnit::Apply(const json& command) {
    AudioFaults f = faults_;
    int inputs = -1, outputs = -1;
    uint32_t source = clockSource_, rate = rate_;
    if (command.contains("audio_faults")) {
        const json& a = JsonField(command, "audio_faults");
        if (!a.is_object()) throw std::invalid_argument("\"audio_faults\" must be an object");
        for (auto& [key, v] : a.items()) {
            if (key == "refuse_rate") f.refuseRate = fieldU32(a, "refuse_rate");
            else if (key == "fail_channel") f.failChannelId = fieldU32(a, "fail_channel");
            else if (key == "short_reply") f.shortReplyCode = fieldU32(a, "short_reply");
            else if (key == "id_count") f.idCount = fieldU32(a, "id_count");
            else if (key == "refuse_latency") f.refuseLatency = fieldU32(a, "refuse_latency");
            else if (key == "reject_avc" || key == "control_unopenable" || key == "save_every_write") {
                if (!v.is_boolean()) throw std::invalid_argument("\"" + key + "\" must be true or false");
                (key == "reject_avc" ? f.rejectAvc : key == "control_unopenable" ? f.controlUnopenable : f.saveEveryWrite) =
                    v.get<bool>();
            } else {
                throw std::invalid_argument("unknown audio fault \"" + key + "\"");
            }
        }
    }
    if (command.contains("channels")) {
        const json& c = JsonField(command, "channels");
        if (!c.is_object()) throw std::invalid_argument("\"channels\" must be an object");
        inputs = int(std::min<uint32_t>(fieldU32(c, "inputs"), kMaxChannels + 1));
        outputs = int(std::min<uint32_t>(fieldU32(c, "outputs"), kMaxChannels + 1));
        if (inputs > kMaxChannels || outputs > kMaxChannels)
            throw std::invalid_argument("at most 300 channels a list");
    }
    if (command.contains("clock")) {
        const json& c = JsonField(command, "clock");
        if (!c.is_object()) throw std::invalid_argument("\"clock\" must be an object");
        source = fieldU32(c, "source");
        rate = fieldU32(c, "rate");
        if (source > 1 || !isRate(rate)) throw std::invalid_argument("\"clock\" needs source 0 or 1 and a sample rate");
    }
    faults_ = f;
    if (inputs >= 0) SetChannelCounts(inputs, outputs);
    if (source != clockSource_ || rate != rate_) ++serial_;
    clockSource_ = source;
    rate_ = rate;
    if (command.contains("clear_journal") && JsonField(command, "clear_journal") == true) journal_.clear();
}

json AudioUnit::Save() const {
    json j;
    j["clock"] = {{"source", clockSource_}, {"rate", rate_}};
    j["asio"] = asio_;
    j["wdm"] = wdm_;
    return j;
}

void AudioUnit::Load(const json& j) {
    if (!j.is_object()) return;
    try {
        if (j.contains("clock")) {
            uint32_t s = fieldU32(JsonField(j, "clock"), "source"), r = fieldU32(JsonField(j, "clock"), "rate");
            if (s <= 1 && isRate(r)) clockSource_ = s, rate_ = r;
        }
        for (const char* key : {"asio", "wdm"}) {
            if (!j.contains(key) || !JsonField(j, key).is_array() || JsonField(j, key).size() != 4) continue;
            auto& l = std::string(key) == "asio" ? asio_ : wdm_;
            for (size_t i = 0; i < 4; ++i)
                if (JsonField(j, key)[i].is_number_unsigned()) l[i] = uint32_t(JsonField(j, key)[i].get<uint64_t>());
        }
    } catch (const std::exception&) {
        // a damaged entry keeps its default
    }
}

}  // namespace sim::lumarel
