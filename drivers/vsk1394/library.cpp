// The 1394 access library. Every export checks its arguments, forwards to the bus (hosted in this
// process or reached through the bus service) and answers with the codes its callers rely on.
// No exception leaves an export.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/bus.h"
#include "bus/description.h"
#include "bus/json_codec.h"
#include "clock/clock.h"
#include "vsk1394/hosting.h"
#include "service/open_bus.h"
#include "service/host.h"
#include "user/user.h"
#include "vsk1394/vsk1394api.h"

// The library hands the bus's result codes on as they are.
static_assert(kResultSuccess == sim::kResultSuccess && kResultNoResponse == sim::kResultNoResponse &&
              kResultBadParameter == sim::kResultInvalidParameter && kResultBusReset == sim::kResultResetOccurred &&
              kResultShutdown == sim::kResultShutdown && kResultAddressError == sim::kResultResponseError &&
              kResultTimeout == sim::kResultTimedOut && kResultUnknown == sim::kResultUnknownError &&
              kDefaultTimeoutMs == int32_t(sim::kDefaultTimeoutMs));

namespace {

constexpr uint32_t kTopologyCsr = 0xF0001000u;
constexpr int32_t kTopologyLevel = 6;
constexpr int32_t kErrorInsufficientBuffer = 122;
constexpr int32_t kErrorNotFound = 1168;

// Debug text levels (SetDebugSpew): 1 bus events and virtual devices, 2 failed transactions,
// 3 every transaction.
constexpr int kSpewEvents = 1, kSpewFailures = 2, kSpewAll = 3;

std::string boundedText(const char* p, size_t max) { return p ? std::string(p, strnlen(p, max)) : std::string(); }

std::string hex(uint32_t v, int width = 0) {
    char b[16];
    if (width)
        std::snprintf(b, sizeof b, "%0*X", width, v);
    else
        std::snprintf(b, sizeof b, "%X", v);
    return b;
}

class Library {
public:
    // The window table is made first, so that it is destroyed after this object at exit: the
    // notice thread, joined by the destructor, may be posting a notice until then.
    Library() { user::IsWindow(0); }
    ~Library() { retire(); }

