// Code-unit strings: text whose identity is its exact sequence of UTF-16 code units.
//
// Tokenizer vocabularies and configuration keys must keep apart texts that Unicode calls
// canonically equivalent (U+00E9 and "e" + U+0301 are two different vocabulary entries), so
// BinaryDistinctString compares, orders and hashes by code units and never normalises. It is
// the key and string type of Config and of the tokenizers' tables. Character positions
// (count, index, slices, iteration) count grapheme clusters of the decoded text.
//
// Both types are plain values: const operations are thread-safe, a value must not be
// modified while another thread reads it. A position outside the text is a programming
// error: the process stops with the message "Index out of bounds" (never an exception).
#pragma once

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

namespace noxtal {

// One user-perceived character (grapheme cluster) with its UTF-16 code units.
class BinaryDistinctCharacter {
 public:
  BinaryDistinctCharacter() = default;
  explicit BinaryDistinctCharacter(std::u16string bytes) : bytes_(std::move(bytes)) {}
  explicit BinaryDistinctCharacter(std::u16string_view bytes) : bytes_(bytes) {}
  explicit BinaryDistinctCharacter(const std::vector<char16_t>& bytes) : bytes_(bytes.begin(), bytes.end()) {}
  // The UTF-16 units of UTF-8 text (invalid UTF-8 becomes U+FFFD). Implicit so that a literal
  // can stand for a character.
  BinaryDistinctCharacter(const char* utf8);  // NOLINT(google-explicit-constructor)
  explicit BinaryDistinctCharacter(std::string_view utf8);

  const std::u16string& bytes() const { return bytes_; }
  // The decoded text as UTF-8.
  std::string string() const;
  // "BinaryDistinctCharacter('é', bytes: [\"0xE9\"])": the text, then each unit as "0x%02X".
  std::string description() const;

  friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;

 private:
  std::u16string bytes_;
};

// A string identified by its exact UTF-16 code units.
class BinaryDistinctString {
 public:
  class Iterator;

  BinaryDistinctString() = default;
  // The units exactly as given.
  explicit BinaryDistinctString(std::u16string value) : value_(std::move(value)) {}
  explicit BinaryDistinctString(std::u16string_view value) : value_(value) {}
  explicit BinaryDistinctString(const std::vector<char16_t>& value) : value_(value.begin(), value.end()) {}
  // The UTF-16 units of UTF-8 text (invalid UTF-8 becomes U+FFFD). The const char* form is
  // implicit so that a literal can stand for a value (config["model"], map keys).
  BinaryDistinctString(const char* utf8);  // NOLINT(google-explicit-constructor)
  explicit BinaryDistinctString(std::string_view utf8);
  explicit BinaryDistinctString(const std::string& utf8) : BinaryDistinctString(std::string_view(utf8)) {}
  // The characters' units concatenated in order.
  explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);

  // The code units.
  const std::u16string& value() const { return value_; }
  std::u16string_view view() const { return value_; }
  // The decoded text as UTF-8 (an unpaired surrogate becomes U+FFFD).
  std::string string() const;
  std::string description() const { return string(); }

  // Number of characters (grapheme clusters). startIndex() is 0 and endIndex() is count().
  std::size_t count() const;
  std::size_t startIndex() const { return 0; }
  std::size_t endIndex() const { return count(); }
  bool empty() const { return value_.empty(); }

  // Comparison by code units as unsigned 16-bit numbers; a prefix sorts first.
  friend bool operator==(const BinaryDistinctString& a, const BinaryDistinctString& b) { return a.value_ == b.value_; }
  friend std::strong_ordering operator<=>(const BinaryDistinctString& a, const BinaryDistinctString& b) {
    return a.view() <=> b.view();
  }
  // Heterogeneous comparison with raw units (for lookups without building a value).
  friend bool operator==(const BinaryDistinctString& a, std::u16string_view b) { return a.view() == b; }
  friend std::strong_ordering operator<=>(const BinaryDistinctString& a, std::u16string_view b) {
    return a.view() <=> b;
  }

  friend BinaryDistinctString operator+(const BinaryDistinctString& a, const BinaryDistinctString& b) {
    return BinaryDistinctString(a.value_ + b.value_);
  }

