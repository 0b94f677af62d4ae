#include "platform/json/json.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

namespace platform::json {

Json parse(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const nlohmann::json::parse_error& e) {
    throw JsonError(std::string("malformed JSON: ") + e.what());
  }
}

void checkFinite(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      if (!std::isfinite(value.get<double>())) throw JsonError("cannot encode a non-finite number");
      break;
    case Json::value_t::object:
    case Json::value_t::array:
      for (const auto& element : value) checkFinite(element);
      break;
    default:
      break;
  }
}

std::string dump(const Json& value, int indent) {
  checkFinite(value);
  try {
    return value.dump(indent);
  } catch (const nlohmann::json::exception& e) {
    throw JsonError(std::string("cannot encode JSON: ") + e.what());
  }
}

double shortestFloat(float value) {
  if (!std::isfinite(value)) return static_cast<double>(value);
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  double out = 0;
  std::from_chars(buffer, result.ptr, out);
  return out;
}

Json fromFloat(float value) {
  if (!std::isfinite(value)) throw JsonError("cannot encode a non-finite number");
  return Json(shortestFloat(value));
}

Json fromDouble(double value) {
  if (!std::isfinite(value)) throw JsonError("cannot encode a non-finite number");
  return Json(value);
}

Json enumCase(std::string_view name, Json payload) {
  Json inner = Json::object();
  inner["_0"] = std::move(payload);
  Json outer = Json::object();
  outer[std::string(name)] = std::move(inner);
  return outer;
}

Json enumCase(std::string_view name) {
  Json outer = Json::object();
  outer[std::string(name)] = Json::object();
  return outer;
}

std::pair<std::string, const Json*> readEnumCase(const Json& value) {
  if (!value.is_object() || value.size() != 1 || !value.begin().value().is_object()) {
    throw JsonError("expected an enumeration case object with one key");
  }
  return {value.begin().key(), &value.begin().value()};
}

const Json& require(const Json& object, std::string_view key) {
  if (!object.is_object()) throw JsonError("expected an object when reading \"" + std::string(key) + "\"");
  auto it = object.find(key);
  if (it == object.end()) throw JsonError("missing required key \"" + std::string(key) + "\"");
  return *it;
}

}  // namespace platform::json
