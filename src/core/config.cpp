#include "core/config.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/logging.hpp"
#include "platform/log/check.hpp"
#include "platform/sys/checked_number.hpp"
#include "platform/sys/hash.hpp"
#include "platform/text/text.hpp"

namespace noxtal {
namespace {

using platform::json::Json;

const Config& nullConfig() {
  static const Config instance;
  return instance;
}

[[noreturn]] void unknownType(const Json& json) {
  std::string message = "unknown type: ";
  message += json.type_name();
  message += ' ';
  try {
    message += json.dump();
  } catch (...) {
    message += "<unprintable>";
  }
  platform::log::checkFailed(message);
}

// A JSON number that is exactly a value of I (Swift's JSONDecoder accepts 7.0 as an Int).
template <class I>
std::optional<I> exactInteger(const Json& json) {
  if (json.is_number_unsigned()) return platform::sys::checkedIntegralCast<I>(json.get<std::uint64_t>());
  if (json.is_number_integer()) return platform::sys::checkedIntegralCast<I>(json.get<std::int64_t>());
  if (json.is_number_float()) return platform::sys::exactIntegerCast<I>(json.get<double>());
  return std::nullopt;
}

// A JSON number read the way the platform's object tree converts it: a value that is exactly a
// 64-bit integer (7, 7.0, 1e3, -0.0) is an integer; any other number is a 32-bit float, with
// magnitudes beyond the float range becoming infinities.
Config numberConfig(double d) {
  if (const auto i = platform::sys::exactIntegerCast<std::int64_t>(d)) return Config(*i);
  return Config(d);
}

std::string floatText(float f) {
  std::string text;
  detail::appendFloatingText(text, f);
  return text;
}

bool isBooleanText(const Config& c) { return c.kind() == Config::Kind::string && c.boolean().has_value(); }

std::size_t mix(std::size_t seed, std::size_t value) { return platform::sys::hashCombine(seed, value); }

constexpr std::size_t kCrossCaseBucket = 0x5c4d3e2f1a0b9c8dULL;

}  // namespace

Config Config::makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
  Dictionary d;
  for (const auto& [key, value] : entries) d.insert_or_assign(key, value);
  return Config(std::move(d));
}

Config Config::makeArray(std::initializer_list<Config> elements) { return Config(Array(elements)); }

Config Config::makeToken(std::uint64_t id, std::string_view text) {
  return Config(Token{id, BinaryDistinctString(text)});
}

