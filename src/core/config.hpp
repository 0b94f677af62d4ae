// The configuration value: a dynamically typed JSON value whose keys and strings are
// code-unit strings (BinaryDistinctString).
//
// The hub client's configuration loader turns parsed "config.json", "tokenizer_config.json"
// and "tokenizer.json" files into Config trees; the tokenizers read them by camelCase key
// (falling back to the snake_case form), inspect the case of what they get and read strings,
// numbers, flags, token pairs and string lists. Equality is lenient across cases (integer 1
// equals true, "T" equals true, 3 equals 3.0f), see operator==.
//
// A Config is an immutable-by-convention value: const operations are thread-safe; copies are
// deep. Dictionaries keep their entries sorted by key code units, which fixes the order of
// description() and encode().
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/binary_distinct_string.hpp"
#include "platform/json/json.hpp"
#include "platform/sys/checked_number.hpp"

namespace noxtal {

class Config {
 public:
  using Dictionary = std::map<BinaryDistinctString, Config, std::less<>>;
  using Array = std::vector<Config>;
  struct Token {
    std::uint64_t id = 0;
    BinaryDistinctString text;
    friend bool operator==(const Token&, const Token&) = default;
  };
  struct Null {
    friend bool operator==(Null, Null) { return true; }
  };
  // The cases, in this order: string, integer, boolean, floating, dictionary, array, token, null.
  using Data = std::variant<BinaryDistinctString, std::int64_t, bool, float, Dictionary, Array, Token, Null>;
  enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };

  // null.
  Config() : value_(Null{}) {}
  explicit Config(Data value) : value_(std::move(value)) {}
  // Literals of every kind.
  Config(BinaryDistinctString s) : value_(std::move(s)) {}          // NOLINT(google-explicit-constructor)
  Config(const char* utf8) : value_(BinaryDistinctString(utf8)) {}  // NOLINT(google-explicit-constructor)
  explicit Config(std::string_view utf8) : value_(BinaryDistinctString(utf8)) {}
  Config(bool b) : value_(b) {}  // NOLINT(google-explicit-constructor)
  // An integer; an unsigned value above INT64_MAX becomes floating.
  template <std::integral I>
  requires(!std::same_as<I, bool> && !std::same_as<I, char>) Config(I i)
      : value_(integerData(i)) {}  // NOLINT(google-explicit-constructor)
  Config(float f) : value_(f) {}   // NOLINT(google-explicit-constructor)
  // The nearest 32-bit float; a magnitude beyond the float range becomes an infinity.
  Config(double d) : value_(toFloat(d)) {}  // NOLINT(google-explicit-constructor)
  explicit Config(Dictionary d) : value_(std::move(d)) {}
  explicit Config(Array a) : value_(std::move(a)) {}
  explicit Config(Token t) : value_(std::move(t)) {}
  Config(std::nullptr_t) : value_(Null{}) {}  // NOLINT(google-explicit-constructor)

  // A dictionary literal; a key given twice keeps the later value.
  static Config makeDictionary(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);
  static Config makeArray(std::initializer_list<Config> elements);
  static Config makeToken(std::uint64_t id, std::string_view text);

  // Converts a parsed JSON tree: object -> dictionary (keys' UTF-16 units unchanged), array ->
  // array, string -> string, a number that is exactly a 64-bit integer (7, 7.0, 1e3) -> integer
  // (an unsigned integer above INT64_MAX -> floating), other number -> floating (32-bit; beyond
  // the float range an infinity), boolean -> boolean, null -> null. JSON arrays
  // never become tokens here. A binary or discarded value (never produced by a JSON parser) is
  // a programming error: the process stops with "unknown type: ...". Costs one pass over the
  // tree; the result owns its data.
  static Config fromJson(const platform::json::Json& json);
  // Parses UTF-8 JSON text straight into a Config, with the same result as
  // fromJson(platform::json::parse(text)) but without the intermediate tree (much faster for
  // large objects such as a tokenizer vocabulary). Throws platform::json::JsonError on
  // malformed text and on nesting deeper than platform::json::kMaximumNestingDepth.
  static Config parse(std::string_view jsonText);