    // The bus access, made on first use.
    std::shared_ptr<bussvc::Access> Access() {
        auto a = access_.load(std::memory_order_acquire);
        if (a) return a;
        std::lock_guard<std::mutex> lock(m_);
        a = access_.load();
        if (a) return a;
        std::string why;
        try {
            if (const char* e = std::getenv("LUMAREL_BUS_INPROCESS"); e && *e) {
                ownBus_ = std::make_unique<sim::Bus>(0);
                host_ = std::make_unique<bussvc::BusHost>(*ownBus_);
                if (std::string(e) == "default") {
                    host_->Load(nullptr);
                } else {
                    std::string unread;
                    nlohmann::json d = sim::ReadJsonFile(e, &unread);
                    if (d.is_discarded())
                        throw sim::DescriptionError(std::string("cannot read the bus description ") + e + ": " + unread);
                    host_->Load(&d);
                }
                hosted_ = ownBus_.get();
            }
            a = bussvc::OpenBus(host_.get(), noticeSink(), &why);
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (!a) {
            host_.reset();
            ownBus_.reset();
            hosted_ = nullptr;
            line(kSpewEvents, "no bus: " + why);
            busError_ = why;
            return nullptr;
        }
        busError_.clear();
        access_.store(a, std::memory_order_release);
        return a;
    }

    void HostBus(sim::Bus* bus) {
        retire();
        if (!bus) return;
        std::lock_guard<std::mutex> lock(m_);
        host_ = std::make_unique<bussvc::BusHost>(*bus);
        hosted_ = bus;
        access_.store(std::shared_ptr<bussvc::Access>(host_->Open(noticeSink())));
    }

    std::string BusError() {
        std::lock_guard<std::mutex> lock(m_);
        return busError_;
    }

    // The bus reached as it stands now (the connection checks again whenever it reconnects).
    std::string BusMismatch() {
        auto a = access_.load(std::memory_order_acquire);
        return a ? a->DescriptionMismatch() : std::string();
    }

    sim::Bus* Hosted() {
        std::lock_guard<std::mutex> lock(m_);
        return hosted_;
    }

    bool Register(int32_t hwnd) {
        if (!user::IsWindow(hwnd)) return false;
        {
            std::lock_guard<std::mutex> lock(clientsM_);
            if (std::find(clients_.begin(), clients_.end(), hwnd) == clients_.end()) clients_.push_back(hwnd);
        }
        line(kSpewEvents, "client window " + std::to_string(hwnd) + " registered");
        Access();  // the bus (and the service) from now on, so notices flow
        return true;
    }

    void Deregister(int32_t hwnd) {
        std::lock_guard<std::mutex> lock(clientsM_);
        clients_.erase(std::remove(clients_.begin(), clients_.end(), hwnd), clients_.end());
        if (spewWindow_ == hwnd) spewWindow_ = 0;
    }

    void SetSpew(int32_t hwnd, int32_t level) {
        std::lock_guard<std::mutex> lock(clientsM_);
        spewWindow_ = hwnd;
        spewLevel_.store(level);
    }

    void Hook(const std::string& module) {
        std::lock_guard<std::mutex> lock(clientsM_);
        hooked_.push_back(module);
    }

    bool Wants(int level) const { return spewLevel_.load(std::memory_order_relaxed) >= level || logLevel_ >= level; }

    // One line of debug text: to the spew window when its level asks for it, and to the log file
    // "vsk1394api.log" in the current folder when VSK1394API_LOG asks for it.
    void line(int level, const std::string& text) {
        int32_t window = 0;
        if (spewLevel_.load(std::memory_order_relaxed) >= level) {
            std::lock_guard<std::mutex> lock(clientsM_);
            window = spewWindow_;
        }
        if (window != 0) user::PostMessageText(window, kEditReplaceSel, 0, text + "\r\n");
        if (logLevel_ >= level) {
            std::lock_guard<std::mutex> lock(logM_);
            if (FILE* f = std::fopen("vsk1394api.log", "a")) {
                std::fprintf(f, "%10.3f %s\r\n", double(clk::ElapsedMsFloat(start_)), text.c_str());
                std::fclose(f);
            }
        }
    }

private:
    bussvc::NoticeCallback noticeSink() {
        return [this](uint32_t message) { notice(message); };
    }

    // Notices go to every registered window; posted, never delivered by calling in.
    void notice(uint32_t message) {
        std::vector<int32_t> to;
        {
            std::lock_guard<std::mutex> lock(clientsM_);
            to = clients_;
        }
        for (int32_t w : to) user::PostMessage(w, message, 0, 0);
        line(kSpewEvents, "notice 0x" + hex(message) + " posted to " + std::to_string(to.size()) + " window(s)");
    }

    // Lets go of the bus. The pieces are taken out under the lock and destroyed outside it (a
    // connection's notice thread, joined on the way, may be posting a notice just then); the
    // session ends before its host and the host before the bus it serves.
    void retire() {
        std::shared_ptr<bussvc::Access> a;
        std::unique_ptr<bussvc::BusHost> h;
        std::unique_ptr<sim::Bus> b;
        {
            std::lock_guard<std::mutex> lock(m_);
            a = access_.exchange(nullptr);
            h = std::move(host_);
            b = std::move(ownBus_);
            hosted_ = nullptr;
        }
        a.reset();
        h.reset();
        b.reset();
    }

    static int logLevelFromEnvironment() {
        const char* e = std::getenv("VSK1394API_LOG");
        if (!e || !*e || std::string(e) == "0") return 0;
        int v = std::atoi(e);
        return v > 0 ? v : kSpewAll;
    }

    std::mutex m_;  // the bus access and what hosts it
    std::atomic<std::shared_ptr<bussvc::Access>> access_;
    std::unique_ptr<sim::Bus> ownBus_;
    std::unique_ptr<bussvc::BusHost> host_;
    sim::Bus* hosted_ = nullptr;
    std::string busError_;  // why the last try to reach the bus failed (under m_)
    std::mutex clientsM_;  // registered windows, debug text window, hooked modules
    std::vector<int32_t> clients_;
    int32_t spewWindow_ = 0;
    std::atomic<int32_t> spewLevel_{0};
    std::vector<std::string> hooked_;
    const int logLevel_ = logLevelFromEnvironment();
    std::mutex logM_;
    const int64_t start_ = clk::QueryPerformanceCounter();
};

Library& lib() {
    static Library l;
    return l;
}

bool validTransfer(const Address48* address, int32_t byteCount, const void* buffer) {
    return address && buffer && byteCount >= 4 && byteCount <= 2048 && byteCount % 4 == 0;
}

void transactionLine(const char* what, int32_t node, const Address48* a, int32_t count, int32_t code) {
    Library& l = lib();
    int level = code == kResultSuccess ? kSpewAll : kSpewFailures;
    if (!l.Wants(level)) return;
    std::string where = a ? hex(uint16_t(a->OffsetHigh), 4) + ":" + hex(uint32_t(a->OffsetLow), 8) : "(none)";
    l.line(level, std::string(what) + " node " + std::to_string(node) + " 0x" + where + " " +
                      std::to_string(count) + " bytes: code 0x" + hex(uint32_t(code)));
}

template <typename F>
int32_t guarded(int32_t failure, F&& f) {
    try {
        return f();
    } catch (const std::exception& e) {
        try {
            lib().line(kSpewFailures, std::string("internal error: ") + e.what());
        } catch (...) {
            // The log itself failed: there is nowhere left to say so, and nothing may leave a C export.
        }
        return failure;
    } catch (...) {
        return failure;
    }
}

}  // namespace

extern "C" {

int32_t RegisterClient(int32_t hwnd) {
    return guarded(0, [&] { return lib().Register(hwnd) ? 1 : 0; });
}

int32_t DeRegisterClient(int32_t hwnd) {
    return guarded(0, [&] {
        lib().Deregister(hwnd);
        return 1;
    });
}

int32_t SetDebugSpew(int32_t hwnd, int32_t level) {
    return guarded(0, [&] {
        lib().SetSpew(hwnd, level);
        lib().line(kSpewEvents, "debug text level " + std::to_string(level));
        return 1;
    });
}

int32_t AsyncReadWrapper(int32_t node, const Address48* address, int32_t byteCount,
                         uint8_t* destination, int32_t timeoutMs) {
    return guarded(kResultUnknown, [&] {
        int32_t code = kResultBadParameter;
        if (validTransfer(address, byteCount, destination)) {
            auto a = lib().Access();
            code = a ? a->Read(node, uint16_t(address->OffsetHigh), uint32_t(address->OffsetLow),
                               uint32_t(byteCount), timeoutMs, destination)
                     : kResultNoResponse;
        }
        transactionLine("read", node, address, byteCount, code);
        return code;
    });
}

int32_t AsyncWriteWrapper(int32_t node, const Address48* address, int32_t byteCount,
                          const uint8_t* source, int32_t timeoutMs) {
    return guarded(kResultUnknown, [&] {
        int32_t code = kResultBadParameter;
        if (validTransfer(address, byteCount, source)) {
            auto a = lib().Access();
            code = a ? a->Write(node, uint16_t(address->OffsetHigh), uint32_t(address->OffsetLow),
                                source, uint32_t(byteCount), timeoutMs)
                     : kResultNoResponse;
        }
        transactionLine("write", node, address, byteCount, code);
        return code;
    });
}

int32_t AsyncTransferSequence(AsyncTransfer* transfers, int32_t count) {
    return guarded(0, [&]() -> int32_t {
        if (!transfers || count < 1 || count > kMaxTransferSequence) return 0;
        // The transactions up to the first with bad arguments go to the bus; that one fails as
        // a call of its own would, without reaching it.
        bussvc::Transfer sequence[kMaxTransferSequence];
        int32_t valid = 0;
        for (; valid < count; ++valid) {
            const AsyncTransfer& t = transfers[valid];
            if (!validTransfer(&t.Address, t.ByteCount, t.Buffer)) break;
            sequence[valid] = {.write = t.Write != 0,
                               .node = t.Node,
                               .offsetHigh = uint16_t(t.Address.OffsetHigh),
                               .offsetLow = uint32_t(t.Address.OffsetLow),
                               .count = uint32_t(t.ByteCount),
                               .data = t.Buffer,
                               .timeoutMs = t.TimeoutMs};
        }
        int32_t done = 0;
        if (valid > 0) {
            if (auto a = lib().Access()) {
                done = int32_t(a->Transfers(sequence, size_t(valid)));
            } else {
                sequence[0].code = kResultNoResponse;
                done = 1;
            }
        }
        for (int32_t i = 0; i < done; ++i) transfers[i].Result = sequence[i].code;
        if (done == valid && valid < count && (done == 0 || transfers[done - 1].Result == kResultSuccess))
            transfers[done++].Result = kResultBadParameter;
        for (int32_t i = 0; i < done; ++i) {
            const AsyncTransfer& t = transfers[i];
            transactionLine(t.Write ? "write" : "read", t.Node, &t.Address, t.ByteCount, t.Result);
        }
        return done;
    });
}

int32_t GetLocalHostInformation(int32_t, const char* deviceName, HostInfoRequest* request, int32_t) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!request || !deviceName) return kResultBadParameter;
        if (request->Level != kTopologyLevel || uint16_t(request->CsrHigh) != 0xFFFF ||
            uint32_t(request->CsrLow) != kTopologyCsr)
            return kResultBadParameter;  // only the topology map is offered
        if (request->BufferSize <= 0 || request->BufferSize > int32_t(sizeof request->Data))
            return kResultBadParameter;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        std::vector<uint8_t> map;
        int32_t code = a->TopologyMap(boundedText(deviceName, kVirtualDeviceNameBytes), map);
        if (code != 0) return code;
        if (map.size() > size_t(request->BufferSize)) return kErrorInsufficientBuffer;
        std::memcpy(request->Data, map.data(), map.size());
        std::memset(request->Data + map.size(), 0, size_t(request->BufferSize) - map.size());
        return 0;
    });
}

