// The record codec: a record declares its fields once, as a table of member pointers with their
// JSON keys, and gets its JSON encoding, decoding, equality (recordEquals) and a hash consistent
// with it (recordHash) from that table. Every record of
// the project with a JSON form (options, results, timings, device tables, transcript and IPC
// records, tokenizer configuration) is written this way.
//
//   struct Word {
//     std::string text{};
//     float start = 0;
//     std::optional<Kind> kind{};          // Kind has an EnumStrings table (see below)
//     std::vector<int> tokens{};
//
//     static constexpr auto fields() {
//       using platform::json::field;
//       return std::tuple{field("text", &Word::text), field("start", &Word::start),
//                         field("kind", &Word::kind), field("tokens", &Word::tokens)};
//     }
//     friend bool operator==(const Word& a, const Word& b) { return platform::json::recordEquals(a, b); }
//   };
//
//   Json j = platform::json::encode(word);                      // {"text":..,"start":..,"tokens":[..]}
//   Word w = platform::json::decode<Word>(j, "Word");           // throws JsonError
//
// The forms:
//   - an object with the keys in table order; an absent optional is left out, and reading
//     accepts it missing or null; every other key is required (missing or null is an error
//     naming the key); unknown keys are ignored. Keys must be unique (checked at compile time).
//   - bool, integers (exact: 3.0 reads as 3, 3.5 and out-of-range values are errors), float
//     (written in shortest round-trip form; any number that rounds to a finite float reads),
//     double, std::string, std::vector<T> (array), std::map<K, V> (object; integer keys in
//     decimal), std::optional<T> inside containers (null when absent), nested records, and
//     enumerations with an EnumStrings table (written as the case's string).
//   - writing a NaN or an infinity is an error (never a silent null): the number coders throw,
//     and dump() refuses what a custom coder let through.
//   - a field with an irregular form takes its own coder: field("task", &R::task, MyCoder{}),
//     where MyCoder has `Json encode(const T&) const` and `T decode(const Json&, std::string_view
//     key) const` (T is the member type, or its value type for an optional member).
//     KeyedEnumCoder<E> is the ready-made coder for the keyed form {"case":{}}.
//   - fields() must be constexpr. A key that must be present but may be null is not a table
//     form: check it with require() before decode() (as the shared TranscriptionResult does).
//
// Every value the writer produces reads back equal. All functions are thread-safe on distinct
// values; nothing is cached.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <concepts>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/json/json.hpp"
#include "platform/sys/hash.hpp"

namespace platform::json {

// The string form of an enumeration E: specialise with
//   static constexpr std::string_view typeName = "ChunkingStrategy";
//   static constexpr std::array<std::pair<E, std::string_view>, N> cases{{{E::none, "none"}, ...}};
template <class E>
struct EnumStrings;

template <class E>
concept StringEnum = std::is_enum_v<E> && requires {
  EnumStrings<E>::typeName;
  EnumStrings<E>::cases;
};

// The string of `value` in its table; empty for a value outside the table.
template <StringEnum E>
constexpr std::string_view enumString(E value) {
  for (const auto& [candidate, text] : EnumStrings<E>::cases) {
    if (candidate == value) return text;
  }
  return {};
}

// The case whose string equals `text` exactly (case-sensitive); absent for any other text.
template <StringEnum E>
constexpr std::optional<E> enumFromString(std::string_view text) {
  for (const auto& [candidate, name] : EnumStrings<E>::cases) {
    if (name == text) return candidate;
  }
  return std::nullopt;
}

// A type whose static fields() returns the tuple of its field("key", &R::member) entries.
template <class R>
concept Record = requires {
  R::fields();
};

// The coder of values of T; specialisations below. `key` names the field in error messages.
template <class T>
struct Coder;

namespace detail {

inline JsonError wrongType(std::string_view key, std::string_view expected, const Json& found) {
  return JsonError("wrong type for key \"" + std::string(key) + "\": expected " + std::string(expected) + ", found " +
                   found.type_name());
}

template <class T>
struct IsOptional : std::false_type {
  using Coded = T;
};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {
  using Coded = T;
};

// The type a field's coder handles: the value type of an optional member, else the member type.
template <class M>
using CodedType = typename IsOptional<M>::Coded;

}  // namespace detail

// One entry of a record's table.
template <class R, class M, class C>
struct Field {
  std::string_view key;
  M R::*member;
  C coder;
};

template <class R, class M>
constexpr Field<R, M, Coder<detail::CodedType<M>>> field(std::string_view key, M R::*member) {
  return {key, member, {}};
}

template <class R, class M, class C>
constexpr Field<R, M, C> field(std::string_view key, M R::*member, C coder) {
  return {key, member, coder};
}

namespace detail {

template <Record R>
constexpr bool hasUniqueKeys() {
  constexpr auto keys =
      std::apply([](const auto&... f) { return std::array<std::string_view, sizeof...(f)>{f.key...}; }, R::fields());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    for (std::size_t j = i + 1; j < keys.size(); ++j) {
      if (keys[i] == keys[j]) return false;
    }
  }
  return true;
}

template <class R, class M, class C>
void encodeField(Json& out, const R& record, const Field<R, M, C>& f) {
  const M& value = record.*(f.member);
  if constexpr (IsOptional<M>::value) {
    if (!value) return;
    out[std::string(f.key)] = f.coder.encode(*value);
  } else {
    out[std::string(f.key)] = f.coder.encode(value);
  }
}

template <class R, class M, class C>
void decodeField(const Json& object, R& record, const Field<R, M, C>& f) {
  const auto it = object.find(f.key);
  if constexpr (IsOptional<M>::value) {
    if (it == object.end() || it->is_null()) {
      record.*(f.member) = std::nullopt;
    } else {
      record.*(f.member) = f.coder.decode(*it, f.key);
    }
  } else {
    if (it == object.end()) throw JsonError("missing required key \"" + std::string(f.key) + "\"");
    if (it->is_null()) throw JsonError("null value for required key \"" + std::string(f.key) + "\"");
    record.*(f.member) = f.coder.decode(*it, f.key);
  }
}

}  // namespace detail

