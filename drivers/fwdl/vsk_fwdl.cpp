#include "fwdl/vsk_fwdl.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/host.h"
#include "service/open_bus.h"

namespace {

constexpr const char* kAudioClassText = "{006902CB-E626-45B4-8A62-2EAAD63F8D12}";

struct State {
    std::mutex m;
    std::unique_ptr<bussvc::BusHost> host;
    std::unique_ptr<bussvc::Access> access;
    std::vector<bussvc::AudioUnitInfo> units;
};

State& state() {
    static State* s = new State;  // never destroyed: callers may still ask during exit
    return *s;
}

bool sameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

void putText(uint8_t* record, int at, int size, const std::string& text) {
    size_t n = std::min(text.size(), size_t(size - 1));
    std::memcpy(record + at, text.data(), n);
    record[at + int(n)] = 0;
}

}  // namespace

extern "C" {

int32_t VSKFWDL_EnumerateDevices(const char* guidText, int32_t* count) {
    if (!guidText || !count) return 87;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.units.clear();
    *count = 0;
    if (!sameText(guidText, kAudioClassText)) return 0;  // no unit exposes another class
    if (!s.access) s.access = bussvc::OpenBus(s.host.get(), nullptr);
    if (!s.access) return 2;
    if (s.access->AudioUnits(s.units) != 0) {
        s.units.clear();
        return 2;
    }
    *count = int32_t(s.units.size());
    return 0;
}

int32_t VSKFWDL_GetDeviceInfo(int32_t index, void* record) {
    if (!record) return 87;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (index < 0 || size_t(index) >= s.units.size()) return 259;
    const bussvc::AudioUnitInfo& u = s.units[size_t(index)];
    auto* r = static_cast<uint8_t*>(record);
    using namespace vskfwdl;
    putText(r, kIdentifierAt, kIdentifierSize, u.identifier);
    putText(r, kInterfacePathAt, kInterfacePathSize, u.interfacePath);
    std::memcpy(r + kGuidAt, u.guid.data(), 8);
    putText(r, kSoftwareDateAt, kDateTimeSize, u.softwareDate);
    putText(r, kSoftwareTimeAt, kDateTimeSize, u.softwareTime);
    putText(r, kBootloaderDateAt, kDateTimeSize, u.bootloaderDate);
    putText(r, kBootloaderTimeAt, kDateTimeSize, u.bootloaderTime);
    return 0;
}

int32_t VSKFWDL_HostBus(void* bus) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.access.reset();
    s.host.reset();
    s.units.clear();
    if (bus) s.host = std::make_unique<bussvc::BusHost>(*static_cast<sim::Bus*>(bus));
    return 1;
}

}  // extern "C"
