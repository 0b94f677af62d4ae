#include "core/tokenizers/text_splitting.hpp"

#include "core/logging.hpp"

namespace noxtal::tokenizers {

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
    for (const platform::text::Match& m : regex_->findAll(text)) {
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
  for (const platform::text::Match& m : regex.findAll(text)) {
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

}  // namespace noxtal::tokenizers
