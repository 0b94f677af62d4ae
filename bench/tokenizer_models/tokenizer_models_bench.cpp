// Vocabulary-model throughput on English prose: the licence texts of the base system, cut by the
// byte-level pre-tokenizer, merged by a BPE model whose merges are learnt from the same text
// (most frequent pair first, over distinct words), and the Unigram model over pieces of the same
// words. Figures are MB/s of pre-token bytes, the pipeline's other stages left out; the build
// benchmarks time a model's construction from an already parsed document.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "core/tokenizers/unigram_tokenizer.hpp"

namespace noxtal::tokenizers {
namespace {

using Merges = std::vector<std::pair<std::string, std::string>>;

std::string licenceTexts() {
  std::string text;
  for (const char* name : {"GPL-3", "GPL-2", "LGPL-3", "Apache-2.0", "MPL-2.0", "GFDL-1.3", "Artistic"}) {
    std::ifstream in(std::filesystem::path("/usr/share/common-licenses") / name);
    std::stringstream content;
    content << in.rdbuf();
    text += content.str();
  }
  if (text.empty()) text = "The quick brown fox jumps over the lazy dog, again and again. ";
  return text;
}

// `text` as a JSON string literal.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The "model" document of a BPE vocabulary: `symbols` in id order and the merges as strings.
Config bpeDocument(const std::vector<std::string>& symbols, const Merges& merges) {
  std::string text = R"({"model": {"type": "BPE", "vocab": {)";
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    if (i > 0) text += ", ";
    text += jsonString(symbols[i]) + ": " + std::to_string(i);
  }
  text += "}, \"merges\": [";
  for (std::size_t i = 0; i < merges.size(); ++i) {
    if (i > 0) text += ", ";
    text += jsonString(merges[i].first + " " + merges[i].second);
  }
  return Config::parse(text + "]}}");
}

// Learns up to `count` merges: repeatedly the most frequent adjacent pair over the distinct
// words (of equal counts the first found), merged in every word that holds it.
Merges learnMerges(const std::vector<std::string>& words, std::size_t count) {
  std::map<std::string, long> frequency;
  for (const std::string& w : words) ++frequency[w];
  std::vector<std::pair<std::vector<std::string>, long>> split;
  for (const auto& [word, n] : frequency) {
    std::vector<std::string> symbols;
    for (std::size_t i = 0; i < word.size();) {
      std::size_t length = 1;
      while (i + length < word.size() && (static_cast<unsigned char>(word[i + length]) & 0xC0) == 0x80) ++length;
      symbols.push_back(word.substr(i, length));
      i += length;
    }
    split.emplace_back(std::move(symbols), n);
  }
  std::map<std::pair<std::string, std::string>, long> pairs;
  const auto countPairs = [&pairs](const std::vector<std::string>& symbols, long n) {
    for (std::size_t i = 0; i + 1 < symbols.size(); ++i) pairs[{symbols[i], symbols[i + 1]}] += n;
  };
  for (const auto& [symbols, n] : split) countPairs(symbols, n);
  Merges merges;
  while (merges.size() < count) {
    const auto best =
        std::max_element(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) { return x.second < y.second; });
    if (best == pairs.end() || best->second <= 0) break;
    const auto [a, b] = best->first;
    merges.emplace_back(a, b);
    for (auto& [symbols, n] : split) {
      bool holds = false;
      for (std::size_t i = 0; i + 1 < symbols.size() && !holds; ++i) holds = symbols[i] == a && symbols[i + 1] == b;
      if (!holds) continue;
      countPairs(symbols, -n);
      std::vector<std::string> next;
      for (std::size_t i = 0; i < symbols.size(); ++i) {
        if (i + 1 < symbols.size() && symbols[i] == a && symbols[i + 1] == b) {
          next.push_back(a + b);
          ++i;
        } else {
          next.push_back(symbols[i]);
        }
      }
      symbols = std::move(next);
      countPairs(symbols, n);
    }
    std::erase_if(pairs, [](const auto& entry) { return entry.second <= 0; });
  }
  return merges;
}

struct Fixture {
  std::vector<std::string> words;
  std::size_t bytes = 0;
  std::unique_ptr<BPETokenizer> bpe;

  Fixture() {
    const auto byteLevel = makePreTokenizer(Config::parse(R"({"type": "ByteLevel", "add_prefix_space": false})"));
    words = byteLevel->preTokenize(licenceTexts(), {});
    for (const std::string& w : words) bytes += w.size();
    const Merges merges = learnMerges(words, 3000);
    std::vector<std::string> symbols(byteEncoder().begin(), byteEncoder().end());
    std::unordered_set<std::string> known(symbols.begin(), symbols.end());
    for (const auto& [a, b] : merges) {
      if (known.insert(a + b).second) symbols.push_back(a + b);
    }
    bpe = std::make_unique<BPETokenizer>(Config::parse("{}"), bpeDocument(symbols, merges), AddedTokens{});
  }
};

