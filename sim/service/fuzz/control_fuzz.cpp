// Fuzz target: the bus service's control-command decoder. Each line of the input is one control
// request as a client sends it (`buscontrol` and the access library's command), answered in turn
// by a host on a small bus of its own (the service's default bus: the local host and one
// Lumarel 460), on the manual clock so that nothing waits.
//
// Whatever a request holds, its answer is a JSON object; a refused one carries a short "error"
// text and nothing else is changed by it that the next client would trip over: the host still
// answers a plain request afterwards.
#include "bus/bus.h"
#include "bus/json_codec.h"
#include "clock/clock.h"
#include "service/host.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Requests answered per input; the rest of a longer input is one last request.
constexpr int kMaxRequests = 16;
// The longest refusal: a few fixed words and values quoted at most kMaxQuoted characters each.
constexpr size_t kMaxErrorBytes = 512;

void expectAnswer(int32_t code, const std::string& reply) {
    const nlohmann::json answer = sim::ParseJson(reply);
    if (!answer.is_object()) std::abort();
    const bool refused = answer.contains("error");
    if (refused != (code == bussvc::kControlFailed)) std::abort();
    if (refused && (!sim::JsonField(answer, "error").is_string() || sim::JsonField(answer, "error").get<std::string>().size() > kMaxErrorBytes))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clk::ManualClock clock;
    clk::ScopedClock scopedClock(clock);
    sim::Bus bus;
    bussvc::BusHost host(bus);
    host.SetShutdownHandler([] {});
    host.Load(nullptr);

    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string reply;
    for (int n = 0; n < kMaxRequests && !input.empty(); ++n) {
        size_t end = n + 1 < kMaxRequests ? input.find('\n') : std::string_view::npos;
        if (end == std::string_view::npos) end = input.size();
        const std::string request(input.substr(0, end));
        input.remove_prefix(end < input.size() ? end + 1 : end);
        expectAnswer(host.Control(request, reply), reply);
    }
    if (host.Control(R"({"cmd":"state"})", reply) != bussvc::kControlOk) std::abort();
    expectAnswer(bussvc::kControlOk, reply);
    return 0;
}
