// Text-splitting helpers shared by the pre-tokenizers, the precompiled normalizer, the BPE
// model and the pipeline's cut at added tokens.
//
// A SearchPattern is a compiled regular expression or a literal text, built once and shared.
// Every helper looks only at non-empty matches: after an empty match the search goes on one
// code point further, and an empty match is never a piece or a cut point, so no pattern can
// make a helper loop for ever. Offsets are byte offsets into UTF-8 text.
//
// All functions are pure and thread-safe; a SearchPattern may be used from many threads.
// Every regular-expression search goes through findAllMatches or replaceAllMatches: a search
// the engine cannot finish (platform::text::RegexMatchError, such as a run of a million
// characters under \S+) throws TokenizerError::tooLong with the engine's reason as its
// message, never gives a shorter list of matches.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/regex.hpp"

namespace noxtal::tokenizers {

using platform::text::ByteRange;

// The byte-level pre-tokenizer's split pattern,
//   's|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+
// found by a hand-written scanner instead of the regex engine: the same ranges the pattern
// gives, several times faster. Text that is not valid UTF-8 goes through the pattern itself.
extern const char* const kByteLevelSplitPattern;
std::vector<ByteRange> byteLevelSplitRanges(std::string_view text);

// `regex.findAll(text)`; a search the engine cannot finish throws TokenizerError::tooLong.
std::vector<platform::text::Match> findAllMatches(const platform::text::Regex& regex, std::string_view text);
// `regex.replaceAllLenient(text, replacement)`, with the same error.
std::string replaceAllMatches(const platform::text::Regex& regex, std::string_view text,
                              std::string_view replacement);

class SearchPattern {
 public:
  // A regular expression (ICU syntax). One that does not compile matches nothing.
  static SearchPattern regex(std::string_view pattern);
  // A literal text, found wherever it occurs. The empty text matches nothing.
  static SearchPattern literal(std::string_view text);
  // `regex` or `literal` by the flag.
  static SearchPattern make(std::string_view pattern, bool isRegex) {
    return isRegex ? regex(pattern) : literal(pattern);
  }

  // The non-empty, non-overlapping matches, left to right.
  std::vector<ByteRange> matches(std::string_view text) const;

  // False for a regular expression that did not compile.
  bool isValid() const { return !isRegex_ || regex_.has_value(); }

 private:
  SearchPattern(std::string text, bool isRegex, std::optional<platform::text::Regex> regex)
      : text_(std::move(text)), isRegex_(isRegex), regex_(std::move(regex)) {}

  std::string text_;
  bool isRegex_;
  std::optional<platform::text::Regex> regex_;
};

// The ranges of all (non-empty) matches, in order.
std::vector<ByteRange> matchRanges(std::string_view text, const SearchPattern& pattern);
std::vector<ByteRange> matchRanges(std::string_view text, std::string_view pattern, bool regex);

// The non-empty pieces between matches, each match kept as a piece of its own when
// `keepMatches`. An empty text gives an empty list.
std::vector<std::string> splitAtMatches(std::string_view text, const SearchPattern& pattern, bool keepMatches);
std::vector<std::string> splitAtMatches(std::string_view text, std::string_view pattern, bool regex, bool keepMatches);

// The text cut in front of every match that does not start at the beginning. A text without
// such a match is one piece; an empty text gives an empty list.
std::vector<std::string> splitBeforeMatches(std::string_view text, const SearchPattern& pattern);
std::vector<std::string> splitBeforeMatches(std::string_view text, std::string_view pattern, bool regex);

// The text cut at every match of `regex`: the non-empty text before a match, then the text of
// the highest-numbered capture group that took part in the match (the whole match when none
// did; nothing when that text is empty), then the non-empty rest. A text with no match is the
// one-element list holding it, the empty text included.
std::vector<std::string> splitKeepingCaptures(std::string_view text, const platform::text::Regex& regex);

}  // namespace noxtal::tokenizers
