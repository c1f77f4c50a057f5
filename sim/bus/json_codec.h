// The JSON forms of the bus's records, in one place: numbers given as JSON numbers or as
// hexadecimal texts, injected faults and PHY settings. Bus descriptions, config ROMs written as
// JSON, the bus service's control requests and the bus's own description read and write them
// here.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "bus/fault.h"
#include "bus/node.h"

namespace sim {

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
