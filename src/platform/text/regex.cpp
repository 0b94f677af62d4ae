#include "platform/text/regex.hpp"

#include <unicode/regex.h>
#include <unicode/utext.h>
#include <unicode/utypes.h>

#include <cctype>
#include <new>
#include <variant>

namespace platform::text {
namespace {

struct UTextCloser {
  void operator()(UText* t) const { utext_close(t); }
};
using UTextPtr = std::unique_ptr<UText, UTextCloser>;

// A matcher of its own for one call, reading the caller's UTF-8 bytes in place (native
// indices of a UTF-8 UText are byte offsets). Every search checks ICU's status: a search the
// engine could not finish throws RegexMatchError, never reads as "no further match".
struct Search {
  const std::string& pattern;
  std::size_t textSize;
  UTextPtr text;
  std::unique_ptr<icu::RegexMatcher> matcher;

  Search(const icu::RegexPattern& compiled, const std::string& source, const RegexOptions& options,
         std::string_view utf8)
      : pattern(source), textSize(utf8.size()) {
    UErrorCode status = U_ZERO_ERROR;
    static const char kEmpty[] = "";
    text.reset(
        utext_openUTF8(nullptr, utf8.empty() ? kEmpty : utf8.data(), static_cast<int64_t>(utf8.size()), &status));
    check(status);
    matcher.reset(compiled.matcher(status));
    if (!matcher && U_SUCCESS(status)) status = U_MEMORY_ALLOCATION_ERROR;
    check(status);
    if (options.backtrackStackLimit) {
      matcher->setStackLimit(*options.backtrackStackLimit, status);
      check(status);
    }
    matcher->reset(text.get());
  }

  void check(UErrorCode status) const {
    if (U_SUCCESS(status)) return;
    if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
    throw RegexMatchError("regular expression \"" + pattern + "\" cannot finish matching a text of " +
                          std::to_string(textSize) + " bytes: " + u_errorName(status));
  }

  // The next match after the previous one (the first from the start).
  bool findNext() {
    UErrorCode status = U_ZERO_ERROR;
    const bool found = matcher->find(status);
    check(status);
    return found;
  }
  // The first match that starts at or after `from`.
  bool findFrom(std::size_t from) {
    UErrorCode status = U_ZERO_ERROR;
    const bool found = matcher->find(static_cast<int64_t>(from), status);
    check(status);
    return found;
  }
  bool matchesWhole() {
    UErrorCode status = U_ZERO_ERROR;
    const bool matched = matcher->matches(status);
    check(status);
    return matched;
  }

