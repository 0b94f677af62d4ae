#include "core/natural_boundary.hpp"

#include <algorithm>

#include "platform/text/text.hpp"

namespace noxtal {
namespace {

bool isSingle(std::u16string_view character, std::initializer_list<char16_t> members) {
  return character.size() == 1 && std::find(members.begin(), members.end(), character[0]) != members.end();
}

bool isSentenceEnder(std::u16string_view c) {
  return isSingle(c, {u'.', u'!', u'?', u'\u2026', u'\u3002', u'\uFF01', u'\uFF1F'});
}

bool isClauseMark(std::u16string_view c) { return isSingle(c, {u',', u';', u':', u'-', u'\u2013'}); }

bool isClosingMark(std::u16string_view c) {
  return isSingle(c, {u'"', u'\'', u'\u201D', u'\u2019', u')', u']', u'}', u'\u00BB', u'\u300D'});
}

char32_t firstScalar(std::u16string_view c) {
  const auto scalars = platform::text::codePoints(c.substr(0, std::min<std::size_t>(c.size(), 2)));
  return scalars.empty() ? U'\0' : scalars.front();
}

bool isWhitespaceCharacter(std::u16string_view c) { return !c.empty() && platform::text::isWhitespace(firstScalar(c)); }

bool isLineBreak(std::u16string_view c) {
  if (c.empty()) return false;
  const char32_t s = firstScalar(c);
  return (s >= 0x0A && s <= 0x0D) || s == 0x85 || s == 0x2028 || s == 0x2029;
}

// The text split into characters (grapheme clusters) as views into it.
std::vector<std::u16string_view> characters(std::u16string_view text) {
  const auto bounds = platform::text::graphemeBoundaries(text);
  std::vector<std::u16string_view> out;
  for (std::size_t i = 0; i + 1 < bounds.size(); ++i) out.push_back(text.substr(bounds[i], bounds[i + 1] - bounds[i]));
  return out;
}

std::u16string_view trimmedOfWhitespace(std::u16string_view text) {
  const auto scalars = platform::text::codePoints(text);
  std::size_t begin = 0, end = text.size();
  for (char32_t s : scalars) {
    if (!platform::text::isWhitespace(s)) break;
    begin += s > 0xFFFF ? 2 : 1;
  }
  for (auto it = scalars.rbegin(); it != scalars.rend() && end > begin; ++it) {
    if (!platform::text::isWhitespace(*it)) break;
    end -= *it > 0xFFFF ? 2 : 1;
  }
  return text.substr(begin, end - begin);
}

// Whether the last sentence ends at a natural boundary (see the header).
bool lastSentenceEndsNaturally(std::u16string_view sentence) {
  const auto chars = characters(sentence);
  std::size_t i = chars.size();
  bool sawLineBreak = false;
  while (i > 0 && (isWhitespaceCharacter(chars[i - 1]) || isClosingMark(chars[i - 1]))) {
    if (isLineBreak(chars[i - 1])) sawLineBreak = true;
    --i;
  }
  return sawLineBreak || (i > 0 && isSentenceEnder(chars[i - 1]));
}

}  // namespace

std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode) {
  if (text.empty()) return std::nullopt;
  const std::u16string wide = platform::text::toUtf16(text);
  const std::u16string_view all(wide);

  const auto accept = [&](std::size_t end) -> std::optional<std::string> {
    const std::u16string_view prefix = all.substr(0, end);
    const auto tokens = encode(platform::text::toUtf8(trimmedOfWhitespace(prefix)));
    if (tokens.size() >= static_cast<std::size_t>(std::max(minTokenCount, 0))) return platform::text::toUtf8(prefix);
    return std::nullopt;
  };

  const auto sentences = platform::text::sentenceRanges(all);
  for (std::size_t k = sentences.size(); k > 0; --k) {
    const auto& range = sentences[k - 1];
    if (k == sentences.size() && !lastSentenceEndsNaturally(all.substr(range.begin, range.end - range.begin))) continue;
    if (auto result = accept(range.end)) return result;
  }

  const auto bounds = platform::text::graphemeBoundaries(all);
  const std::size_t count = bounds.size() - 1;
  for (std::size_t w = count; w >= 1; --w) {
    const auto before = all.substr(bounds[w - 1], bounds[w] - bounds[w - 1]);
    if (!isClauseMark(before)) continue;
    if (w < count && !isWhitespaceCharacter(all.substr(bounds[w], bounds[w + 1] - bounds[w]))) continue;
    if (auto result = accept(bounds[w])) return result;
  }

  for (std::size_t w = count; w >= 1; --w) {
    if (all.substr(bounds[w - 1], bounds[w] - bounds[w - 1]) == u" ") return accept(bounds[w - 1]);
  }
  return std::nullopt;
}

}  // namespace noxtal
