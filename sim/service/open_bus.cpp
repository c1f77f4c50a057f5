#include "service/open_bus.h"

#include <exception>

#include "service/client.h"
#include "service/host.h"

namespace bussvc {

std::unique_ptr<Access> OpenBus(BusHost* host, NoticeCallback onNotice, std::string* why) {
    try {
        return host ? host->Open(std::move(onNotice)) : ConnectToService(std::move(onNotice));
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return nullptr;
    }
}

}  // namespace bussvc