  Match current() const {
    UErrorCode status = U_ZERO_ERROR;
    Match m;
    const int32_t n = matcher->groupCount();
    m.groups.resize(static_cast<std::size_t>(n) + 1);
    for (int32_t g = 0; g <= n; ++g) {
      const int64_t b = matcher->start64(g, status);
      const int64_t e = matcher->end64(g, status);
      if (U_SUCCESS(status) && b >= 0 && e >= b) {
        m.groups[static_cast<std::size_t>(g)] = ByteRange{static_cast<std::size_t>(b), static_cast<std::size_t>(e)};
      }
      status = U_ZERO_ERROR;
    }
    return m;
  }
};

uint32_t flagsOf(const RegexOptions& o) {
  uint32_t f = 0;
  if (o.caseInsensitive) f |= UREGEX_CASE_INSENSITIVE;
  if (o.multiline) f |= UREGEX_MULTILINE;
  if (o.dotMatchesLineSeparators) f |= UREGEX_DOTALL;
  if (o.allowCommentsAndWhitespace) f |= UREGEX_COMMENTS;
  return f;
}

// A parsed replacement template: literal pieces and group references.
using TemplatePart = std::variant<std::string, std::size_t>;

// Strict parsing throws RegexError for a reference to a group the pattern lacks and for a
// '$' that starts no reference. Lenient parsing never throws: such a reference inserts
// nothing, a '$' that starts none is literal, an unterminated "${" is literal text.
std::vector<TemplatePart> parseTemplate(std::string_view r, const icu::RegexPattern& pattern, std::size_t groupCount,
                                        bool lenient) {
  std::vector<TemplatePart> parts;
  std::string literal;
  auto flush = [&] {
    if (!literal.empty()) parts.emplace_back(std::move(literal));
    literal.clear();
  };
  for (std::size_t i = 0; i < r.size(); ++i) {
    const char c = r[i];
    if (c == '\\' && i + 1 < r.size()) {
      literal.push_back(r[++i]);
    } else if (c == '$' && i + 1 < r.size() && std::isdigit(static_cast<unsigned char>(r[i + 1]))) {
      // As many digits as still name an existing group.
      std::size_t group = static_cast<std::size_t>(r[i + 1] - '0');
      ++i;
      if (group > groupCount) {
        if (!lenient) throw RegexError("replacement refers to missing group $" + std::to_string(group));
        flush();
        continue;
      }
      while (i + 1 < r.size() && std::isdigit(static_cast<unsigned char>(r[i + 1]))) {
        const std::size_t next = group * 10 + static_cast<std::size_t>(r[i + 1] - '0');
        if (next > groupCount) break;
        group = next;
        ++i;
      }
      flush();
      parts.emplace_back(group);
    } else if (c == '$' && i + 1 < r.size() && r[i + 1] == '{') {
      const std::size_t close = r.find('}', i + 2);
      if (close == std::string_view::npos) {
        if (!lenient) throw RegexError("unterminated group name in replacement");
        literal.push_back(c);
        continue;
      }
      const std::string_view name = r.substr(i + 2, close - i - 2);
      UErrorCode status = U_ZERO_ERROR;
      const int32_t g = pattern.groupNumberFromName(name.data(), static_cast<int32_t>(name.size()), status);
      i = close;
      if (U_FAILURE(status)) {
        if (!lenient) throw RegexError("replacement refers to missing group ${" + std::string(name) + "}");
        continue;
      }
      flush();
      parts.emplace_back(static_cast<std::size_t>(g));
    } else if (c == '$' && !lenient) {
      throw RegexError("'$' in replacement not followed by a group number or name");
    } else {
      literal.push_back(c);
    }
  }
  flush();
  return parts;
}

std::string expandTemplate(const std::vector<TemplatePart>& parts, const Match& m, std::string_view text) {
  std::string piece;
  for (const auto& part : parts) {
    if (const auto* s = std::get_if<std::string>(&part)) {
      piece += *s;
    } else {
      piece += m.str(text, std::get<std::size_t>(part));
    }
  }
  return piece;
}

}  // namespace

std::string_view Match::str(std::string_view text, std::size_t i) const {
  if (i >= groups.size() || !groups[i]) return {};
  const ByteRange& r = *groups[i];
  if (r.end > text.size()) return {};
  return text.substr(r.begin, r.end - r.begin);
}

Regex::Regex(std::string_view pattern, RegexOptions options) : pattern_(pattern), options_(options) {
  if (options.backtrackStackLimit && *options.backtrackStackLimit < 0) {
    throw RegexError("negative backtracking stack limit for regular expression \"" + pattern_ + "\"");
  }
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  const icu::UnicodeString source =
      icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
  std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(source, flagsOf(options), parseError, status));
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status) || !compiled) {
    throw RegexError("invalid regular expression \"" + pattern_ + "\": " + u_errorName(status) + " at offset " +
                     std::to_string(parseError.offset));
  }
  // Only a matcher knows the number of groups.
  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(status));
  if (U_FAILURE(status) || !matcher) throw std::bad_alloc();  // the pattern compiled, so only memory is short
  groupCount_ = static_cast<std::size_t>(matcher->groupCount());
  compiled_ = std::move(compiled);
}

bool Regex::matches(std::string_view text) const { return Search(*compiled_, pattern_, options_, text).matchesWhole(); }

bool Regex::contains(std::string_view text) const { return search(text).has_value(); }

std::optional<Match> Regex::search(std::string_view text, std::size_t from) const {
  if (from > text.size()) return std::nullopt;
  Search s(*compiled_, pattern_, options_, text);
  if (!s.findFrom(from)) return std::nullopt;
  return s.current();
}

std::vector<Match> Regex::findAll(std::string_view text) const {
  std::vector<Match> out;
  Search s(*compiled_, pattern_, options_, text);
  while (s.findNext()) out.push_back(s.current());
  return out;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
  const auto parts = parseTemplate(replacement, *compiled_, groupCount_, false);
  return replaceAll(text, [&](const Match& m, std::string_view t) { return expandTemplate(parts, m, t); });
}

std::string Regex::replaceAllLenient(std::string_view text, std::string_view replacement) const {
  const auto parts = parseTemplate(replacement, *compiled_, groupCount_, true);
  return replaceAll(text, [&](const Match& m, std::string_view t) { return expandTemplate(parts, m, t); });
}

std::string Regex::replaceAll(std::string_view text,
                              const std::function<std::string(const Match&, std::string_view)>& replacer) const {
  std::string out;
  out.reserve(text.size());
  std::size_t last = 0;
  for (const Match& m : findAll(text)) {
    out.append(text.substr(last, m.begin() - last));
    out += replacer(m, text);
    last = m.end();
  }
  out.append(text.substr(last));
  return out;
}

std::vector<std::string> Regex::split(std::string_view text, bool keepMatches) const {
  std::vector<std::string> pieces;
  std::size_t last = 0;
  for (const Match& m : findAll(text)) {
    pieces.emplace_back(text.substr(last, m.begin() - last));
    if (keepMatches) pieces.emplace_back(m.str(text));
    last = m.end();
  }
  pieces.emplace_back(text.substr(last));
  return pieces;
}

std::string Regex::escape(std::string_view literal) {
  std::string out;
  out.reserve(literal.size() * 2);
  for (char c : literal) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80 && !std::isalnum(u) && c != '_') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

}  // namespace platform::text
