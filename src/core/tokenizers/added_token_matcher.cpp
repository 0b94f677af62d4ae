#include "core/tokenizers/added_token_matcher.hpp"

#include <algorithm>
#include <utility>

#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

namespace {

using platform::text::ByteRange;

// The code point starting at `at` and its length in bytes; an invalid sequence reads as one
// byte of U+FFFD.
std::pair<char32_t, std::size_t> codePointAt(std::string_view text, std::size_t at) {
  const auto b0 = static_cast<unsigned char>(text[at]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t length = 0;
  char32_t cp = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    cp = b0 & 0x07;
  } else {
    return {0xFFFD, 1};
  }
  if (at + length > text.size()) return {0xFFFD, 1};
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[at + i]);
    if ((b & 0xC0) != 0x80) return {0xFFFD, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  return {cp, length};
}

std::size_t nextCodePoint(std::string_view text, std::size_t at) { return at + codePointAt(text, at).second; }

bool isSpaceAt(std::string_view text, std::size_t at) {
  const auto b = static_cast<unsigned char>(text[at]);
  if (b < 0x80) return (b >= 0x09 && b <= 0x0D) || b == 0x20;
  // Every white-space character outside ASCII starts with one of these bytes.
  if (b != 0xC2 && b != 0xE1 && b != 0xE2 && b != 0xE3) return false;
  return platform::text::isWhitespace(codePointAt(text, at).first);
}

std::size_t skipSpaces(std::string_view text, std::size_t at) {
  while (at < text.size() && isSpaceAt(text, at)) at = nextCodePoint(text, at);
  return at;
}

}  // namespace

AddedTokenMatcher::AddedTokenMatcher(std::vector<AddedTokenPattern> entries) : entries_(std::move(entries)) {
  std::vector<std::size_t> lengths;
  lengths.reserve(entries_.size());
  std::vector<std::size_t> order(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    order[i] = i;
    lengths.push_back(platform::text::graphemeBoundaries(std::string_view(entries_[i].content)).size() - 1);
  }
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return lengths[a] > lengths[b]; });
  std::vector<AddedTokenPattern> sorted;
  sorted.reserve(entries_.size());
  for (const std::size_t i : order) sorted.push_back(std::move(entries_[i]));
  entries_ = std::move(sorted);

  nodes_.emplace_back();
  std::fill(std::begin(rootChildren_), std::end(rootChildren_), kNone);
  for (std::uint32_t index = 0; index < entries_.size(); ++index) {
    const AddedTokenPattern& entry = entries_[index];
    if (entry.lstrip || (entry.content.empty() && entry.rstrip)) whitespaceMatters_ = true;
    if (!entry.content.empty()) startsContent_[static_cast<unsigned char>(entry.content[0])] = true;
    std::uint32_t node = 0;
    for (const char c : entry.content) {
      const auto byte = static_cast<std::uint8_t>(c);
      std::uint32_t next = child(node, byte);
      if (next == kNone) {
        next = static_cast<std::uint32_t>(nodes_.size());
        nodes_.emplace_back();
        if (node == 0) {
          rootChildren_[byte] = next;
        } else {
          auto& children = nodes_[node].children;
          const auto at = std::lower_bound(children.begin(), children.end(), std::make_pair(byte, std::uint32_t{0}));
          children.insert(at, {byte, next});
        }
      }
      node = next;
    }
    nodes_[node].best = std::min(nodes_[node].best, index);
    if (entry.lstrip) nodes_[node].bestLstrip = std::min(nodes_[node].bestLstrip, index);
  }
}

std::uint32_t AddedTokenMatcher::child(std::uint32_t node, std::uint8_t byte) const {
  if (node == 0) return rootChildren_[byte];
  const auto& children = nodes_[node].children;
  const auto at = std::lower_bound(children.begin(), children.end(), std::make_pair(byte, std::uint32_t{0}));
  return (at != children.end() && at->first == byte) ? at->second : kNone;
}