int32_t Get1394AddressFromDeviceObject(int32_t, const char* deviceName, NodeAddressRequest* request) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!request || !deviceName || request->Flags != 1) return kResultBadParameter;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        uint16_t id = 0;
        int32_t code = a->LocalNodeAddress(boundedText(deviceName, kVirtualDeviceNameBytes), id);
        if (code == 0) request->NodeAddress = id;
        return code;
    });
}

namespace {

int32_t virtualDriver(bool add, const VirtualDeviceDescriptor* d) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!d || !d->Name) return kResultBadParameter;
        std::string name = boundedText(d->Name, kVirtualDeviceNameMax);
        if (name.empty()) return kResultBadParameter;
        uint64_t instance = uint64_t(d->InstanceLow) | uint64_t(d->InstanceHigh) << 32;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        int32_t code = add ? a->AddVirtualDevice(d->Flags, instance, name)
                           : a->RemoveVirtualDevice(d->Flags, instance, name);
        lib().line(kSpewEvents, std::string(add ? "add" : "remove") + " virtual device \"" + name +
                                    "\": code " + std::to_string(code));
        return code;
    });
}

}  // namespace

int32_t AddVirtualDriver(const int32_t*, VirtualDeviceDescriptor* device, int32_t) {
    return virtualDriver(true, device);
}

