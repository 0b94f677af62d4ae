#include "core/tokenizers/bpe_tokenizer.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <queue>
#include <utility>

#include "core/tokenizers/tokenizer_error.hpp"
#include "core/tokenizers/vocabulary.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {
namespace {

std::uint64_t pairKey(std::int32_t a, std::int32_t b) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) | static_cast<std::uint32_t>(b);
}

// The home slot of a key in a table of 2^bits slots (Fibonacci hashing).
std::size_t slotOf(std::uint64_t key, int bits) {
  return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// Words of at most this many characters are merged by scanning; longer ones through a queue.
constexpr std::size_t kShortWord = 32;

// The one code point that `cluster` (UTF-8) consists of; absent when it holds more or is
// invalid.
std::optional<char32_t> singleCodePoint(std::string_view cluster) {
  if (cluster.empty()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(cluster[0]);
  std::size_t length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    length = 1;
    value = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (cluster.size() != length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto c = static_cast<unsigned char>(cluster[i]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (c & 0x3F);
  }
  return value;
}

// One symbol of a word being merged: its symbol id and its bytes [begin, end) in the word, in a
// doubly linked list of the word's current symbols.
struct WordSymbol {
  std::int32_t id;
  std::uint32_t begin;
  std::uint32_t end;
  std::int32_t prev;
  std::int32_t next;
  bool alive;
};

// A candidate merge of the symbol at `left` with its successor, valid while both still hold
// the ids `a` and `b`.
struct Candidate {
  std::int32_t rank;
  std::int32_t left;
  std::int32_t a;
  std::int32_t b;
  // The queue's top is the lowest rank, and of one rank the leftmost position.
  friend bool operator<(const Candidate& x, const Candidate& y) {
    return x.rank != y.rank ? x.rank > y.rank : x.left > y.left;
  }
};

}  // namespace

BPETokenizer::BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokens& addedTokens)
    : directSymbolIds_(kDirectSymbols, -1) {
  const Config& model = tokenizerData["model"];
  const Config::Array* merges = model["merges"].arrayValue();
  if (merges == nullptr) throw TokenizerError::invalidConfiguration("BPETokenizer requires merges");
  const Config::Dictionary* vocab = model["vocab"].dictionaryValue();
  if (vocab == nullptr) throw TokenizerError::missingVocab();

  mergeTableBits_ = 1;
  while ((std::size_t{1} << mergeTableBits_) < 2 * merges->size()) ++mergeTableBits_;
  mergeTable_.assign(std::size_t{1} << mergeTableBits_, MergeSlot{kNoKey, Merge{0, 0}});
  symbolIds_.reserve(merges->size() + 256);
  std::int32_t position = 0;
  std::string joined;
  for (const Config& entry : *merges) {
    std::string text;
    std::string_view first;
    std::string_view second;
    if (const auto* merge = entry.stringValue()) {
      // Cut at every blank, empty parts kept; parts after the second are ignored.
      text = merge->string();
      const std::size_t blank = text.find(' ');
      if (blank == std::string::npos) throw TokenizerError::malformedVocab();
      first = std::string_view(text).substr(0, blank);
      second = std::string_view(text).substr(blank + 1);
      second = second.substr(0, second.find(' '));
    } else if (const Config::Array* parts = entry.arrayValue()) {
      // The string elements in order, others skipped.
      std::vector<const BinaryDistinctString*> strings;
      for (const Config& part : *parts) {
        if (const auto* s = part.stringValue()) strings.push_back(s);
        if (strings.size() == 2) break;
      }
      if (strings.size() < 2) throw TokenizerError::malformedVocab();
      text = strings[0]->string();
      const std::size_t split = text.size();
      text += strings[1]->string();
      first = std::string_view(text).substr(0, split);
      second = std::string_view(text).substr(split);
    } else {
      continue;  // takes no position
    }
    const std::int32_t a = internSymbol(first);
    const std::int32_t b = internSymbol(second);
    joined.assign(first);
    joined.append(second);
    const Merge merge{position, internSymbol(joined)};
    const std::uint64_t key = pairKey(a, b);
    std::size_t slot = slotOf(key, mergeTableBits_);
    while (mergeTable_[slot].key != kNoKey && mergeTable_[slot].key != key)
      slot = (slot + 1) & (mergeTable_.size() - 1);
    mergeTable_[slot] = MergeSlot{key, merge};  // a later duplicate takes the later rank
    ++position;
  }

  tokensToIds_.reserve(vocab->size() + addedTokens.size());
  for (const auto& [text, value] : *vocab) {
    const auto id = value.integerValue();
    if (!id) continue;
    tokensToIds_.try_emplace(text.string(), vocabularyId(*id));
  }
  for (const auto& [content, id] : addedTokens) tokensToIds_[content] = vocabularyId(id);
  idsToTokens_ = TokenTextsById(tokensToIds_, [&addedTokens](std::string_view text) {
    return !addedTokens.empty() && addedTokens.count(std::string(text)) > 0;
  });

  const auto idOf = [this](const std::optional<std::string>& token) -> std::optional<int> {
    if (!token) return std::nullopt;
    const auto it = tokensToIds_.find(*token);
    if (it == tokensToIds_.end()) return std::nullopt;
    return it->second;
  };
  unknownToken_ = specialTokenText(tokenizerConfig["unkToken"]);
  unknownTokenId_ = idOf(unknownToken_);
  eosToken_ = specialTokenText(tokenizerConfig["eosToken"]);
  eosTokenId_ = idOf(eosToken_);
  bosToken_ = specialTokenText(tokenizerConfig["bosToken"]);
  bosTokenId_ = idOf(bosToken_);
  fuseUnknownTokens_ = tokenizerConfig["fuseUnk"].boolean().value_or(false);
}

std::int32_t BPETokenizer::internSymbol(std::string_view symbol) {
  if (const auto it = symbolIds_.find(symbol); it != symbolIds_.end()) return it->second;
  const auto id = static_cast<std::int32_t>(symbolIds_.size());
  symbolIds_.emplace(std::string(symbol), id);
  if (const auto c = singleCodePoint(symbol); c && *c < kDirectSymbols) directSymbolIds_[*c] = id;
  return id;
}

std::int32_t BPETokenizer::symbolId(std::string_view symbol) const {
  if (const auto c = singleCodePoint(symbol); c && *c < kDirectSymbols) return directSymbolIds_[*c];
  const auto it = symbolIds_.find(symbol);
  return it == symbolIds_.end() ? -1 : it->second;
}

const BPETokenizer::Merge* BPETokenizer::findMerge(std::int32_t a, std::int32_t b) const {
  if (a < 0 || b < 0) return nullptr;
  const std::uint64_t key = pairKey(a, b);
  for (std::size_t slot = slotOf(key, mergeTableBits_);; slot = (slot + 1) & (mergeTable_.size() - 1)) {
    const MergeSlot& entry = mergeTable_[slot];
    if (entry.key == key) return &entry.merge;
    if (entry.key == kNoKey) return nullptr;
  }
}

std::optional<int> BPETokenizer::rank(const BytePair& pair) const {
  const Merge* merge = findMerge(symbolId(pair.a), symbolId(pair.b));
  if (merge == nullptr) return std::nullopt;
  return merge->rank;
}

// Merging runs in passes, one per rank, as the textbook loop does: the lowest-ranked pair
// present is merged at every occurrence, left to right, before any pair that those merges form
// is looked at (such a pair may rank lower still and is merged in a later pass).
template <class Emit>
void BPETokenizer::forEachSymbol(std::string_view token, Emit&& emit) const {
  if (token.empty()) return;
  // Byte-level and most Latin text, and SentencePiece words: every code point below U+0300 (but
  // CR, which joins with a following LF) is a character of its own, and so is U+2581 (grapheme
  // break class Other, not pictographic); such short words take their boundaries from the code
  // points. Anything else, invalid UTF-8 included, goes through the general boundaries.
  std::array<std::size_t, kShortWord + 1> shortBounds;
  std::size_t count = 0;
  bool simple = true;
  shortBounds[0] = 0;
  const auto byteAt = [token](std::size_t i) { return static_cast<unsigned char>(token[i]); };
  for (std::size_t i = 0; i < token.size();) {
    const unsigned char lead = byteAt(i);
    if (count == kShortWord) {
      simple = false;
      break;
    }
    if (lead < 0x80 && lead != '\r') {
      i += 1;
    } else if (lead >= 0xC2 && lead < 0xCC && i + 1 < token.size() && (byteAt(i + 1) & 0xC0) == 0x80) {
      i += 2;
    } else if (lead == 0xE2 && i + 2 < token.size() && byteAt(i + 1) == 0x96 && byteAt(i + 2) == 0x81) {
      i += 3;
    } else {
      simple = false;
      break;
    }
    shortBounds[++count] = i;
  }
  if (simple) {
    if (count < 2) {
      emit(token);
    } else {
      mergeShortWord(token, std::span<const std::size_t>(shortBounds.data(), count + 1), emit);
    }
    return;
  }
  const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(token);
  if (bounds.size() < 3) {
    emit(token);
  } else if (bounds.size() <= kShortWord + 1) {
    mergeShortWord(token, bounds, emit);
  } else {
    mergeLongWord(token, bounds, emit);
  }
}

// A short word is scanned whole for each pass; each symbol keeps the merge it makes with its
// successor, which only changes next to a merge.
template <class Emit>
void BPETokenizer::mergeShortWord(std::string_view token, std::span<const std::size_t> bounds, Emit&& emit) const {
  struct Symbol {
    std::int32_t id;
    std::uint32_t begin;
    std::uint32_t end;
    const Merge* merge;  // with the next symbol; null when none
  };
  constexpr auto noRank = std::numeric_limits<std::int32_t>::max();
  std::array<Symbol, kShortWord> word;
  std::size_t count = bounds.size() - 1;
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = static_cast<std::uint32_t>(bounds[i]);
    const auto end = static_cast<std::uint32_t>(bounds[i + 1]);
    word[i] = Symbol{symbolId(token.substr(begin, end - begin)), begin, end, nullptr};
  }
  for (std::size_t i = 0; i + 1 < count; ++i) word[i].merge = findMerge(word[i].id, word[i + 1].id);
  while (count > 1) {
    std::int32_t passRank = noRank;
    for (std::size_t i = 0; i + 1 < count; ++i) {
      if (word[i].merge != nullptr && word[i].merge->rank < passRank) passRank = word[i].merge->rank;
    }
    if (passRank == noRank) break;
    // Ranks are unique per pair, so the pair at i is the pass's pair exactly when its rank is.
    std::array<bool, kShortWord> changed;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++kept) {
      if (i + 1 < count && word[i].merge != nullptr && word[i].merge->rank == passRank) {
        word[kept] = Symbol{word[i].merge->result, word[i].begin, word[i + 1].end, nullptr};
        changed[kept] = true;
        i += 2;
      } else {
        word[kept] = word[i];
        changed[kept] = false;
        i += 1;
      }
    }
    count = kept;
    for (std::size_t i = 0; i + 1 < count; ++i) {
      if (changed[i] || changed[i + 1]) word[i].merge = findMerge(word[i].id, word[i + 1].id);
    }
    word[count - 1].merge = nullptr;
  }
  for (std::size_t i = 0; i < count; ++i) emit(token.substr(word[i].begin, word[i].end - word[i].begin));
}

