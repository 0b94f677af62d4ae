#include "platform/json/json.hpp"

#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace platform::json {

namespace {

// Builds an ordered tree from parser events. ordered_json's own parser searches every object
// linearly for each new key (quadratic in the object's size, seconds for a tokenizer
// vocabulary); here keys are appended directly and duplicates are found through a hash index
// that is only built once an object grows past a few entries. A repeated key keeps its last
// value, as with the standard parser.
class OrderedTreeBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit OrderedTreeBuilder(Json& root) : root_(root) {}

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool v) { return add(Json(v)); }
  bool number_integer(number_integer_t v) { return add(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return add(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return add(Json(v)); }
  bool string(string_t& v) { return add(Json(std::move(v))); }
  bool binary(binary_t& v) { return add(Json::binary(std::move(v))); }

  bool start_object(std::size_t) {
    checkDepth();
    Json* slot = place(Json::object());
    stack_.push_back(Frame{slot, {}, {}});
    return true;
  }
  bool key(string_t& k) {
    stack_.back().pendingKey = std::move(k);
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    checkDepth();
    Json* slot = place(Json::array());
    stack_.push_back(Frame{slot, {}, {}});
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    throw JsonError(std::string("malformed JSON: ") + e.what());
  }

 private:
  struct Frame {
    Json* container;
    std::string pendingKey;
    std::unordered_map<std::string, std::size_t> index;  // key -> position, for large objects
  };
  static constexpr std::size_t kIndexThreshold = 16;

  void checkDepth() const {
    if (stack_.size() >= kMaximumNestingDepth) throw JsonError("malformed JSON: " + nestingTooDeepMessage());
  }

  bool add(Json&& value) {
    place(std::move(value));
    return true;
  }

  // Puts `value` where the parser is (root, array element or object member) and returns it.
  Json* place(Json&& value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = stack_.back();
    if (frame.container->is_array()) {
      auto& elements = frame.container->get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    auto& members = frame.container->get_ref<Json::object_t&>();
    auto& entries = static_cast<Json::object_t::Container&>(members);
    if (auto existing = findKey(frame, entries)) {
      entries[*existing].second = std::move(value);
      return &entries[*existing].second;
    }
    if (entries.size() >= kIndexThreshold) frame.index.emplace(frame.pendingKey, entries.size());
    entries.emplace_back(std::move(frame.pendingKey), std::move(value));
    if (entries.size() == kIndexThreshold) {
      for (std::size_t i = 0; i < entries.size(); ++i) frame.index.emplace(entries[i].first, i);
    }
    return &entries.back().second;
  }

  static std::optional<std::size_t> findKey(const Frame& frame, const Json::object_t::Container& entries) {
    if (entries.size() >= kIndexThreshold) {
      auto it = frame.index.find(frame.pendingKey);
      if (it == frame.index.end()) return std::nullopt;
      return it->second;
    }
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].first == frame.pendingKey) return i;
    }
    return std::nullopt;
  }

  Json& root_;
  std::vector<Frame> stack_;
};

}  // namespace

std::string nestingTooDeepMessage() {
  return "arrays and objects nested more than " + std::to_string(kMaximumNestingDepth) + " deep";
}

Json parse(std::string_view text) {
  Json root;
  OrderedTreeBuilder builder(root);
  try {
    Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const nlohmann::json::exception& e) {
    throw JsonError(std::string("malformed JSON: ") + e.what());
  }
  return root;
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
