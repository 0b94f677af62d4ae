// The cut of a text at its added tokens: a literal matcher with the meaning of the regular
// expression the pretrained pipeline would otherwise compile.
//
// That expression is one alternative per added token, longest content (in grapheme clusters)
// first, entries of equal length in file order: "\s*" (only with lstrip) + "(" + the content
// as a literal + ")" + "\s*" (only with rstrip), joined by "|". Searching it left to right
// finds, at the leftmost position where any alternative matches, the first alternative in that
// order; lstrip swallows the longest run of white space in front of the content that still
// lets the content follow, rstrip all white space after it. An empty match is skipped and the
// search goes on one character further. The matcher gives exactly those matches without a
// regular-expression engine: a byte trie over the contents finds the candidates at each
// position, so a cut costs about one trie step per byte of text whatever the number of
// tokens. `pattern()` returns the equivalent expression, which the tests compare against.
//
// White space is what "\s" means to the project's regular-expression engine: the Unicode
// White_Space property. Texts must be valid UTF-8 (the pipeline repairs its input first).
// Immutable after construction; every const member is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/regex.hpp"

namespace noxtal::tokenizers {

struct AddedTokenPattern {
  std::string content;
  bool lstrip = false;
  bool rstrip = false;
};

class AddedTokenMatcher {
 public:
  // One match: `range` is the whole match (white space included), `content` the token's own
  // text within it.
  struct Cut {
    platform::text::ByteRange range;
    platform::text::ByteRange content;
    friend bool operator==(const Cut&, const Cut&) = default;
  };

  // Matches nothing.
  AddedTokenMatcher() : AddedTokenMatcher(std::vector<AddedTokenPattern>{}) {}
  // `entries` in file order. An empty list matches nothing.
  explicit AddedTokenMatcher(std::vector<AddedTokenPattern> entries);

  bool empty() const { return entries_.empty(); }
  // The entries in matching order (longest first, stable).
  const std::vector<AddedTokenPattern>& entries() const { return entries_; }

  // The non-empty matches, left to right, without overlap.
  std::vector<Cut> matches(std::string_view text) const;

  // The sections of the text: the non-empty text before each match, the match's content
  // (when not empty; the white space it absorbed is dropped), and the non-empty rest. A
  // text without a match is the one section it is, even when empty.
  std::vector<std::string_view> sections(std::string_view text) const;

  // The regular expression (ICU syntax) with the same matches; empty without entries.
  std::string pattern() const;

 private:
  struct Node {
    // Children sorted by byte.
    std::vector<std::pair<std::uint8_t, std::uint32_t>> children;
    // Best (lowest) entry index among the contents ending here, and among those with lstrip.
    std::uint32_t best = kNone;
    std::uint32_t bestLstrip = kNone;
  };
  static constexpr std::uint32_t kNone = UINT32_MAX;

  std::uint32_t child(std::uint32_t node, std::uint8_t byte) const;
  // The lowest entry index whose content starts at `at`; with `lstripOnly` among lstrip
  // entries only.
  std::uint32_t bestAt(std::string_view text, std::size_t at, bool lstripOnly) const;
  bool contentAt(std::string_view text, std::size_t at, std::uint32_t entry) const;

  std::vector<AddedTokenPattern> entries_;
  std::vector<Node> nodes_;  // nodes_[0] is the root; its children are in rootChildren_
  std::uint32_t rootChildren_[256];
  bool startsContent_[256] = {};
  // True when white space can begin a match that no content explains (lstrip, or rstrip on an
  // empty content).
  bool whitespaceMatters_ = false;
};

}  // namespace noxtal::tokenizers
