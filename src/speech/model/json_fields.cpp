#include "speech/model/json_fields.hpp"

#include <cmath>
#include <limits>

namespace vostrane::json_fields {
namespace {

[[noreturn]] void wrongType(std::string_view what, const char* expected) {
  throw JsonError("wrong type for \"" + std::string(what) + "\": expected " + expected);
}

}  // namespace

bool toBool(const Json& value, std::string_view what) {
  if (!value.is_boolean()) wrongType(what, "a boolean");
  return value.get<bool>();
}

int toInt(const Json& value, std::string_view what) {
  if (value.is_number_integer() && !value.is_number_unsigned()) {
    const std::int64_t v = value.get<std::int64_t>();
    if (v >= std::numeric_limits<int>::min() && v <= std::numeric_limits<int>::max()) return static_cast<int>(v);
  } else if (value.is_number_unsigned()) {
    const std::uint64_t v = value.get<std::uint64_t>();
    if (v <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return static_cast<int>(v);
  } else if (value.is_number_float()) {
    const double d = value.get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && d >= std::numeric_limits<int>::min() &&
        d <= std::numeric_limits<int>::max()) {
      return static_cast<int>(d);
    }
  } else {
    wrongType(what, "an integer");
  }
  throw JsonError("number for \"" + std::string(what) + "\" does not fit an integer");
}

float toFloat(const Json& value, std::string_view what) {
  const double d = toDouble(value, what);
  if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
    throw JsonError("number for \"" + std::string(what) + "\" does not fit a 32-bit float");
  }
  return static_cast<float>(d);
}

double toDouble(const Json& value, std::string_view what) {
  if (!value.is_number()) wrongType(what, "a number");
  return value.get<double>();
}

std::string toString(const Json& value, std::string_view what) {
  if (!value.is_string()) wrongType(what, "a string");
  return value.get<std::string>();
}

std::vector<int> toIntList(const Json& value, std::string_view what) {
  if (!value.is_array()) wrongType(what, "an array");
  std::vector<int> out;
  out.reserve(value.size());
  for (const Json& element : value) out.push_back(toInt(element, what));
  return out;
}

std::vector<float> toFloatList(const Json& value, std::string_view what) {
  if (!value.is_array()) wrongType(what, "an array");
  std::vector<float> out;
  out.reserve(value.size());
  for (const Json& element : value) out.push_back(toFloat(element, what));
  return out;
}

std::vector<std::string> toStringList(const Json& value, std::string_view what) {
  if (!value.is_array()) wrongType(what, "an array");
  std::vector<std::string> out;
  out.reserve(value.size());
  for (const Json& element : value) out.push_back(toString(element, what));
  return out;
}

const Json& requireMember(const Json& object, std::string_view key) {
  const Json& member = platform::json::require(object, key);
  if (member.is_null()) throw JsonError("null value for required key \"" + std::string(key) + "\"");
  return member;
}

const Json* optionalMember(const Json& object, std::string_view key) {
  if (!object.is_object()) throw JsonError("expected an object when reading \"" + std::string(key) + "\"");
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<int> optionalInt(const Json& o, std::string_view k) {
  const Json* m = optionalMember(o, k);
  if (m == nullptr) return std::nullopt;
  return toInt(*m, k);
}

std::optional<float> optionalFloat(const Json& o, std::string_view k) {
  const Json* m = optionalMember(o, k);
  if (m == nullptr) return std::nullopt;
  return toFloat(*m, k);
}

std::optional<std::string> optionalString(const Json& o, std::string_view k) {
  const Json* m = optionalMember(o, k);
  if (m == nullptr) return std::nullopt;
  return toString(*m, k);
}

std::optional<std::vector<int>> optionalIntList(const Json& o, std::string_view k) {
  const Json* m = optionalMember(o, k);
  if (m == nullptr) return std::nullopt;
  return toIntList(*m, k);
}

Json fromFloatList(const std::vector<float>& values) {
  Json out = Json::array();
  for (float v : values) out.push_back(platform::json::fromFloat(v));
  return out;
}

Json fromIntList(const std::vector<int>& values) {
  Json out = Json::array();
  for (int v : values) out.push_back(v);
  return out;
}

}  // namespace vostrane::json_fields
