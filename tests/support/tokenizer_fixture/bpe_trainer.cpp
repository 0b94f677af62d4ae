#include "support/tokenizer_fixture/bpe_trainer.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <queue>
#include <unordered_map>
#include <unordered_set>

#include "core/config.hpp"
#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "platform/text/text.hpp"

namespace tokenizer_fixture {

namespace {

using noxtal::Config;

std::uint64_t pairKey(int a, int b) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(a)) << 32) | static_cast<std::uint32_t>(b);
}

// splitmix64: a small generator whose sequence is fixed by its seed on every platform.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<std::uint64_t>(n)); }

 private:
  std::uint64_t state_;
};

struct Word {
  std::vector<int> symbols;
  long frequency;
};

struct Candidate {
  long count;
  int a;
  int b;
};

// Highest count first, then the lower ids.
struct CandidateOrder {
  bool operator()(const Candidate& x, const Candidate& y) const {
    if (x.count != y.count) return x.count < y.count;
    if (x.a != y.a) return x.a > y.a;
    return x.b > y.b;
  }
};

class Trainer {
 public:
  Trainer() {
    // GPT-2 order: the byte characters sorted by their code point.
    std::vector<std::pair<char32_t, int>> order;
    for (int b = 0; b < 256; ++b) {
      order.emplace_back(platform::text::codePoints(noxtal::tokenizers::byteEncoder()[b]).front(), b);
    }
    std::sort(order.begin(), order.end());
    for (const auto& [codePoint, byte] : order) {
      byteToSymbol_[byte] = static_cast<int>(symbols_.size());
      addSymbol(noxtal::tokenizers::byteEncoder()[byte]);
    }
  }

  void addText(std::string_view text) {
    const auto preTokenizer = noxtal::tokenizers::makePreTokenizer(
        Config::makeDictionary({{"type", "ByteLevel"}, {"add_prefix_space", false}, {"use_regex", true}}));
    std::map<std::string, long> counts;  // ordered, so words enter in a fixed order
    for (const std::string& piece : preTokenizer->preTokenize(text, {})) ++counts[piece];
    for (const auto& [piece, count] : counts) addWord(piece, count);
  }