// The JSON object of `record`. Throws JsonError when a number in it is not finite.
template <Record R>
Json encode(const R& record) {
  static_assert(detail::hasUniqueKeys<R>(), "a record's table names a key twice");
  Json out = Json::object();
  std::apply([&](const auto&... f) { (detail::encodeField(out, record, f), ...); }, R::fields());
  return out;
}

// The record read from `value`; `what` names it when `value` is not an object. Members not in
// the table keep the record's defaults. Throws JsonError (naming the key) on a missing or null
// required key and on a value of the wrong type.
template <Record R>
R decode(const Json& value, std::string_view what) {
  static_assert(std::is_default_constructible_v<R>, "a record is decoded into a default-constructed value");
  if (!value.is_object()) throw JsonError("expected an object for " + std::string(what));
  R record{};
  std::apply([&](const auto&... f) { (detail::decodeField(value, record, f), ...); }, R::fields());
  return record;
}

// True when every field of the table compares equal with ==. Members left out of the table
// are not compared. recordHash (below) hashes the same fields consistently.
template <Record R>
bool recordEquals(const R& a, const R& b) {
  return std::apply([&](const auto&... f) { return ((a.*(f.member) == b.*(f.member)) && ...); }, R::fields());
}

// A hash of every field of the table, consistent with recordEquals (0.0 and -0.0 hash alike).
template <Record R>
std::size_t recordHash(const R& record);

// ---- Value coders

template <>
struct Coder<bool> {
  static Json encode(bool value) { return Json(value); }
  static bool decode(const Json& json, std::string_view key) { return detail::convertMember<bool>(json, key); }
};

template <std::integral T>
requires(!std::same_as<T, bool>) struct Coder<T> {
  static Json encode(T value) { return Json(value); }
  static T decode(const Json& json, std::string_view key) { return detail::convertMember<T>(json, key); }
};

template <>
struct Coder<float> {
  static Json encode(float value) { return fromFloat(value); }
  static float decode(const Json& json, std::string_view key) { return detail::convertMember<float>(json, key); }
};

template <>
struct Coder<double> {
  static Json encode(double value) { return fromDouble(value); }
  static double decode(const Json& json, std::string_view key) { return detail::convertMember<double>(json, key); }
};

template <>
struct Coder<std::string> {
  static Json encode(const std::string& value) { return Json(value); }
  static std::string decode(const Json& json, std::string_view key) {
    return detail::convertMember<std::string>(json, key);
  }
};

template <class T>
struct Coder<std::vector<T>> {
  static Json encode(const std::vector<T>& values) {
    Json out = Json::array();
    auto& elements = out.get_ref<Json::array_t&>();
    elements.reserve(values.size());
    for (const T& v : values) elements.push_back(Coder<T>::encode(v));
    return out;
  }
  static std::vector<T> decode(const Json& json, std::string_view key) {
    if (!json.is_array()) throw detail::wrongType(key, "an array", json);
    std::vector<T> out;
    out.reserve(json.size());
    for (const Json& element : json) out.push_back(Coder<T>::decode(element, key));
    return out;
  }
};

// Inside containers an absent value is null.
template <class T>
struct Coder<std::optional<T>> {
  static Json encode(const std::optional<T>& value) { return value ? Coder<T>::encode(*value) : Json(nullptr); }
  static std::optional<T> decode(const Json& json, std::string_view key) {
    if (json.is_null()) return std::nullopt;
    return Coder<T>::decode(json, key);
  }
};