std::uint32_t AddedTokenMatcher::bestAt(std::string_view text, std::size_t at, bool lstripOnly) const {
  std::uint32_t node = 0;
  std::uint32_t best = lstripOnly ? nodes_[0].bestLstrip : nodes_[0].best;
  for (std::size_t i = at; i < text.size(); ++i) {
    node = child(node, static_cast<std::uint8_t>(text[i]));
    if (node == kNone) break;
    best = std::min(best, lstripOnly ? nodes_[node].bestLstrip : nodes_[node].best);
  }
  return best;
}

bool AddedTokenMatcher::contentAt(std::string_view text, std::size_t at, std::uint32_t entry) const {
  return text.substr(at).starts_with(entries_[entry].content);
}

std::vector<AddedTokenMatcher::Cut> AddedTokenMatcher::matches(std::string_view text) const {
  std::vector<Cut> cuts;
  if (entries_.empty()) return cuts;

  // The white-space run under the current position: its code-point offsets up to and
  // including its end, and for each the best lstrip entry whose content starts there or
  // later in the run.
  std::vector<std::size_t> runOffsets;
  std::vector<std::uint32_t> runBest;
  std::size_t runEnd = 0;
  bool haveRun = false;

  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    const bool space = whitespaceMatters_ && isSpaceAt(text, pos);
    if (!space && !startsContent_[byte]) {
      ++pos;  // a continuation byte never starts a content, so bytes may be stepped one by one
      continue;
    }

    std::uint32_t best = bestAt(text, pos, false);
    std::size_t runIndex = 0;
    if (space) {
      if (!haveRun || pos >= runEnd) {
        runOffsets.clear();
        runBest.clear();
        runEnd = skipSpaces(text, pos);
        for (std::size_t q = pos; q < runEnd; q = nextCodePoint(text, q)) runOffsets.push_back(q);
        runOffsets.push_back(runEnd);
        runBest.resize(runOffsets.size());
        std::uint32_t suffix = kNone;
        for (std::size_t i = runOffsets.size(); i-- > 0;) {
          suffix = std::min(suffix, bestAt(text, runOffsets[i], true));
          runBest[i] = suffix;
        }
        haveRun = true;
      }
      runIndex = static_cast<std::size_t>(std::lower_bound(runOffsets.begin(), runOffsets.end(), pos) -
                                          runOffsets.begin());
      best = std::min(best, runBest[runIndex]);
    }
    if (best == kNone) {
      pos = nextCodePoint(text, pos);
      continue;
    }

    const AddedTokenPattern& entry = entries_[best];
    std::size_t contentBegin = pos;
    if (entry.lstrip && space) {
      // The greedy "\s*" gives back white space only as far as the content needs.
      for (std::size_t i = runOffsets.size(); i-- > runIndex;) {
        if (contentAt(text, runOffsets[i], best)) {
          contentBegin = runOffsets[i];
          break;
        }
      }
    }
    const std::size_t contentEnd = contentBegin + entry.content.size();
    const std::size_t end = entry.rstrip ? skipSpaces(text, contentEnd) : contentEnd;
    if (end == pos) {
      pos = nextCodePoint(text, pos);
      continue;
    }
    cuts.push_back({{pos, end}, {contentBegin, contentEnd}});
    pos = end;
  }
  return cuts;
}

std::vector<std::string_view> AddedTokenMatcher::sections(std::string_view text) const {
  const std::vector<Cut> cuts = matches(text);
  if (cuts.empty()) return {text};
  std::vector<std::string_view> pieces;
  std::size_t resume = 0;
  for (const Cut& cut : cuts) {
    if (cut.range.begin > resume) pieces.push_back(text.substr(resume, cut.range.begin - resume));
    if (cut.content.size() > 0) pieces.push_back(text.substr(cut.content.begin, cut.content.size()));
    resume = cut.range.end;
  }
  if (resume < text.size()) pieces.push_back(text.substr(resume));
  return pieces;
}

std::string AddedTokenMatcher::pattern() const {
  std::string out;
  for (const AddedTokenPattern& entry : entries_) {
    if (!out.empty()) out += '|';
    if (entry.lstrip) out += "\\s*";
    out += '(';
    out += platform::text::Regex::escape(entry.content);
    out += ')';
    if (entry.rstrip) out += "\\s*";
  }
  return out;
}

}  // namespace noxtal::tokenizers
