// JSON in the simulator, in one place: reading JSON texts that come from outside (control
// requests, bus descriptions, state files) with their nesting bounded, quoting values in
// messages, and the JSON forms of the bus's records: numbers given as JSON numbers or as
// hexadecimal texts, injected faults and PHY settings. Bus descriptions, config ROMs written as
// JSON, the bus service's control requests and the bus's own description read and write them
// here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "bus/fault.h"
#include "bus/node.h"

namespace sim {

// ------------------------------------------------------------------ reading and quoting

// The deepest nesting of arrays and objects a JSON text from outside may have. JSON values are
// walked recursively (copied, compared, printed into answers and messages), so a deeper value
// could run a thread out of stack. What the simulator reads nests at most about 40 levels (a
// config ROM's 17 nested directories inside a bus description).
inline constexpr int kMaxJsonDepth = 64;
// The largest JSON file read (a bus description, a state file).
inline constexpr size_t kMaxJsonFileBytes = size_t(16) << 20;
// The most characters a message quotes of a value or text.
inline constexpr size_t kMaxQuoted = 80;

// Parses a JSON text from outside. A text that is not JSON, or that nests arrays and objects
// deeper than kMaxJsonDepth, gives a discarded value (is_discarded()), and in `error` (when
// given) the reason: "not valid JSON" or "nested more than 64 levels deep". The nesting is
// checked before anything is parsed.
nlohmann::json ParseJson(std::string_view text, std::string* error = nullptr);
// Reads a JSON file and parses it as ParseJson does. A discarded value when it cannot be used;
// the reasons add "cannot be opened", "is not a regular file" (a FIFO or a device, which is
// never opened for reading), "cannot be read" and "larger than 16 MiB" (the read stops there).
nlohmann::json ReadJsonFile(const std::filesystem::path& file, std::string* error = nullptr);

// A fingerprint of a value: 16 upper-case hex digits of a 64-bit FNV-1a hash of its compact
// JSON text. Equal values give equal fingerprints (object members print in key order), so two
// programs can tell whether they hold the same description without sending it whole.
std::string JsonFingerprint(const nlohmann::json& value);

// The value under `key` of the object j; a null value when j is not an object or has no such
// key. Values from outside are read through here (or find/value): the const operator[] of a
// missing key is undefined behaviour, not a null.
const nlohmann::json& JsonField(const nlohmann::json& j, std::string_view key);

// A value as a message quotes it: its JSON text, cut after kMaxQuoted characters ("...").
std::string QuoteJson(const nlohmann::json& v);
// A text as a message quotes it between double quotes, cut the same way.
std::string QuoteText(std::string_view text);

// ------------------------------------------------------------------------------ records

// An unsigned number from a JSON number or a hexadecimal text ("0x1F" or "1F"), at most max.
// Throws std::invalid_argument naming the field.
uint64_t JsonUnsigned(const nlohmann::json& v, const char* field, uint64_t max);
uint32_t JsonU32(const nlohmann::json& v, const char* field);
uint64_t JsonU64(const nlohmann::json& v, const char* field);
// j[key] as a Boolean, fallback when the key is absent; throws std::invalid_argument
// ("<where><key>: expected true or false") for any other value.
bool JsonBool(const nlohmann::json& j, const char* key, bool fallback, const std::string& where);
// Throws std::invalid_argument ("<where>: unknown key \"k\"") for a key of the object j
// outside `allowed`.
void CheckJsonKeys(const nlohmann::json& j, const std::set<std::string>& allowed, const std::string& where);

// "0x" and `width` upper-case hexadecimal digits (more when the value needs them).
std::string HexText(uint64_t v, int width);

nlohmann::json FaultToJson(const FaultSpec& fault);
// Throws std::invalid_argument naming the bad field.
FaultSpec FaultFromJson(const nlohmann::json& j);

// Self-ID settings (for descriptions and the control tool). PhyFromJson throws
// std::invalid_argument naming the bad field.
PhyConfig PhyFromJson(const nlohmann::json& j);
nlohmann::json PhyToJson(const PhyConfig& phy);

}  // namespace sim