// A long word keeps its symbols in a linked list and its candidate merges in a priority queue:
// O(n log n). A merge never re-forms the pair being merged (a non-empty symbol a + b equals
// neither a nor b), so the candidates of one pass are exactly those queued before it; pairs
// formed during the pass are queued after it.
template <class Emit>
void BPETokenizer::mergeLongWord(std::string_view token, std::span<const std::size_t> bounds, Emit&& emit) const {
  const std::size_t count = bounds.size() - 1;
  std::vector<WordSymbol> word(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto begin = static_cast<std::uint32_t>(bounds[i]);
    const auto end = static_cast<std::uint32_t>(bounds[i + 1]);
    word[i] = WordSymbol{symbolId(token.substr(begin, end - begin)),
                         begin,
                         end,
                         static_cast<std::int32_t>(i) - 1,
                         i + 1 < count ? static_cast<std::int32_t>(i + 1) : -1,
                         true};
  }

  std::vector<Candidate> queued;
  queued.reserve(count);
  for (std::size_t i = 0; i + 1 < count; ++i) {
    if (const Merge* merge = findMerge(word[i].id, word[i + 1].id)) {
      queued.push_back({merge->rank, static_cast<std::int32_t>(i), word[i].id, word[i + 1].id});
    }
  }
  std::priority_queue<Candidate> queue(std::less<Candidate>{}, std::move(queued));
  std::vector<Candidate> formed;
  const auto consider = [&](std::int32_t left) {
    const std::int32_t right = word[left].next;
    if (right < 0) return;
    if (const Merge* merge = findMerge(word[left].id, word[right].id)) {
      formed.push_back({merge->rank, left, word[left].id, word[right].id});
    }
  };

  while (!queue.empty()) {
    const std::int32_t passRank = queue.top().rank;
    formed.clear();
    while (!queue.empty() && queue.top().rank == passRank) {
      const Candidate candidate = queue.top();
      queue.pop();
      WordSymbol& left = word[candidate.left];
      if (!left.alive || left.id != candidate.a || left.next < 0) continue;
      WordSymbol& right = word[left.next];
      if (right.id != candidate.b) continue;
      left.id = findMerge(candidate.a, candidate.b)->result;
      left.end = right.end;
      left.next = right.next;
      if (right.next >= 0) word[right.next].prev = candidate.left;
      right.alive = false;
      if (left.prev >= 0) consider(left.prev);
      consider(candidate.left);
    }
    for (const Candidate& c : formed) queue.push(c);
  }

  for (std::int32_t i = 0; i >= 0; i = word[i].next) emit(token.substr(word[i].begin, word[i].end - word[i].begin));
}

