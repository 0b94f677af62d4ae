// JSON reading and writing for the whole project, over nlohmann's ordered_json.
//
// Objects keep their keys in insertion order, so records written field by field come out in
// declaration order. Writing refuses non-finite numbers (never a silent null); 32-bit floats
// are stored so that they print in their shortest round-trip form ("0.1", not
// "0.10000000149011612"). Records with a JSON form declare their fields in one table and are
// written and read by the codec in record.hpp; requireAs()/optionalAs() below read single
// members for the few readers that walk a tree by hand. A missing required key is an error
// that names the key. Numbers pass the checked conversions of platform/sys/checked_number.hpp.
// All functions are thread-safe on distinct values.
#pragma once

#include <nlohmann/json.hpp>

#include "platform/sys/checked_number.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

namespace platform::json {

using Json = nlohmann::ordered_json;

// Malformed text, a value of the wrong type, a missing key, or a value that cannot be written.
class JsonError : public std::runtime_error {
 public:
  explicit JsonError(const std::string& message) : std::runtime_error(message) {}
};

// Deepest nesting of arrays and objects that parse() accepts. Deeper input is refused rather
// than built: every consumer of a tree (dump, copies, conversions) walks it recursively, so an
// unbounded depth in a downloaded file would exhaust the stack.
inline constexpr std::size_t kMaximumNestingDepth = 512;
// The reason text used when input nests deeper than kMaximumNestingDepth.
std::string nestingTooDeepMessage();

// Parses UTF-8 text. Throws JsonError naming the position on malformed input, and on arrays
// and objects nested more than kMaximumNestingDepth deep.
Json parse(std::string_view text);

// Compact text (indent < 0) or pretty-printed text. Throws JsonError on a non-finite number
// or invalid UTF-8 in a string.
std::string dump(const Json& value, int indent = -1);

// Throws JsonError when `value` holds a NaN or an infinity anywhere in its tree.
void checkFinite(const Json& value);

// The double whose shortest decimal form equals the shortest round-trip form of `value`.
double shortestFloat(float value);
// A JSON number for a 32-bit float (shortest form). Throws JsonError when not finite.
Json fromFloat(float value);
// A JSON number for a double. Throws JsonError when not finite.
Json fromDouble(double value);

// Swift-style enumeration case with a payload: {"name": {"_0": payload}}; without payload:
// {"name": {}}.
Json enumCase(std::string_view name, Json payload);
Json enumCase(std::string_view name);
// The case name and its object of an enumeration written as above; throws JsonError when
// `value` is not an object with exactly one key whose value is an object.
std::pair<std::string, const Json*> readEnumCase(const Json& value);

// The member `key` of an object; throws JsonError when `object` is not an object or has no
// such key.
const Json& require(const Json& object, std::string_view key);

namespace detail {

// `member` converted to T, through the checked conversions of platform/sys/checked_number.hpp.
// An integer type accepts only an integral number inside its range (3.0 reads as 3; 3.7, 1e300
// and -1 for an unsigned type are errors), never a bool; float accepts any number that rounds
// to a finite float (FLT_MAX written as "3.4028235e+38" reads back as FLT_MAX; 1e300 is an
// error); double accepts any number; bool accepts only true/false; std::string only a string.
// Throws JsonError naming `key`.
template <class T>
T convertMember(const Json& member, std::string_view key) {
  const auto wrongType = [&](const std::string& why) {
    return JsonError("wrong type for key \"" + std::string(key) + "\": " + why);
  };
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
    std::optional<T> value;
    if (member.is_number_unsigned()) {
      value = platform::sys::checkedIntegralCast<T>(member.get<std::uint64_t>());
    } else if (member.is_number_integer()) {
      value = platform::sys::checkedIntegralCast<T>(member.get<std::int64_t>());
    } else if (member.is_number_float()) {
      value = platform::sys::exactIntegerCast<T>(member.get<double>());
      if (!value) throw wrongType("number is not an integer in range");
    } else {
      throw wrongType(std::string("expected an integer, found ") + member.type_name());
    }
    if (!value) throw wrongType("integer out of range");
    return *value;
  } else if constexpr (std::is_same_v<T, float>) {
    if (!member.is_number()) throw wrongType(std::string("expected a number, found ") + member.type_name());
    const auto value = platform::sys::checkedFloatCast(member.get<double>());
    if (!value) throw wrongType("number does not fit in a 32-bit float");
    return *value;
  } else if constexpr (std::is_same_v<T, double>) {
    if (!member.is_number()) throw wrongType(std::string("expected a number, found ") + member.type_name());
    return member.get<double>();
  } else if constexpr (std::is_same_v<T, bool>) {
    if (!member.is_boolean()) throw wrongType(std::string("expected a boolean, found ") + member.type_name());
    return member.get<bool>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!member.is_string()) throw wrongType(std::string("expected a string, found ") + member.type_name());
    return member.get<std::string>();
  } else {
    try {
      return member.get<T>();
    } catch (const nlohmann::json::exception& e) {
      throw wrongType(e.what());
    }
  }
}

}  // namespace detail

// The member `key` converted to T; throws JsonError when missing, null or of the wrong type.
template <class T>
T requireAs(const Json& object, std::string_view key) {
  const Json& member = require(object, key);
  if (member.is_null()) throw JsonError("null value for required key \"" + std::string(key) + "\"");
  return detail::convertMember<T>(member, key);
}

// The member `key` converted to T, or absent when missing or null; throws JsonError when
// present with the wrong type.
template <class T>
std::optional<T> optionalAs(const Json& object, std::string_view key) {
  if (!object.is_object()) throw JsonError("expected an object when reading \"" + std::string(key) + "\"");
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return detail::convertMember<T>(*it, key);
}

}  // namespace platform::json