  TrainedBpe train(int mergeCount) {
    Generator generator(0x5EED'70CE'4A11'2026ULL);
    while (static_cast<int>(merges_.size()) < mergeCount) {
      if (!mergeBest()) addPseudoWords(generator, 2000);
    }
    return {symbols_, merges_};
  }

 private:
  int addSymbol(std::string text) {
    const int id = static_cast<int>(symbols_.size());
    symbolIds_.emplace(text, id);
    symbols_.push_back(std::move(text));
    return id;
  }

  // `piece` is byte-level text: every code point is one byte character.
  void addWord(const std::string& piece, long frequency) {
    Word word{{}, frequency};
    for (const char32_t c : platform::text::codePoints(std::string_view(piece))) {
      const auto byte = noxtal::tokenizers::byteOfCharacter(c);
      if (!byte) return;
      word.symbols.push_back(byteToSymbol_[*byte]);
    }
    applyLearnedMerges(word.symbols);
    const int index = static_cast<int>(words_.size());
    words_.push_back(std::move(word));
    std::unordered_map<std::uint64_t, long> changes;
    countPairs(words_[index], +1, changes);
    for (const auto& [key, delta] : changes) where_[key].push_back(index);
    publish(changes);
  }

  // A word added after training began is spelt with the merges learned so far, lowest rank
  // first, as the tokenizer will spell it; otherwise its pairs would repeat old merges.
  void applyLearnedMerges(std::vector<int>& symbols) const {
    while (symbols.size() > 1) {
      std::size_t bestRank = SIZE_MAX;
      int a = 0;
      int b = 0;
      for (std::size_t i = 0; i + 1 < symbols.size(); ++i) {
        const auto found = ranks_.find(pairKey(symbols[i], symbols[i + 1]));
        if (found != ranks_.end() && found->second.first < bestRank) {
          bestRank = found->second.first;
          a = symbols[i];
          b = symbols[i + 1];
        }
      }
      if (bestRank == SIZE_MAX) return;
      const int merged = ranks_.at(pairKey(a, b)).second;
      std::vector<int> rebuilt;
      for (std::size_t i = 0; i < symbols.size();) {
        if (i + 1 < symbols.size() && symbols[i] == a && symbols[i + 1] == b) {
          rebuilt.push_back(merged);
          i += 2;
        } else {
          rebuilt.push_back(symbols[i++]);
        }
      }
      symbols = std::move(rebuilt);
    }
  }

  void countPairs(const Word& word, int sign, std::unordered_map<std::uint64_t, long>& changes) {
    for (std::size_t i = 0; i + 1 < word.symbols.size(); ++i) {
      const std::uint64_t key = pairKey(word.symbols[i], word.symbols[i + 1]);
      pairCounts_[key] += sign * word.frequency;
      changes[key] += sign * word.frequency;
    }
  }

  void publish(const std::unordered_map<std::uint64_t, long>& changes) {
    for (const auto& [key, delta] : changes) {
      if (delta == 0) continue;
      const long count = pairCounts_[key];
      if (count > 0) queue_.push({count, static_cast<int>(key >> 32), static_cast<int>(key & 0xFFFFFFFFu)});
    }
  }

  bool mergeBest() {
    while (!queue_.empty()) {
      const Candidate top = queue_.top();
      queue_.pop();
      const std::uint64_t key = pairKey(top.a, top.b);
      const auto found = pairCounts_.find(key);
      if (found == pairCounts_.end() || found->second != top.count || banned_.contains(key)) continue;
      std::string text = symbols_[top.a] + symbols_[top.b];
      if (symbolIds_.contains(text)) {
        banned_.insert(key);
        continue;
      }
      const int merged = addSymbol(std::move(text));
      ranks_.emplace(key, std::make_pair(merges_.size(), merged));
      apply(top.a, top.b, merged);
      merges_.emplace_back(top.a, top.b);
      return true;
    }
    return false;
  }

  void apply(int a, int b, int merged) {
    const std::uint64_t key = pairKey(a, b);
    std::vector<int> affected = std::move(where_[key]);
    where_.erase(key);
    std::sort(affected.begin(), affected.end());
    affected.erase(std::unique(affected.begin(), affected.end()), affected.end());
    std::unordered_map<std::uint64_t, long> changes;
    for (const int index : affected) {
      Word& word = words_[index];
      std::vector<int> rebuilt;
      rebuilt.reserve(word.symbols.size());
      bool changed = false;
      for (std::size_t i = 0; i < word.symbols.size();) {
        if (i + 1 < word.symbols.size() && word.symbols[i] == a && word.symbols[i + 1] == b) {
          rebuilt.push_back(merged);
          i += 2;
          changed = true;
        } else {
          rebuilt.push_back(word.symbols[i]);
          ++i;
        }
      }
      if (!changed) continue;
      countPairs(word, -1, changes);
      word.symbols = std::move(rebuilt);
      countPairs(word, +1, changes);
      for (std::size_t i = 0; i + 1 < word.symbols.size(); ++i) {
        if (word.symbols[i] == merged || word.symbols[i + 1] == merged) {
          where_[pairKey(word.symbols[i], word.symbols[i + 1])].push_back(index);
        }
      }
    }
    pairCounts_.erase(key);
    publish(changes);
  }

  void addPseudoWords(Generator& generator, int count) {
    for (int n = 0; n < count; ++n) {
      std::string word = generator.below(2) == 0 ? "\u0120" : "";
      const int length = 4 + generator.below(9);
      for (int i = 0; i < length; ++i) word += static_cast<char>('a' + generator.below(26));
      addWord(word, 1 + generator.below(5));
    }
  }

  std::vector<std::string> symbols_;
  std::unordered_map<std::string, int> symbolIds_;
  int byteToSymbol_[256] = {};
  std::vector<Word> words_;
  std::unordered_map<std::uint64_t, long> pairCounts_;
  std::unordered_map<std::uint64_t, std::vector<int>> where_;
  std::unordered_set<std::uint64_t> banned_;
  std::priority_queue<Candidate, std::vector<Candidate>, CandidateOrder> queue_;
  std::vector<std::pair<int, int>> merges_;
  std::unordered_map<std::uint64_t, std::pair<std::size_t, int>> ranks_;  // pair -> (rank, merged symbol)
};

}  // namespace

TrainedBpe trainByteLevelBpe(std::string_view text, int mergeCount) {
  Trainer trainer;
  trainer.addText(text);
  return trainer.train(mergeCount);
}

}  // namespace tokenizer_fixture
