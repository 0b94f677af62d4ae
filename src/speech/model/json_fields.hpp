// Strict readers and writers of the JSON fields of the speech records (options, results,
// timings, device support). Readers throw platform::json::JsonError naming the key when a
// required key is missing or a value has the wrong JSON type; no reader converts between
// booleans, numbers and strings. Used only by the speech model records; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json/json.hpp"

namespace vostrane::json_fields {

using platform::json::Json;
using platform::json::JsonError;

// Value readers: `what` names the value in error messages.
bool toBool(const Json& value, std::string_view what);
// Any JSON integer, or a number with an integral value, within the range of int.
int toInt(const Json& value, std::string_view what);
// Any JSON number that fits a 32-bit float.
float toFloat(const Json& value, std::string_view what);
// Any JSON number.
double toDouble(const Json& value, std::string_view what);
std::string toString(const Json& value, std::string_view what);
std::vector<int> toIntList(const Json& value, std::string_view what);
std::vector<float> toFloatList(const Json& value, std::string_view what);
std::vector<std::string> toStringList(const Json& value, std::string_view what);

// Required members (missing or null fails).
const Json& requireMember(const Json& object, std::string_view key);
inline bool requireBool(const Json& o, std::string_view k) { return toBool(requireMember(o, k), k); }
inline int requireInt(const Json& o, std::string_view k) { return toInt(requireMember(o, k), k); }
inline float requireFloat(const Json& o, std::string_view k) { return toFloat(requireMember(o, k), k); }
inline double requireDouble(const Json& o, std::string_view k) { return toDouble(requireMember(o, k), k); }
inline std::string requireString(const Json& o, std::string_view k) { return toString(requireMember(o, k), k); }
inline std::vector<int> requireIntList(const Json& o, std::string_view k) { return toIntList(requireMember(o, k), k); }
inline std::vector<float> requireFloatList(const Json& o, std::string_view k) {
  return toFloatList(requireMember(o, k), k);
}
inline std::vector<std::string> requireStringList(const Json& o, std::string_view k) {
  return toStringList(requireMember(o, k), k);
}

// Optional members: absent when the key is missing or null.
const Json* optionalMember(const Json& object, std::string_view key);
std::optional<int> optionalInt(const Json& o, std::string_view k);
std::optional<float> optionalFloat(const Json& o, std::string_view k);
std::optional<std::string> optionalString(const Json& o, std::string_view k);
std::optional<std::vector<int>> optionalIntList(const Json& o, std::string_view k);

// Writers. Floats in their shortest form; non-finite numbers throw JsonError.
Json fromFloatList(const std::vector<float>& values);
Json fromIntList(const std::vector<int>& values);

}  // namespace vostrane::json_fields
