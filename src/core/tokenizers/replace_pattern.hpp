// The search-and-replace rule of the Replace normalizer and the Replace decoder, read from a
// stage object's "pattern" ({"String": text} or {"Regex": pattern}) and "content".
//
// A StringReplacePattern is immutable and may be shared between threads.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/config.hpp"
#include "platform/text/regex.hpp"

namespace noxtal::tokenizers {

class StringReplacePattern {
 public:
  // A compiled expression and a template ("$1" inserts group 1, a backslash quotes the next
  // character; a group the expression lacks inserts nothing).
  struct Regexp {
    platform::text::Regex regexp;
    std::string replacement;
  };
  // A literal search text and a literal replacement.
  struct String {
    std::string pattern;
    std::string replacement;
  };

  explicit StringReplacePattern(Regexp regexp) : value_(std::move(regexp)) {}
  explicit StringReplacePattern(String string) : value_(std::move(string)) {}

  const std::variant<Regexp, String>& value() const { return value_; }

  // Every match replaced, left to right without overlap. An empty literal search text has no
  // occurrence, so the text comes back unchanged. Throws TokenizerError::tooLong when the
  // regular expression cannot be matched against the text; a literal never throws.
  std::string replace(std::string_view text) const;

 private:
  std::variant<Regexp, String> value_;
};

// The pattern of a Replace stage object: absent when "content" is not a text or "pattern"
// holds neither a "String" nor a "Regex" text. Throws TokenizerError (invalidConfiguration,
// "Cannot build regexp from " + pattern) when the "Regex" does not compile.
std::optional<StringReplacePattern> readReplacePattern(const Config& config);

// Every occurrence of `pattern` in `text` replaced by `replacement`, scanned left to right
// without overlap; an empty `pattern` leaves the text unchanged.
std::string replacingOccurrences(std::string_view text, std::string_view pattern, std::string_view replacement);

}  // namespace noxtal::tokenizers
