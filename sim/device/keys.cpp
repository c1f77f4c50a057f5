// Key reads and writes (commands 18 and 19) of the Lumarel 460.
//
// A key moves in several exchanges. Each request carries the name length (with its terminating
// zero), the name offset and, from the name offset on, the rest of the name; the name offset
// grows by the announced name quadlets every exchange, so a key with a short name sends its
// whole name in the first exchange and none afterwards. A read also carries the data offset the
// host has reached and gets up to 512 bytes per exchange in the response payload. A write
// carries the total data length and the data offset the device has accepted; whenever fewer
// than 37 name bytes remain, a 128-byte chunk with each quadlet byte-reversed lies in the request
// payload.
//
// Hosts take their transaction lock for one exchange at a time, so exchanges of different keys
// (another program's, another host's) may come in between. The device therefore keeps every
// key exchange in progress apart and finds the right one for each request.
#include <algorithm>
#include <iterator>

#include "device/lumarel460.h"
#include "bus/wire.h"

namespace sim::lumarel {

Lumarel460::KeyExchange* Lumarel460::KeyExchangeFor(std::vector<KeyExchange>& open, const Request& req,
                                                    const KeyRequest& kr,
                                                    const std::function<bool(const KeyExchange&)>& fits) {
    const bool reading = &open == &readKeys_;
    const uint32_t length = kr.nameLength, offset = kr.nameOffset;
    if (length < 2 || length > kMaxKeyNameBytes || kr.step == 0) return nullptr;
    // The rest of the name, while some remains, must lie in what the request wrote.
    const uint8_t* rest = nullptr;
    if (offset < length) {
        const uint32_t n = length - offset;
        if (uint64_t(kr.nameAt) + n > req.written || kr.nameAt + n > kAreaSize) return nullptr;
        rest = request_.data() + kr.nameAt;
    }
    const auto sameName = [](const KeyExchange& a, const KeyExchange& b) { return a.name == b.name; };

    const uint16_t sequence = wire::Le16(req.sequence.data());
    KeyExchange* ex = nullptr;
    if (offset == 0) {
        // One terminating zero, at the end.
        if (std::find(rest, rest + length, uint8_t(0)) != rest + length - 1) return nullptr;
        KeyExchange fresh;
        fresh.name.assign(rest, rest + length);
        fresh.nameLength = length;
        // A write of a key starts over: its unfinished write gives way. Reads of one key are
        // alike, so several may run.
        if (!reading) std::erase_if(open, [&](const KeyExchange& e) { return sameName(e, fresh); });
        if (open.size() >= kMaxOpenKeyExchanges) {
            open.erase(std::min_element(open.begin(), open.end(), [](const KeyExchange& a, const KeyExchange& b) {
                return a.lastUse < b.lastUse;
            }));
        }
        open.push_back(std::move(fresh));
        ex = &open.back();
    } else {
        std::vector<KeyExchange*> candidates;
        for (KeyExchange& e : open) {
            if (e.nameLength != length || e.nextOffset != offset) continue;
            if (rest && !std::equal(rest, rest + (length - offset), e.name.begin() + offset)) continue;
            if (!fits || fits(e)) candidates.push_back(&e);
        }
        // Several keys fit: a host's next request carries the sequence number after its last
        // one (1 again after 32766), which tells the keys of different hosts apart.
        if (candidates.size() > 1) {
            std::vector<KeyExchange*> following;
            std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(following),
                         [&](const KeyExchange* e) {
                             const uint16_t last = e->lastSequence;
                             return sequence == uint16_t(last + 1) || (last >= 32766 && sequence == 1);
                         });
            if (!following.empty()) candidates = std::move(following);
        }
        if (candidates.empty()) return nullptr;
        // Still more than one: taking either write might give one key the other's data, so
        // the exchange is refused. Reads of one key are all the same; the latest is taken.
        for (KeyExchange* e : candidates) {
            if (e != candidates.front() && !(reading && sameName(*e, *candidates.front()))) return nullptr;
            if (!ex || e->lastUse > ex->lastUse) ex = e;
        }
    }
    ex->nextOffset = offset + kr.step;
    ex->lastSequence = sequence;
    ex->lastUse = ++keyUses_;
    return ex;
}

