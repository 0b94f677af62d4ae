#include "core/tokenizers/text_splitting.hpp"

#include "core/logging.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

std::vector<platform::text::Match> findAllMatches(const platform::text::Regex& regex, std::string_view text) {
  try {
    return regex.findAll(text);
  } catch (const platform::text::RegexMatchError& error) {
    throw TokenizerError::tooLong(error.what());
  }
}

std::string replaceAllMatches(const platform::text::Regex& regex, std::string_view text,
                              std::string_view replacement) {
  try {
    return regex.replaceAllLenient(text, replacement);
  } catch (const platform::text::RegexMatchError& error) {
    throw TokenizerError::tooLong(error.what());
  }
}

SearchPattern SearchPattern::regex(std::string_view pattern) {
  try {
    return SearchPattern(std::string(pattern), true, platform::text::Regex(pattern));
  } catch (const platform::text::RegexError& error) {
    Logging::debug("[Tokenizers] Pattern matches nothing:", error.what());
    return SearchPattern(std::string(pattern), true, std::nullopt);
  }
}

SearchPattern SearchPattern::literal(std::string_view text) { return SearchPattern(std::string(text), false, {}); }

std::vector<ByteRange> SearchPattern::matches(std::string_view text) const {
  std::vector<ByteRange> ranges;
  if (isRegex_) {
    if (!regex_) return ranges;
    // The engine itself resumes one code point past an empty match.
    for (const platform::text::Match& m : findAllMatches(*regex_, text)) {
      if (m.end() > m.begin()) ranges.push_back(m.range());
    }
    return ranges;
  }
  if (text_.empty()) return ranges;
  for (std::size_t at = text.find(text_); at != std::string_view::npos; at = text.find(text_, at + text_.size())) {
    ranges.push_back({at, at + text_.size()});
  }
  return ranges;
}

std::vector<ByteRange> matchRanges(std::string_view text, const SearchPattern& pattern) {
  return pattern.matches(text);
}

std::vector<ByteRange> matchRanges(std::string_view text, std::string_view pattern, bool regex) {
  return matchRanges(text, SearchPattern::make(pattern, regex));
}

std::vector<std::string> splitAtMatches(std::string_view text, const SearchPattern& pattern, bool keepMatches) {
  std::vector<std::string> pieces;
  std::size_t resume = 0;
  for (const ByteRange& r : pattern.matches(text)) {
    if (r.begin > resume) pieces.emplace_back(text.substr(resume, r.begin - resume));
    if (keepMatches) pieces.emplace_back(text.substr(r.begin, r.size()));
    resume = r.end;
  }
  if (resume < text.size()) pieces.emplace_back(text.substr(resume));
  return pieces;
}

std::vector<std::string> splitAtMatches(std::string_view text, std::string_view pattern, bool regex, bool keepMatches) {
  return splitAtMatches(text, SearchPattern::make(pattern, regex), keepMatches);
}

std::vector<std::string> splitBeforeMatches(std::string_view text, const SearchPattern& pattern) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  std::size_t start = 0;
  for (const ByteRange& r : pattern.matches(text)) {
    if (r.begin == 0) continue;
    pieces.emplace_back(text.substr(start, r.begin - start));
    start = r.begin;
  }
  pieces.emplace_back(text.substr(start));
  return pieces;
}

std::vector<std::string> splitBeforeMatches(std::string_view text, std::string_view pattern, bool regex) {
  return splitBeforeMatches(text, SearchPattern::make(pattern, regex));
}

std::vector<std::string> splitKeepingCaptures(std::string_view text, const platform::text::Regex& regex) {
  std::vector<std::string> pieces;
  std::size_t resume = 0;
  bool matched = false;
  for (const platform::text::Match& m : findAllMatches(regex, text)) {
    if (m.end() == m.begin()) continue;
    matched = true;
    if (m.begin() > resume) pieces.emplace_back(text.substr(resume, m.begin() - resume));
    std::size_t group = 0;
    for (std::size_t g = m.groups.size(); g-- > 1;) {
      if (m.groups[g]) {
        group = g;
        break;
      }
    }
    const std::string_view kept = m.str(text, group);
    if (!kept.empty()) pieces.emplace_back(kept);
    resume = m.end();
  }
  if (!matched) return {std::string(text)};
  if (resume < text.size()) pieces.emplace_back(text.substr(resume));
  return pieces;
}

const char* const kByteLevelSplitPattern =
    "'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+";

namespace {

enum class CharClass : unsigned char { letter, number, space, other };

struct ScannedCharacter {
  char32_t value;
  std::size_t begin;
  CharClass kind;
};

CharClass classify(char32_t c) {
  if (c < 0x80) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return CharClass::letter;
    if (c >= '0' && c <= '9') return CharClass::number;
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return CharClass::space;
    return CharClass::other;
  }
  if (platform::text::isLetter(c)) return CharClass::letter;
  if (platform::text::isNumber(c)) return CharClass::number;
  if (platform::text::isWhitespace(c)) return CharClass::space;
  return CharClass::other;
}

// The scalars of valid UTF-8 with their byte offsets and classes.
std::vector<ScannedCharacter> scan(std::string_view text) {
  std::vector<ScannedCharacter> out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t c = lead;
    if (lead >= 0xF0) {
      length = 4;
      c = lead & 0x07u;
    } else if (lead >= 0xE0) {
      length = 3;
      c = lead & 0x0Fu;
    } else if (lead >= 0xC0) {
      length = 2;
      c = lead & 0x1Fu;
    }
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    out.push_back({c, i, classify(c)});
    i += length;
  }
  return out;
}

}  // namespace

std::vector<ByteRange> byteLevelSplitRanges(std::string_view text) {
  if (!platform::text::isValidUtf8(text)) {
    static const SearchPattern pattern = SearchPattern::regex(kByteLevelSplitPattern);
    return pattern.matches(text);
  }
  const std::vector<ScannedCharacter> chars = scan(text);
  const std::size_t n = chars.size();
  const auto offset = [&](std::size_t index) { return index < n ? chars[index].begin : text.size(); };
  const auto runOf = [&](std::size_t from, CharClass kind) {
    while (from < n && chars[from].kind == kind) ++from;
    return from;
  };
  std::vector<ByteRange> ranges;
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = chars[i].value;
    std::size_t end = i;
    // The contractions, in the pattern's order.
    if (c == U'\'' && i + 1 < n) {
      const char32_t a = chars[i + 1].value;
      const char32_t b = i + 2 < n ? chars[i + 2].value : 0;
      if (a == U's' || a == U't' || a == U'm' || a == U'd') {
        end = i + 2;
      } else if ((a == U'r' && b == U'e') || (a == U'v' && b == U'e') || (a == U'l' && b == U'l')) {
        end = i + 3;
      }
    }
    if (end == i) {
      // An optional leading space (U+0020 only) before a run of letters, numbers or others.
      const std::size_t body = (c == U' ' && i + 1 < n && chars[i + 1].kind != CharClass::space) ? i + 1 : i;
      const CharClass kind = chars[body].kind;
      if (kind != CharClass::space) {
        end = runOf(body, kind);
      } else {
        // Whitespace: the run, less its last character when more follows it (\s+(?!\S)),
        // else the whole run; a single space before other text is a piece of its own.
        const std::size_t runEnd = runOf(i, CharClass::space);
        end = (runEnd < n && runEnd - i >= 2) ? runEnd - 1 : runEnd;
      }
    }
    ranges.push_back({offset(i), offset(end)});
    i = end;
  }
  return ranges;
}

}  // namespace noxtal::tokenizers