std::vector<std::string> BPETokenizer::bpeSymbols(std::string_view token) const {
  std::vector<std::string> symbols;
  forEachSymbol(token, [&symbols](std::string_view symbol) { symbols.emplace_back(symbol); });
  return symbols;
}

std::string BPETokenizer::bpe(std::string_view token) const {
  const std::vector<std::string> symbols = bpeSymbols(token);
  std::string joined;
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += symbols[i];
  }
  return joined;
}

std::vector<std::string> BPETokenizer::byteFallback(std::string_view piece) const {
  // The piece is cut into the matches of the GPT-2 pattern ("'s|'t|...| ?\p{L}+| ?\p{N}+|
  // ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+") and every byte of every match becomes a token. Letters,
  // numbers, white space and everything else each start some alternative, so the matches tile
  // the piece and the tokens are simply the piece's bytes in order.
  std::vector<std::string> tokens;
  tokens.reserve(piece.size());
  for (const char c : piece) {
    char text[8];
    std::snprintf(text, sizeof text, "<0x%02X>", static_cast<unsigned>(static_cast<unsigned char>(c)));
    tokens.emplace_back(text);
  }
  return tokens;
}

std::vector<std::string> BPETokenizer::tokenize(std::string_view text) const {
  std::vector<std::string> tokens;
  const auto emitPart = [&](std::string_view part) {
    if (part.empty()) return;
    const auto it = tokensToIds_.find(part);
    if (it != tokensToIds_.end() && (!unknownTokenId_ || it->second != *unknownTokenId_)) {
      tokens.emplace_back(part);
      return;
    }
    for (std::string& byte : byteFallback(part)) tokens.push_back(std::move(byte));
  };
  // The symbols joined by blanks and cut again at blanks: each symbol's parts between blanks.
  forEachSymbol(text, [&](std::string_view symbol) {
    for (std::size_t blank = symbol.find(' '); blank != std::string_view::npos; blank = symbol.find(' ')) {
      emitPart(symbol.substr(0, blank));
      symbol.remove_prefix(blank + 1);
    }
    emitPart(symbol);
  });
  return tokens;
}

std::optional<int> BPETokenizer::convertTokenToId(std::string_view token) const {
  const auto it = tokensToIds_.find(token);
  if (it == tokensToIds_.end()) return unknownTokenId_;
  return it->second;
}

std::optional<std::string> BPETokenizer::convertIdToToken(int id) const {
  if (const std::string* text = idsToTokens_.find(id)) return *text;
  return std::nullopt;
}

}  // namespace noxtal::tokenizers