void Lumarel460::CloseKeyExchange(std::vector<KeyExchange>& open, const KeyExchange* ex) {
    open.erase(open.begin() + (ex - open.data()));
}

Lumarel460::Answer Lumarel460::DoReadKey(const Request& req) {
    const uint8_t* op = req.operands;
    const KeyRequest kr{wire::Le32(op), wire::Le32(op + 4), kHeaderSize + 12, 4u * (req.count - 3u)};
    const uint32_t dataOffset = wire::Le32(op + 8);
    Answer a;
    KeyExchange* ex = KeyExchangeFor(readKeys_, req, kr, nullptr);
    if (!ex) return a.Le(uint32_t(kKeyBadRequest)).Le(0).Le(0).Le(dataOffset);
    const auto it = keys_.find(std::string(ex->name.begin(), ex->name.end() - 1));
    if (it == keys_.end()) {
        CloseKeyExchange(readKeys_, ex);
        return a.Le(uint32_t(kKeyUnknown)).Le(0).Le(0).Le(dataOffset);
    }
    const std::vector<uint8_t>& value = it->second;
    const uint32_t size = uint32_t(value.size());
    const uint32_t chunk = dataOffset < size ? std::min(size - dataOffset, kReadKeyChunk) : 0;
    if (chunk > 0) {
        std::copy_n(value.begin() + dataOffset, chunk, response_.begin() + kPayloadOffset);
        if (RingProtocol()) ringHidden_ = true;
    }
    // The host stops once its name offset has passed the name and it has every byte.
    if (ex->nextOffset >= ex->nameLength && dataOffset + chunk >= size) CloseKeyExchange(readKeys_, ex);
    return a.Le(uint32_t(kKeyOk)).Le(size).Le(chunk).Le(dataOffset);
}

Lumarel460::Answer Lumarel460::DoWriteKey(const Request& req) {
    const uint8_t* op = req.operands;
    const KeyRequest kr{wire::Le32(op), wire::Le32(op + 4), kHeaderSize + 16, 4u * (req.count - 4u)};
    const uint32_t total = wire::Le32(op + 8);
    const uint32_t dataOffset = wire::Le32(op + 12);
    Answer a;
    const auto refuse = [&](int32_t status) { return a.Le(uint32_t(status)).Le(0).Le(0); };
    if (total > kMaxKeyDataBytes || (kr.nameOffset == 0 && dataOffset != 0)) return refuse(kKeyBadRequest);
    KeyExchange* ex = KeyExchangeFor(writeKeys_, req, kr, [&](const KeyExchange& e) {
        return e.total == total && e.data.size() == dataOffset;
    });
    if (!ex) return refuse(kKeyBadRequest);
    if (kr.nameOffset == 0) ex->total = total;
    // A data chunk comes with every exchange in which fewer than 37 name bytes remain.
    if (int64_t(kr.nameLength) - int64_t(kr.nameOffset) < int64_t(kWriteKeyNameThreshold)) {
        const uint32_t take = std::min(kWriteKeyChunk, total - dataOffset);
        uint8_t chunk[kWriteKeyChunk];
        std::copy_n(request_.begin() + kPayloadOffset, kWriteKeyChunk, chunk);
        wire::SwapQuadlets(chunk, kWriteKeyChunk);
        ex->data.insert(ex->data.end(), chunk, chunk + take);
    }
    const uint32_t accepted = uint32_t(ex->data.size());
    if (accepted == total) {
        const std::string name(ex->name.begin(), ex->name.end() - 1);
        if (!keys_.count(name) && keys_.size() >= kMaxKeys) {
            CloseKeyExchange(writeKeys_, ex);
            return refuse(kKeyStoreFull);
        }
        std::vector<uint8_t>& stored = keys_[name];
        if (stored != ex->data) {
            stored = ex->data;
            Changed();
        }
        if (ex->nextOffset >= ex->nameLength) CloseKeyExchange(writeKeys_, ex);
    }
    return a.Le(uint32_t(kKeyOk)).Le(total).Le(accepted);
}

}  // namespace sim::lumarel