// An object; integer keys are written in decimal and must read back as a whole decimal number.
template <class K, class V>
requires(std::same_as<K, std::string> || (std::integral<K> && !std::same_as<K, bool>)) struct Coder<std::map<K, V>> {
  static Json encode(const std::map<K, V>& map) {
    Json out = Json::object();
    for (const auto& [k, v] : map) {
      if constexpr (std::same_as<K, std::string>) {
        out[k] = Coder<V>::encode(v);
      } else {
        out[std::to_string(k)] = Coder<V>::encode(v);
      }
    }
    return out;
  }
  static std::map<K, V> decode(const Json& json, std::string_view key) {
    if (!json.is_object()) throw detail::wrongType(key, "an object", json);
    std::map<K, V> out;
    for (auto it = json.begin(); it != json.end(); ++it) {
      const std::string& text = it.key();
      if constexpr (std::same_as<K, std::string>) {
        out[text] = Coder<V>::decode(it.value(), key);
      } else {
        K k{};
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), k);
        if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
          throw JsonError("\"" + std::string(key) + "\" key \"" + text + "\" is not an integer");
        }
        out[k] = Coder<V>::decode(it.value(), key);
      }
    }
    return out;
  }
};

template <Record R>
struct Coder<R> {
  static Json encode(const R& record) { return platform::json::encode(record); }
  static R decode(const Json& json, std::string_view key) {
    return platform::json::decode<R>(json, "\"" + std::string(key) + "\"");
  }
};

// The case's string; reading any other string is an error.
template <StringEnum E>
struct Coder<E> {
  static Json encode(E value) { return Json(std::string(enumString(value))); }
  static E decode(const Json& json, std::string_view key) {
    if (!json.is_string()) throw detail::wrongType(key, "a string", json);
    const auto& text = json.get_ref<const std::string&>();
    const auto value = enumFromString<E>(text);
    if (!value) {
      throw JsonError("Cannot initialize " + std::string(EnumStrings<E>::typeName) + " from invalid String value " +
                      text);
    }
    return *value;
  }
};

// The keyed form of a case without payload: {"case":{}}. Reading requires an object in which
// exactly one of the case strings is a key (other keys are not counted), with an object as its
// value.
template <StringEnum E>
struct KeyedEnumCoder {
  Json encode(E value) const { return enumCase(enumString(value)); }
  E decode(const Json& json, std::string_view /*key*/) const {
    if (!json.is_object()) throw JsonError("expected an object for " + std::string(EnumStrings<E>::typeName));
    const Json* found = nullptr;
    std::optional<E> value;
    int count = 0;
    for (const auto& [candidate, name] : EnumStrings<E>::cases) {
      if (const auto it = json.find(name); it != json.end()) {
        ++count;
        found = &*it;
        value = candidate;
      }
    }
    if (count != 1) throw JsonError("Invalid number of keys found, expected one.");
    if (!found->is_object()) {
      throw JsonError("expected an object as the value of the " + std::string(EnumStrings<E>::typeName) + " case");
    }
    return *value;
  }
};

// ---- Hashes consistent with == for the types the coders support

template <class T>
struct Hasher;

namespace detail {

using platform::sys::hashCombine;

}  // namespace detail

template <class T>
requires(std::integral<T> || std::is_enum_v<T>) struct Hasher<T> {
  std::size_t operator()(T value) const { return std::hash<T>{}(value); }
};

template <std::floating_point T>
struct Hasher<T> {
  std::size_t operator()(T value) const { return value == 0 ? 0 : std::hash<T>{}(value); }
};

template <>
struct Hasher<std::string> {
  std::size_t operator()(const std::string& value) const { return std::hash<std::string>{}(value); }
};

template <class T>
struct Hasher<std::vector<T>> {
  std::size_t operator()(const std::vector<T>& values) const {
    std::size_t seed = values.size();
    for (const T& v : values) seed = detail::hashCombine(seed, Hasher<T>{}(v));
    return seed;
  }
};

template <class T>
struct Hasher<std::optional<T>> {
  std::size_t operator()(const std::optional<T>& value) const {
    return value ? detail::hashCombine(1, Hasher<T>{}(*value)) : 0;
  }
};

template <class K, class V>
struct Hasher<std::map<K, V>> {
  std::size_t operator()(const std::map<K, V>& map) const {
    std::size_t seed = map.size();
    for (const auto& [k, v] : map)
      seed = detail::hashCombine(detail::hashCombine(seed, Hasher<K>{}(k)), Hasher<V>{}(v));
    return seed;
  }
};

template <Record R>
struct Hasher<R> {
  std::size_t operator()(const R& record) const { return recordHash(record); }
};

template <Record R>
std::size_t recordHash(const R& record) {
  std::size_t seed = 0;
  std::apply(
      [&](const auto&... f) {
        ((seed = detail::hashCombine(seed,
                                     Hasher<std::remove_cvref_t<decltype(record.*(f.member))>>{}(record.*(f.member)))),
         ...);
      },
      R::fields());
  return seed;
}

}  // namespace platform::json