Config Config::fromJson(const Json& json) {
  switch (json.type()) {
    case Json::value_t::object: {
      Dictionary d;
      for (const auto& [key, child] : json.get_ref<const Json::object_t&>()) {
        d.emplace(BinaryDistinctString(platform::text::toUtf16(key)), fromJson(child));
      }
      return Config(std::move(d));
    }
    case Json::value_t::array: {
      Array a;
      const auto& elements = json.get_ref<const Json::array_t&>();
      a.reserve(elements.size());
      for (const auto& child : elements) a.push_back(fromJson(child));
      return Config(std::move(a));
    }
    case Json::value_t::string:
      return Config(BinaryDistinctString(platform::text::toUtf16(json.get_ref<const std::string&>())));
    case Json::value_t::number_integer:
      return Config(json.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return Config(json.get<std::uint64_t>());
    case Json::value_t::number_float:
      return numberConfig(json.get<double>());
    case Json::value_t::boolean:
      return Config(json.get<bool>());
    case Json::value_t::null:
      return Config();
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  unknownType(json);
}

namespace {

// Builds a Config straight from parser events, without an intermediate Json tree (whose
// ordered objects insert in linear time per key). Produces the same value as
// fromJson(platform::json::parse(text)); a repeated key keeps the later value.
class ConfigBuilder : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return add(Config()); }
  bool boolean(bool value) override { return add(Config(value)); }
  bool number_integer(number_integer_t value) override { return add(Config(static_cast<std::int64_t>(value))); }
  bool number_unsigned(number_unsigned_t value) override { return add(Config(static_cast<std::uint64_t>(value))); }
  bool number_float(number_float_t value, const string_t&) override { return add(numberConfig(value)); }
  bool string(string_t& value) override { return add(Config(BinaryDistinctString(platform::text::toUtf16(value)))); }
  bool binary(binary_t&) override {
    error_ = "binary values are not JSON";
    return false;
  }
  bool start_object(std::size_t) override {
    if (!checkDepth()) return false;
    frames_.push_back(Frame{Config::Dictionary{}, {}, {}, true});
    return true;
  }
  bool key(string_t& value) override {
    frames_.back().key = BinaryDistinctString(platform::text::toUtf16(value));
    return true;
  }
  bool end_object() override {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return add(Config(std::move(frame.dictionary)));
  }
  bool start_array(std::size_t) override {
    if (!checkDepth()) return false;
    frames_.push_back(Frame{{}, {}, {}, false});
    return true;
  }
  bool end_array() override {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return add(Config(std::move(frame.array)));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error_ = e.what();
    return false;
  }

  Config take() { return std::move(root_); }
  const std::string& error() const { return error_; }

 private:
  struct Frame {
    Config::Dictionary dictionary;
    Config::Array array;
    BinaryDistinctString key;
    bool isObject;
  };

  // Refuses input nested deeper than platform::json::parse accepts (every use of a Config tree
  // is recursive).
  bool checkDepth() {
    if (frames_.size() < platform::json::kMaximumNestingDepth) return true;
    error_ = platform::json::nestingTooDeepMessage();
    return false;
  }

  bool add(Config value) {
    if (frames_.empty()) {
      root_ = std::move(value);
    } else if (Frame& top = frames_.back(); top.isObject) {
      top.dictionary.insert_or_assign(std::move(top.key), std::move(value));
    } else {
      top.array.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Frame> frames_;
  Config root_;
  std::string error_;
};

}  // namespace

Config Config::parse(std::string_view jsonText) {
  ConfigBuilder builder;
  const bool ok = Json::sax_parse(jsonText.begin(), jsonText.end(), &builder);
  if (!ok) throw platform::json::JsonError("malformed JSON: " + builder.error());
  return builder.take();
}

Config Config::decode(const Json& json) {
  switch (json.type()) {
    case Json::value_t::null:
      return Config();
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: {
      if (auto i = exactInteger<std::int64_t>(json)) return Config(*i);
      // Every number that rounds to a finite float reads, FLT_MAX as encode() writes it
      // ("3.4028235e+38", a little above FLT_MAX) included.
      if (const auto f = platform::sys::checkedFloatCast(json.get<double>()); f && std::isfinite(*f)) {
        return Config(*f);
      }
      return Config();
    }
    case Json::value_t::boolean:
      return Config(json.get<bool>());
    case Json::value_t::string:
      return Config(BinaryDistinctString(platform::text::toUtf16(json.get_ref<const std::string&>())));
    case Json::value_t::array: {
      if (json.size() == 2 && json[1].is_string()) {
        if (auto id = exactInteger<std::uint64_t>(json[0])) {
          return Config(
              Token{*id, BinaryDistinctString(platform::text::toUtf16(json[1].get_ref<const std::string&>()))});
        }
      }
      Array a;
      a.reserve(json.size());
      for (const auto& child : json) a.push_back(decode(child));
      return Config(std::move(a));
    }
    case Json::value_t::object: {
      Dictionary d;
      for (const auto& [key, child] : json.get_ref<const Json::object_t&>()) {
        d.insert_or_assign(BinaryDistinctString(platform::text::toUtf16(key)), decode(child));
      }
      return Config(std::move(d));
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return Config();
}

Json Config::encode() const {
  switch (kind()) {
    case Kind::string:
      return Json(stringValue()->string());
    case Kind::integer:
      return Json(std::get<std::int64_t>(value_));
    case Kind::boolean:
      return Json(std::get<bool>(value_));
    case Kind::floating:
      return platform::json::fromFloat(std::get<float>(value_));
    case Kind::dictionary: {
      Json object = Json::object();
      auto& entries = object.get_ref<Json::object_t&>();
      const auto& d = std::get<Dictionary>(value_);
      entries.reserve(d.size());
      // Keys are unique already; append without ordered_map's linear duplicate search.
      for (const auto& [key, child] : d) entries.Json::object_t::Container::emplace_back(key.string(), child.encode());
      return object;
    }
    case Kind::array: {
      Json array = Json::array();
      const auto& a = std::get<Array>(value_);
      array.get_ref<Json::array_t&>().reserve(a.size());
      for (const auto& child : a) array.push_back(child.encode());
      return array;
    }
    case Kind::token: {
      const auto& t = std::get<Token>(value_);
      return Json::array({Json(t.id), Json(t.text.string())});
    }
    case Kind::null:
      break;
  }
  return Json(nullptr);
}

std::optional<std::int64_t> Config::integerValue() const {
  if (const auto* i = std::get_if<std::int64_t>(&value_)) return *i;
  return std::nullopt;
}

std::optional<float> Config::floatingValue() const {
  if (const auto* f = std::get_if<float>(&value_)) return *f;
  return std::nullopt;
}

BinaryDistinctString Config::snakeCase(const BinaryDistinctString& key) {
  const std::u16string_view units = key.view();
  std::u16string out;
  out.reserve(units.size() + 4);
  bool previousUppercase = true;
  for (std::size_t i = 0; i < units.size();) {
    std::size_t length = 1;
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      length = 2;
    }
    const bool upper = c < 0x80 ? (c >= 'A' && c <= 'Z') : platform::text::isUppercaseLetter(c);
    if (upper) {
      if (!previousUppercase) out.push_back(u'_');
      if (c < 0x80) {
        out.push_back(static_cast<char16_t>(c + 32));
      } else {
        out += platform::text::toLower(units.substr(i, length));
      }
    } else {
      out.append(units.substr(i, length));
    }
    previousUppercase = upper;
    i += length;
  }
  return BinaryDistinctString(std::move(out));
}

const Config& Config::operator[](const BinaryDistinctString& key) const {
  const auto* d = dictionaryValue();
  if (d == nullptr) return nullConfig();
  if (auto it = d->find(key); it != d->end()) return it->second;
  const BinaryDistinctString snake = snakeCase(key);
  if (snake != key) {
    if (auto it = d->find(snake); it != d->end()) return it->second;
  }
  return nullConfig();
}

const Config& Config::operator[](std::string_view key) const {
  if (dictionaryValue() == nullptr) return nullConfig();
  return (*this)[BinaryDistinctString(key)];
}

std::optional<Config> Config::member(std::string_view name) const {
  if (dictionaryValue() == nullptr) return std::nullopt;
  return (*this)[name];
}

std::optional<bool> Config::boolean() const {
  switch (kind()) {
    case Kind::boolean:
      return std::get<bool>(value_);
    case Kind::integer:
      return std::get<std::int64_t>(value_) == 1;
    case Kind::string: {
      const auto lower = platform::text::toLower(stringValue()->view());
      if (lower == u"true" || lower == u"t" || lower == u"1") return true;
      if (lower == u"false" || lower == u"f" || lower == u"0") return false;
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<std::string>> Config::stringArray() const {
  const auto* a = arrayValue();
  if (a == nullptr) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& element : *a) {
    if (const auto* s = element.stringValue()) out.push_back(s->string());
  }
  return out;
}

std::optional<std::pair<std::uint64_t, std::string>> Config::token() const {
  if (const auto* t = tokenValue()) return std::pair{t->id, t->text.string()};
  if (const auto* a = arrayValue(); a != nullptr && a->size() == 2) {
    const auto* text = (*a)[0].stringValue();
    const auto id = (*a)[1].integerValue();
    if (text != nullptr && id && *id >= 0) return std::pair{static_cast<std::uint64_t>(*id), text->string()};
  }
  return std::nullopt;
}

std::string Config::description() const {
  switch (kind()) {
    case Kind::string:
      return "\"" + stringValue()->string() + "\"";
    case Kind::integer:
      return std::to_string(std::get<std::int64_t>(value_));
    case Kind::boolean:
      return std::get<bool>(value_) ? "true" : "false";
    case Kind::floating:
      return floatText(std::get<float>(value_));
    case Kind::dictionary: {
      const auto& d = std::get<Dictionary>(value_);
      if (d.empty()) return "{[:]}";
      std::string out = "{[";
      bool first = true;
      for (const auto& [key, child] : d) {
        if (!first) out += ", ";
        first = false;
        out += key.string();
        out += ": ";
        out += child.description();
      }
      return out + "]}";
    }
    case Kind::array: {
      std::string out = "[[";
      bool first = true;
      for (const auto& child : std::get<Array>(value_)) {
        if (!first) out += ", ";
        first = false;
        out += child.description();
      }
      return out + "]]";
    }
    case Kind::token: {
      const auto& t = std::get<Token>(value_);
      return "(" + std::to_string(t.id) + ", " + t.text.string() + ")";
    }
    case Kind::null:
      break;
  }
  return "null";
}

bool dataEquals(const Config::Data& a, const Config::Data& b) {
  using Kind = Config::Kind;
  const auto ka = static_cast<Kind>(a.index());
  const auto kb = static_cast<Kind>(b.index());
  if (ka == Kind::string && kb == Kind::boolean) {
    const auto flag = Config(a).boolean();
    return flag && *flag == std::get<bool>(b);
  }
  if (ka == Kind::boolean && kb == Kind::string) return dataEquals(b, a);
  if (ka == Kind::integer && kb == Kind::boolean) return (std::get<std::int64_t>(a) == 1) == std::get<bool>(b);
  if (ka == Kind::boolean && kb == Kind::integer) return dataEquals(b, a);
  if (ka == Kind::integer && kb == Kind::floating) {
    return static_cast<float>(std::get<std::int64_t>(a)) == std::get<float>(b);
  }
  if (ka == Kind::floating && kb == Kind::integer) return dataEquals(b, a);
  if (ka != kb) return false;
  switch (ka) {
    case Kind::string:
      return std::get<BinaryDistinctString>(a) == std::get<BinaryDistinctString>(b);
    case Kind::integer:
      return std::get<std::int64_t>(a) == std::get<std::int64_t>(b);
    case Kind::boolean:
      return std::get<bool>(a) == std::get<bool>(b);
    case Kind::floating:
      return std::get<float>(a) == std::get<float>(b);
    case Kind::dictionary: {
      const auto& da = std::get<Config::Dictionary>(a);
      const auto& db = std::get<Config::Dictionary>(b);
      if (da.size() != db.size()) return false;
      for (const auto& [key, value] : da) {
        const auto it = db.find(key);
        if (it == db.end() || !(value == it->second)) return false;
      }
      return true;
    }
    case Kind::array: {
      const auto& aa = std::get<Config::Array>(a);
      const auto& ab = std::get<Config::Array>(b);
      if (aa.size() != ab.size()) return false;
      for (std::size_t i = 0; i < aa.size(); ++i) {
        if (!(aa[i] == ab[i])) return false;
      }
      return true;
    }
    case Kind::token:
      return std::get<Config::Token>(a) == std::get<Config::Token>(b);
    case Kind::null:
      return true;
  }
  return false;
}

bool operator==(const Config& a, const Config& b) { return dataEquals(a.value(), b.value()); }

}  // namespace noxtal

std::size_t std::hash<noxtal::Config>::operator()(const noxtal::Config& c) const noexcept {
  using Kind = noxtal::Config::Kind;
  using noxtal::mix;
  switch (c.kind()) {
    case Kind::integer:
    case Kind::boolean:
      return noxtal::kCrossCaseBucket;
    case Kind::string:
      if (noxtal::isBooleanText(c)) return noxtal::kCrossCaseBucket;
      return mix(1, std::hash<noxtal::BinaryDistinctString>{}(*c.stringValue()));
    case Kind::floating: {
      const float f = *c.floatingValue();
      // Any float equal to some 64-bit integer meets the integers' bucket.
      if (std::isfinite(f) && std::trunc(f) == f && std::fabs(f) <= 9.2233720368547758e18f) {
        return noxtal::kCrossCaseBucket;
      }
      return mix(4, std::hash<float>{}(f));
    }
    case Kind::dictionary: {
      std::size_t seed = 5;
      // Entries come in key order, so equal dictionaries feed the same sequence.
      for (const auto& [key, value] : *c.dictionaryValue()) {
        seed = mix(seed, std::hash<noxtal::BinaryDistinctString>{}(key));
        seed = mix(seed, (*this)(value));
      }
      return seed;
    }
    case Kind::array: {
      std::size_t seed = 6;
      for (const auto& value : *c.arrayValue()) seed = mix(seed, (*this)(value));
      return seed;
    }
    case Kind::token: {
      const auto* t = c.tokenValue();
      return mix(mix(7, std::hash<std::uint64_t>{}(t->id)), std::hash<noxtal::BinaryDistinctString>{}(t->text));
    }
    case Kind::null:
      break;
  }
  return 0;
}