const Fixture& fixture() {
  static const Fixture f;
  return f;
}

void BM_BpeTokenizeProse(benchmark::State& state) {
  const Fixture& f = fixture();
  for (auto _ : state) {
    std::size_t tokens = 0;
    for (const std::string& w : f.words) tokens += f.bpe->tokenize(w).size();
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_BpeTokenizeProse)->Unit(benchmark::kMillisecond);

// One pre-token of the given length made of the prose's words glued together.
void BM_BpeLongWord(benchmark::State& state) {
  const Fixture& f = fixture();
  std::string word;
  for (std::size_t i = 0; word.size() < static_cast<std::size_t>(state.range(0)); ++i) {
    word += f.words[i % f.words.size()];
  }
  for (auto _ : state) benchmark::DoNotOptimize(f.bpe->bpeSymbols(word).size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * word.size()));
}
BENCHMARK(BM_BpeLongWord)->Arg(1 << 14)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

// Building a model of the size of the speech model's vocabulary: 256 byte characters, 50,000
// merges of earlier symbols (each result a new vocabulary entry).
void BM_BpeBuild(benchmark::State& state) {
  std::vector<std::string> symbols(byteEncoder().begin(), byteEncoder().end());
  std::unordered_set<std::string> known(symbols.begin(), symbols.end());
  Merges merges;
  std::uint64_t seed = 12345;
  const auto next = [&seed](std::size_t bound) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<std::size_t>((seed >> 33) % bound);
  };
  while (merges.size() < 50000) {
    const std::string& a = symbols[symbols.size() - 1 - next(std::min<std::size_t>(symbols.size(), 2000))];
    const std::string& b = symbols[next(256)];
    std::string joined = a + b;
    if (!known.insert(joined).second) continue;
    merges.emplace_back(a, b);
    symbols.push_back(std::move(joined));
  }
  const Config data = bpeDocument(symbols, merges);
  const Config config = Config::parse(R"({"unk_token": "<|endoftext|>"})");
  for (auto _ : state) {
    BPETokenizer bpe(config, data, AddedTokens{{"<|endoftext|>", 50256}});
    benchmark::DoNotOptimize(bpe.tokensToIds().size());
  }
}
BENCHMARK(BM_BpeBuild)->Unit(benchmark::kMillisecond);

// A Unigram vocabulary of XLM-R's size: 250,000 pieces cut from the prose's words (spelt with
// "▁" in front, as the Metaspace pre-tokenizer gives them) and made-up ones, scores falling with
// the position.
struct UnigramFixture {
  std::vector<std::string> words;
  std::size_t bytes = 0;
  Config data;

  UnigramFixture() {
    std::istringstream prose(licenceTexts());
    for (std::string w; prose >> w;) {
      if (std::all_of(w.begin(), w.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        words.push_back("\u2581" + w);
      }
    }
    for (const std::string& w : words) bytes += w.size();
    std::unordered_set<std::string> known = {"<unk>"};
    std::string text = R"({"model": {"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0.0])";
    std::uint64_t seed = 99;
    for (std::size_t i = 0; known.size() < 250000 && i < 100 * words.size(); ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      const std::string& w = words[(seed >> 33) % words.size()];
      // A piece starts at the 3-byte "▁" or after it.
      const std::size_t start = (seed >> 20) % 2 == 0 ? 0 : 3 + (seed >> 21) % (w.size() - 3);
      const std::size_t length = (start == 0 ? 3 : 0) + 1 + (seed >> 8) % 6;
      std::string piece = w.substr(start, length);
      if (i % 5 == 0) piece += std::to_string(i);
      if (!known.insert(piece).second) continue;
      text +=
          ", [" + jsonString(piece) + ", " + std::to_string(-1.0 - static_cast<double>(known.size()) / 1000.0) + "]";
    }
    data = Config::parse(text + "]}}");
  }
};

const UnigramFixture& unigramFixture() {
  static const UnigramFixture f;
  return f;
}

void BM_UnigramBuild(benchmark::State& state) {
  const UnigramFixture& f = unigramFixture();
  const Config config = Config::parse("{}");
  for (auto _ : state) {
    UnigramTokenizer unigram(config, f.data, {});
    benchmark::DoNotOptimize(unigram.vocab().size());
  }
}
BENCHMARK(BM_UnigramBuild)->Unit(benchmark::kMillisecond);

void BM_UnigramTokenizeProse(benchmark::State& state) {
  const UnigramFixture& f = unigramFixture();
  const UnigramTokenizer unigram(Config::parse("{}"), f.data, {});
  for (auto _ : state) {
    std::size_t tokens = 0;
    for (const std::string& w : f.words) tokens += unigram.tokenize(w).size();
    benchmark::DoNotOptimize(tokens);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.bytes));
}
BENCHMARK(BM_UnigramTokenizeProse)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace noxtal::tokenizers

BENCHMARK_MAIN();
