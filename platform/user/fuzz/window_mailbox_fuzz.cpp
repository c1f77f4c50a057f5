// Datagrams that other processes send to a window's mailbox.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "user/window_mailbox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto m = user::DecodeMailboxMessage(data, size);
    if (m.has_value() != (size == user::kMailboxMessageSize)) __builtin_trap();
    if (m && std::memcmp(user::EncodeMailboxMessage(*m).data(), data, size) != 0) __builtin_trap();
    return 0;
}