  // Decoding (never fails): null -> null; a number that is exactly a 64-bit integer ->
  // integer; another number -> floating, or null when out of the 32-bit float range; boolean;
  // string; an array of exactly a non-negative integer then a string -> token; another array
  // -> array; an object -> dictionary.
  static Config decode(const platform::json::Json& json);
  // Encoding: scalars as themselves (floating in shortest form), null, arrays, a token as
  // [id, text], a dictionary as an object in key order. Throws platform::json::JsonError on a
  // NaN or infinite floating value (anywhere in the tree).
  platform::json::Json encode() const;

  const Data& value() const { return value_; }
  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNull() const { return kind() == Kind::null; }

  // The payload when the value is of that case, else nullptr / absent.
  const BinaryDistinctString* stringValue() const { return std::get_if<BinaryDistinctString>(&value_); }
  std::optional<std::int64_t> integerValue() const;
  std::optional<float> floatingValue() const;
  const Dictionary* dictionaryValue() const { return std::get_if<Dictionary>(&value_); }
  const Array* arrayValue() const { return std::get_if<Array>(&value_); }
  const Token* tokenValue() const { return std::get_if<Token>(&value_); }

  // Lookup in a dictionary: the value under `key` exactly, else under its snake_case form
  // (never the reverse), else null; null when this is not a dictionary. The reference stays
  // valid while this value lives (or for ever, for the shared null).
  const Config& operator[](const BinaryDistinctString& key) const;
  const Config& operator[](std::string_view key) const;
  const Config& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  // Member-name access (config.member("tokenizerClass")): absent when this is not a
  // dictionary; otherwise a copy of what operator[] finds (null when neither key exists).
  std::optional<Config> member(std::string_view name) const;

  // boolean: itself; integer: value == 1; string: lowercased "true"/"t"/"1" -> true,
  // "false"/"f"/"0" -> false, else absent; other cases: absent.
  std::optional<bool> boolean() const;
  // Absent unless an array; else the UTF-8 texts of its string elements, others skipped.
  std::optional<std::vector<std::string>> stringArray() const;
  // token: (id, text); an array of exactly [string, non-negative integer]: (integer, string);
  // else absent.
  std::optional<std::pair<std::uint64_t, std::string>> token() const;

  // "\"text\"", "12", "0.5" / "1.0" / "1e-05" (shortest float text, notation as for log
  // items), "true", "{[a: 1]}", "[[1, 2]]",
  // "(3, a)", "null". Dictionary entries in key order.
  std::string description() const;

  // Lenient equality: string vs boolean through boolean(); integer vs boolean as (integer ==
  // 1); integer vs floating through float(integer); dictionaries by key set and leniently
  // equal values; arrays element-wise; tokens by id and text units; null only with null;
  // every other mix is unequal. NaN is unequal to everything. Not transitive.
  friend bool operator==(const Config& a, const Config& b);

  // The snake_case form used by the second lookup step: before an uppercase letter (Lu or Lt)
  // that follows a non-uppercase one insert "_"; uppercase letters become their full
  // lowercase ("tokenizerClass" -> "tokenizer_class", "myURL" -> "my_url", "URLPath" ->
  // "urlpath").
  static BinaryDistinctString snakeCase(const BinaryDistinctString& key);

 private:
  // Rounds to nearest like the hardware conversion, but without its undefined behaviour: from
  // FLT_MAX plus half an ulp (2^128 - 2^103) upwards the result is an infinity.
  static float toFloat(double d) {
    if (const auto f = platform::sys::checkedFloatCast(d)) return *f;
    return d > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  }

  template <class I>
  static Data integerData(I i) {
    if (const auto v = platform::sys::checkedIntegralCast<std::int64_t>(i)) return *v;
    return static_cast<float>(i);  // only an unsigned value above INT64_MAX gets here
  }

  Data value_;
};

// Leniently equal Data values (the same rule as Config).
bool dataEquals(const Config::Data& a, const Config::Data& b);

}  // namespace noxtal

// Hashing agrees with the lenient equality: equal values always hash alike. Because the
// cross-case rules link every integer, every boolean, every string that reads as a boolean
// ("t", "F", "1", "true", ...) and every float with an integral value, all of these share one
// hash; other strings hash by code units, other floats by bit pattern, tokens by id and text,
// arrays element-wise and dictionaries by keys and values. Hashed collections of mostly such
// scalars therefore degrade to linear search; prefer another key type for them.
template <>
struct std::hash<noxtal::Config> {
  std::size_t operator()(const noxtal::Config& c) const noexcept;
};
