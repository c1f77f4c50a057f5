// A bootloader target whose answers a test writes itself: it serves info registers, takes every
// request written at the request header and answers what the test's responder returns (or
// nothing). Used where the simulated Lumarel 460 would never misbehave the way a test needs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "bus/config_rom.h"
#include "bus/node.h"

namespace boottest {

struct WireRequest {
    uint32_t version = 0;
    uint16_t sequence = 0;
    uint8_t command = 0;
    uint8_t count = 0;
    std::vector<uint8_t> operands;  // every operand byte written
    uint32_t Op(size_t i) const {
        uint32_t v = 0;
        for (size_t b = 0; b < 4 && i * 4 + b < operands.size(); ++b) v |= uint32_t(operands[i * 4 + b]) << (8 * b);
        return v;
    }
};

struct WireAnswer {
    uint8_t count = 0;
    std::vector<uint8_t> operands;     // written from header byte 8 on
    std::optional<uint16_t> sequence;  // default: the request's
    std::optional<uint8_t> command;    // default: the request's
    static WireAnswer Quadlets(std::vector<uint32_t> values) {
        WireAnswer a;
        a.count = uint8_t(values.size());
        for (uint32_t v : values)
            for (int i = 0; i < 4; ++i) a.operands.push_back(uint8_t(v >> (8 * i)));
        return a;
    }
};

class ScriptedTarget : public sim::Node {
public:
    using Responder = std::function<std::optional<WireAnswer>(const WireRequest&)>;

    explicit ScriptedTarget(uint32_t protocolVersion = 1) : sim::Node("scripted") {
        info_.assign(104, 0);
        const char vendor[] = "vaskonel";
        std::copy(vendor, vendor + 8, info_.begin());
        for (int i = 0; i < 4; ++i) info_[8 + i] = uint8_t(protocolVersion >> (8 * i));
        info_[12] = 5;  // bootloader version
        request_.assign(0x1000, 0);
        response_.assign(0x1000, 0);
        SetConfigRom(sim::MinimalRom(0x0A3C7E));
        MapRegion({0xFFFF, 0xC8020000u, 0x1000, [this](const sim::Access&, std::span<uint8_t> out) {
                       for (size_t i = 0; i < out.size(); ++i) out[i] = i < info_.size() ? info_[i] : 0;
                       return sim::Reply::Ok();
                   },
                   {}});
        MapRegion({0xFFFF, 0xC8021000u, 0x1000, {}, [this](const sim::Access& a, std::span<const uint8_t> data) {
                       const uint32_t within = a.offsetLow - 0xC8021000u;
                       std::copy(data.begin(), data.end(), request_.begin() + within);
                       if (within == 0x40) payloadWrites.push_back(std::vector<uint8_t>(data.begin(), data.end()));
                       if (within == 0) Take(uint32_t(data.size()));
                       return sim::Reply::Ok();
                   }});
        MapRegion({0xFFFF, 0xC8029000u, 0x1000, [this](const sim::Access& a, std::span<uint8_t> out) {
                       ++responseReads;
                       const uint32_t within = a.offsetLow - 0xC8029000u;
                       std::copy(response_.begin() + within, response_.begin() + within + out.size(), out.begin());
                       return sim::Reply::Ok();
                   },
                   {}});
    }

    // Bytes the target returns from its response payload area.
    void SetResponsePayload(const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), response_.begin() + 0x40);
    }

    Responder responder;
    std::vector<WireRequest> requests;
    std::vector<std::vector<uint8_t>> payloadWrites;
    int responseReads = 0;

private:
    void Take(uint32_t written) {
        WireRequest r;
        r.version = uint32_t(request_[0]) | uint32_t(request_[1]) << 8 | uint32_t(request_[2]) << 16 |
                    uint32_t(request_[3]) << 24;
        r.sequence = uint16_t(request_[4] | request_[5] << 8);
        r.command = request_[6];
        r.count = request_[7];
        r.operands.assign(request_.begin() + 8, request_.begin() + std::max<uint32_t>(8, written));
        requests.push_back(r);
        std::fill(response_.begin(), response_.begin() + 0x40, 0);
        if (!responder) return;
        std::optional<WireAnswer> a = responder(r);
        if (!a) return;
        std::copy(request_.begin(), request_.begin() + 4, response_.begin());
        uint16_t seq = a->sequence.value_or(r.sequence);
        response_[4] = uint8_t(seq);
        response_[5] = uint8_t(seq >> 8);
        response_[6] = a->command.value_or(r.command);
        response_[7] = a->count;
        std::copy(a->operands.begin(), a->operands.end(), response_.begin() + 8);
    }

    std::vector<uint8_t> info_;
    std::vector<uint8_t> request_;
    std::vector<uint8_t> response_;
};

}  // namespace boottest