int32_t RemoveVirtualDriver(const int32_t*, VirtualDeviceDescriptor* device, int32_t) {
    return virtualDriver(false, device);
}

int32_t BusReset(const int32_t*, const char* deviceName, const int32_t*) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!deviceName) return kResultBadParameter;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        int32_t code = a->ResetBus(boundedText(deviceName, kVirtualDeviceNameBytes));
        lib().line(kSpewEvents, "bus reset requested: code " + std::to_string(code));
        return code;
    });
}

int32_t AllocateAddressRange(const int32_t*, const char* deviceName, AddressRangeRecord* range, int32_t) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!range || !deviceName || range->Length <= 0) return kResultBadParameter;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        uint32_t handle = 0;
        int32_t code = a->AllocateRange(boundedText(deviceName, kVirtualDeviceNameBytes),
                                        uint16_t(range->Address.OffsetHigh), uint32_t(range->Address.OffsetLow),
                                        uint32_t(range->Length), uint32_t(range->AccessFlags),
                                        uint32_t(range->NotifyFlags), handle);
        if (code == 0) range->Handle = int32_t(handle);
        lib().line(kSpewEvents, "allocate range 0x" + hex(uint16_t(range->Address.OffsetHigh), 4) + ":" +
                                    hex(uint32_t(range->Address.OffsetLow), 8) + " length " +
                                    std::to_string(range->Length) + ": code " + std::to_string(code));
        return code;
    });
}