  // True when the first prefix.value().size() units equal `prefix` (an empty prefix always).
  bool hasPrefix(const BinaryDistinctString& prefix) const;
  // True when the last suffix.value().size() units equal `suffix`.
  bool hasSuffix(const BinaryDistinctString& suffix) const;
  // Full Unicode lower-casing (root locale); may change the number of units.
  BinaryDistinctString lowercased() const;
  // Every non-overlapping occurrence of `target` (by code units, left to right) replaced by
  // `replacement`. An empty target leaves the text unchanged.
  BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                            const BinaryDistinctString& replacement) const;

  // Character positions. index(i, n) is i + n, which must lie in 0...count() (otherwise
  // "Index out of bounds"). The limited form gives absent when i + n is greater than `limit`
  // (a negative i + n stops as above; a result above count() is returned unchecked).
  std::size_t index(std::size_t i, std::ptrdiff_t offsetBy) const;
  std::optional<std::size_t> index(std::size_t i, std::ptrdiff_t offsetBy, std::size_t limitedBy) const;
  // The characters in positions [lower, upper) with their units; both bounds in 0...count()
  // and lower <= upper (otherwise "Index out of bounds").
  BinaryDistinctString slice(std::size_t lower, std::size_t upper) const;
  // The characters from position `lower` to the end.
  BinaryDistinctString slice(std::size_t lower) const;

  // The characters, in order.
  std::vector<BinaryDistinctCharacter> characters() const;
  Iterator begin() const;
  Iterator end() const;

 private:
  std::u16string value_;
};

// Walks the characters of a BinaryDistinctString; valid while the string lives unchanged.
class BinaryDistinctString::Iterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = BinaryDistinctCharacter;
  using difference_type = std::ptrdiff_t;
  using pointer = void;
  using reference = BinaryDistinctCharacter;

  Iterator() = default;
  BinaryDistinctCharacter operator*() const;
  Iterator& operator++() {
    ++position_;
    return *this;
  }
  Iterator operator++(int) {
    Iterator old = *this;
    ++position_;
    return old;
  }
  friend bool operator==(const Iterator& a, const Iterator& b) { return a.position_ == b.position_; }

 private:
  friend class BinaryDistinctString;
  Iterator(const std::u16string* text, std::shared_ptr<const std::vector<std::size_t>> bounds, std::size_t position)
      : text_(text), bounds_(std::move(bounds)), position_(position) {}

  const std::u16string* text_ = nullptr;
  std::shared_ptr<const std::vector<std::size_t>> bounds_;
  std::size_t position_ = 0;
};

// The string types the tokenizers accept where a text is expected.
template <class T>
concept StringConvertible = std::same_as<std::remove_cvref_t<T>, BinaryDistinctString> ||
    std::same_as<std::remove_cvref_t<T>, std::string> || std::same_as<std::remove_cvref_t<T>, std::string_view>;

// `text` as a BinaryDistinctString (UTF-8 texts converted to their UTF-16 units).
inline BinaryDistinctString toBinaryDistinctString(const BinaryDistinctString& text) { return text; }
inline BinaryDistinctString toBinaryDistinctString(std::string_view text) { return BinaryDistinctString(text); }

}  // namespace noxtal

template <>
struct std::hash<noxtal::BinaryDistinctString> {
  std::size_t operator()(const noxtal::BinaryDistinctString& s) const noexcept {
    return std::hash<std::u16string_view>{}(s.view());
  }
};

template <>
struct std::hash<noxtal::BinaryDistinctCharacter> {
  std::size_t operator()(const noxtal::BinaryDistinctCharacter& c) const noexcept {
    return std::hash<std::u16string_view>{}(c.bytes());
  }
};

namespace noxtal {
namespace detail {

template <class Map>
concept BinaryDistinctKeyedMap = std::same_as<typename Map::key_type, BinaryDistinctString>;

template <class Map>
concept TextKeyedMap =
    std::same_as<typename Map::key_type, BinaryDistinctString> || std::same_as<typename Map::key_type, std::string>;

inline const BinaryDistinctString& asKey(const BinaryDistinctString& key) { return key; }
inline BinaryDistinctString asKey(const std::string& key) { return BinaryDistinctString(std::string_view(key)); }

}  // namespace detail

// Merges `other` into `self` (a std::map or std::unordered_map keyed by BinaryDistinctString;
// `other` keyed by BinaryDistinctString or by UTF-8 std::string, converted to code units).
// Keys on one side only are taken as they are; for a key on both sides `strategy(current,
// incoming)` gives the value to keep. Exceptions of `strategy` propagate (entries merged so far
// stay merged). Not thread-safe on `self`.
template <detail::BinaryDistinctKeyedMap Map, detail::TextKeyedMap Other, class Strategy>
requires std::same_as<typename Map::mapped_type, typename Other::mapped_type>
void merge(Map& self, const Other& other, Strategy&& strategy) {
  for (const auto& [key, incoming] : other) {
    auto [it, inserted] = self.try_emplace(detail::asKey(key), incoming);
    if (!inserted) it->second = strategy(std::as_const(it->second), incoming);
  }
}

// The same as merge(), on a copy of `self`, which is returned.
template <detail::BinaryDistinctKeyedMap Map, detail::TextKeyedMap Other, class Strategy>
requires std::same_as<typename Map::mapped_type, typename Other::mapped_type> Map merging(const Map& self,
                                                                                          const Other& other,
                                                                                          Strategy&& strategy) {
  Map copy = self;
  merge(copy, other, std::forward<Strategy>(strategy));
  return copy;
}

}  // namespace noxtal
