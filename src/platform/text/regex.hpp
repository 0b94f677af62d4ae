// The project's one regular-expression engine: a compiled ICU pattern over UTF-8 text.
//
// Patterns use ICU syntax (Perl-like, Unicode-aware: \p{L}, \s matches Unicode white space,
// look-around, possessive quantifiers). Text goes in and comes out as UTF-8; every offset is a
// byte offset into the text given. Used by the tokenizers' splitting and the hub client's
// pattern checks. A Regex is immutable once built; one const Regex may be used from any
// number of threads at once (each call makes its own matcher).
//
// ICU matches by backtracking, with its backtracking stack on the heap and limited in size
// (8 MB unless RegexOptions says otherwise). A search that would need more stops with an
// error: every matching operation then throws RegexMatchError rather than answer as if the
// text had no further match. Some loops ((a|b)+, \S+) take stack for every character they
// match, so under the default limit a single match of about a million characters can fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace platform::text {

// A pattern that does not compile (or a replacement template that refers to a group the
// pattern lacks). what() names the pattern and ICU's reason.
class RegexError : public std::runtime_error {
 public:
  explicit RegexError(const std::string& message) : std::runtime_error(message) {}
};

// A matching operation that the engine could not finish, such as one whose backtracking
// stack reached its limit. No result of the operation is given. what() names the pattern, the
// length of the text and ICU's reason ("U_REGEX_STACK_OVERFLOW"). Not a RegexError, so a
// handler for patterns that do not compile does not take it for one. (Memory running out is
// std::bad_alloc, as everywhere.)
class RegexMatchError : public std::runtime_error {
 public:
  explicit RegexMatchError(const std::string& message) : std::runtime_error(message) {}
};

struct RegexOptions {
  bool caseInsensitive = false;  // Unicode simple case folding
  bool multiline = false;        // ^ and $ match at line starts and ends
  bool dotMatchesLineSeparators = false;
  bool allowCommentsAndWhitespace = false;  // white space and #-comments in the pattern are ignored
  // The size in bytes of each match's backtracking stack: absent keeps ICU's default (8 MB),
  // 0 lifts the limit. For callers that must bound the memory one match may take, or make a
  // match fail on purpose. Must not be negative.
  std::optional<std::int32_t> backtrackStackLimit = std::nullopt;
};

// A byte range [begin, end) in the searched text.
struct ByteRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

struct Match {
  // groups[0] is the whole match; groups[i] is capture group i, absent when it took no part.
  std::vector<std::optional<ByteRange>> groups;

  const ByteRange& range() const { return *groups[0]; }
  std::size_t begin() const { return range().begin; }
  std::size_t end() const { return range().end; }
  // The text of group `i` within `text` (the text that was searched), or empty when the group
  // took no part or does not exist.
  std::string_view str(std::string_view text, std::size_t i = 0) const;
};

class Regex {
 public:
  // Compiles `pattern` (UTF-8). Throws RegexError when it is not a valid pattern or
  // options.backtrackStackLimit is negative.
  explicit Regex(std::string_view pattern, RegexOptions options = {});
  // Copies share the compiled pattern (it is never modified).

  const std::string& pattern() const { return pattern_; }
  // Number of capture groups in the pattern.
  std::size_t groupCount() const { return groupCount_; }

  // Every matching operation below throws RegexMatchError when the engine cannot finish the
  // search (see the top of this file); it then gives no partial result.

  // True when the whole text matches the pattern.
  bool matches(std::string_view text) const;
  // True when the pattern matches somewhere in the text.
  bool contains(std::string_view text) const;
  // The first match that starts at or after byte offset `from`; absent when none or when
  // `from` is past the end.
  std::optional<Match> search(std::string_view text, std::size_t from = 0) const;
  // Every non-overlapping match, left to right (an empty match is followed by a search one
  // character further on).
  std::vector<Match> findAll(std::string_view text) const;

  // Every match replaced by `replacement`, in which $n and ${name} stand for a group's text
  // and a backslash quotes the next character. Throws RegexError when the replacement refers
  // to a group that does not exist.
  std::string replaceAll(std::string_view text, std::string_view replacement) const;
  // The same template replacement, but a template never makes it throw: a reference to a
  // group the pattern lacks ($7 with two groups, ${missing}) inserts nothing, a '$' that
  // starts no reference and an unterminated "${" are literal text. For templates read from
  // data files.
  std::string replaceAllLenient(std::string_view text, std::string_view replacement) const;
  // Every match replaced by what `replacer` returns for it (given the match and the text).
  std::string replaceAll(std::string_view text,
                         const std::function<std::string(const Match&, std::string_view)>& replacer) const;
  // The pieces of `text` between matches, in order, including empty pieces at either end or
  // between adjacent matches; a text without match gives one piece (the empty text gives one
  // empty piece). With `keepMatches` the matched texts are kept as pieces of their own
  // between the pieces around them.
  std::vector<std::string> split(std::string_view text, bool keepMatches = false) const;

  // `literal` with every character that has a meaning in a pattern quoted by a backslash.
  static std::string escape(std::string_view literal);

 private:
  std::string pattern_;
  RegexOptions options_;
  std::size_t groupCount_ = 0;
  std::shared_ptr<const icu::RegexPattern> compiled_;
};

}  // namespace platform::text