int32_t FreeAddressRange(const int32_t*, const char* deviceName, int32_t handle) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!deviceName || handle == 0) return kResultBadParameter;
        auto a = lib().Access();
        if (!a) return kResultNoResponse;
        return a->FreeRange(boundedText(deviceName, kVirtualDeviceNameBytes), uint32_t(handle));
    });
}

int32_t GetVirtualDeviceList(VirtualDeviceList* list) {
    return guarded(kResultBadParameter, [&]() -> int32_t {
        if (!list) return kResultBadParameter;
        auto a = lib().Access();
        std::vector<std::string> names = a ? a->VirtualDevices() : std::vector<std::string>();
        std::memset(list, 0, sizeof *list);
        // Never claim more names than the slots hold.
        size_t n = std::min(names.size(), size_t(kVirtualDeviceSlots));
        for (size_t i = 0; i < n; ++i)
            std::memcpy(list->Names[i], names[i].data(), std::min(names[i].size(), size_t(kVirtualDeviceNameBytes - 1)));
        list->Count = int32_t(n);
        return a ? 0 : kResultNoResponse;
    });
}

int32_t QueryElapsedTimeMsLongInt(const int64_t* start) {
    return guarded(0, [&] { return start ? clk::ElapsedMsSince(*start) : 0; });
}

int32_t HookSystemModule(const char* moduleName) {
    return guarded(0, [&] {
        if (!moduleName) return 0;
        std::string name = boundedText(moduleName, 256);
        lib().Hook(name);
        lib().line(kSpewEvents, "system module \"" + name + "\" hooked");
        return 1;
    });
}

int32_t Vsk1394HostBus(void* bus) {
    return guarded(0, [&] {
        lib().HostBus(static_cast<sim::Bus*>(bus));
        return 1;
    });
}

void* Vsk1394InProcessBus() {
    try {
        return lib().Hosted();
    } catch (...) {
        return nullptr;
    }
}

int32_t Vsk1394Control(const char* request, char* reply, int32_t replySize) {
    return guarded(bussvc::kControlFailed, [&]() -> int32_t {
        std::string answer;
        int32_t code = bussvc::kControlFailed;
        if (!request) {
            answer = R"({"error":"no command"})";
        } else if (auto a = lib().Access()) {
            code = a->Control(request, answer);
        } else {
            answer = R"({"error":"no bus"})";
        }
        if (reply && replySize > 0) {
            size_t n = std::min(answer.size(), size_t(replySize - 1));
            std::memcpy(reply, answer.data(), n);
            reply[n] = 0;
        }
        return code;
    });
}

namespace {
// A text handed out like a reply: cut to size - 1 bytes and zero-terminated; its whole length.
int32_t copyText(const std::string& why, char* text, int32_t size) {
    if (text && size > 0) {
        size_t n = std::min(why.size(), size_t(size - 1));
        std::memcpy(text, why.data(), n);
        text[n] = 0;
    }
    return int32_t(why.size());
}
}  // namespace

int32_t Vsk1394BusError(char* text, int32_t size) {
    try {
        return copyText(lib().BusError(), text, size);
    } catch (...) {
        return 0;
    }
}

int32_t Vsk1394BusMismatch(char* text, int32_t size) {
    try {
        return copyText(lib().BusMismatch(), text, size);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
