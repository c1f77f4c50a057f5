// Typed registry values: binary, text and number values kept under a hive and a key path.
//
// This is what programs use that keep their state in the registry rather than in the per-user
// settings store. Key paths use backslashes ("Software\NRX\Lumarel460") and, like value names,
// compare without regard to case. Each key is one file below the platform root
// ($LUMAREL_ROOT/registry/<hive>/<key path in lower case>/values.key), written whole through a
// temporary file and a rename under a file lock, so several processes may use it at once.
// A key file that cannot be read is treated as holding no values.
//
// A call waits for another process's hold on a key's lock for at most kLockWaitMs (on
// platform/clock), and ends with kRegBusy after that; BusyKeyHolder then names the holder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace registry {

inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;

// Results, as the platform gives them.
inline constexpr int32_t kRegOk = 0;
inline constexpr int32_t kRegFileNotFound = 2;       // no such key or value
inline constexpr int32_t kRegAccessDenied = 5;       // the key cannot be written
inline constexpr int32_t kRegInvalidParameter = 87;  // a bad key path or name, or data too large
inline constexpr int32_t kRegMoreData = 234;         // the value is larger than the buffer
inline constexpr int32_t kRegBusy = 170;             // another process kept the key's lock

// How long a call waits for a key's lock. The store holds it for one read or write of a small
// file; a process that keeps it longer is stuck or stopped, and waiting on would hang the
// caller with it.
inline constexpr uint32_t kLockWaitMs = 5000;

// Limits of a name and a value's data.
inline constexpr size_t kMaxValueName = 255;
inline constexpr size_t kMaxValueData = 1 << 20;

enum class Hive { LocalMachine, CurrentUser };

struct Value {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// Reads a value. kRegFileNotFound when the key or the value is missing.
int32_t QueryValue(Hive hive, const std::string& keyPath, const std::string& name, Value& value);
// Reads a value into a buffer of `size` bytes: kRegMoreData (nothing written) when it is larger;
// else its type and length. A failure writes nothing into the buffer.
int32_t QueryValue(Hive hive, const std::string& keyPath, const std::string& name, uint32_t& type, void* buffer,
                   uint32_t& size);
// Writes a value, creating the key when needed.
int32_t SetValue(Hive hive, const std::string& keyPath, const std::string& name, uint32_t type,
                 const void* data, uint32_t size);
// Removes a key with its values (not its subkeys). Removing what is not there gives
// kRegFileNotFound.
int32_t DeleteKey(Hive hive, const std::string& keyPath);

// Who held the key's lock when this thread's last call ended with kRegBusy: "process 4242
// (name)", or "another process" when the system does not say.
std::string BusyKeyHolder();
// A wait for a key's lock ends early, with kRegBusy, once `giveUp` says so (a program asked to
// end from outside stops waiting at once); nullptr: waits run to kLockWaitMs. A lock that is
// free is always taken: giveUp is asked only between tries.
void SetLockWaitGiveUp(std::function<bool()> giveUp);

// The file form of a key's values (the key files' reader and writer). Parse refuses (false) a
// text that is not a key file, a record past its end or beyond the limits.
bool ParseKeyFile(const uint8_t* data, size_t size, std::vector<std::pair<std::string, Value>>& values);
std::vector<uint8_t> FormatKeyFile(const std::vector<std::pair<std::string, Value>>& values);

}  // namespace registry
