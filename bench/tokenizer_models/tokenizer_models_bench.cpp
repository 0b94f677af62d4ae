// Vocabulary-model throughput on English prose: the licence texts of the base system, cut by the
// byte-level pre-tokenizer, merged by a BPE model whose merges are learnt from the same text
// (most frequent pair first, over distinct words), and the Unigram model over the resulting
// pieces. Figures are MB/s of pre-token bytes, the pipeline's other stages left out.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/bpe_tokenizer.hpp"
#include "core/tokenizers/byte_level.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "platform/json/json.hpp"

namespace noxtal::tokenizers {
namespace {

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

std::vector<std::string> preTokens(const std::string& text) {
  const auto byteLevel = makePreTokenizer(Config::parse(R"({"type": "ByteLevel", "add_prefix_space": false})"));
  return byteLevel->preTokenize(text, {});
}

// Learns up to `count` merges: repeatedly the most frequent adjacent pair over the distinct
// words (ties by the pair's text), merged in every word.
platform::json::Json learnMerges(const std::vector<std::string>& words, std::size_t count) {
  std::map<std::string, int> frequency;
  for (const std::string& w : words) ++frequency[w];
  std::vector<std::pair<std::vector<std::string>, int>> split;
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
  platform::json::Json merges = platform::json::Json::array();
  for (std::size_t m = 0; m < count; ++m) {
    std::map<std::pair<std::string, std::string>, long> pairs;
    for (const auto& [symbols, n] : split) {
      for (std::size_t i = 0; i + 1 < symbols.size(); ++i) pairs[{symbols[i], symbols[i + 1]}] += n;
    }
    if (pairs.empty()) break;
    const auto best = std::max_element(pairs.begin(), pairs.end(),
                                       [](const auto& x, const auto& y) { return x.second < y.second; });
    const auto [a, b] = best->first;
    merges.push_back(a + " " + b);
    for (auto& [symbols, n] : split) {
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
    }
  }
  return merges;
}

struct Fixture {
  std::vector<std::string> words;
  std::size_t bytes = 0;
  std::unique_ptr<BPETokenizer> bpe;

  Fixture() {
    words = preTokens(licenceTexts());
    for (const std::string& w : words) bytes += w.size();
    const platform::json::Json merges = learnMerges(words, 3000);
    platform::json::Json vocab = platform::json::Json::object();
    int id = 0;
    for (int b = 0; b < 256; ++b) vocab[byteEncoder()[b]] = id++;
    for (const auto& merge : merges) {
      std::string text = merge.get<std::string>();
      text.erase(text.find(' '), 1);
      if (!vocab.contains(text)) vocab[text] = id++;
    }
    platform::json::Json data = {{"model", {{"vocab", vocab}, {"merges", merges}}}};
    bpe = std::make_unique<BPETokenizer>(Config::parse("{}"), Config::parse(data.dump()), AddedTokens{});
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

void BM_BpeLongWord(benchmark::State& state) {
  const Fixture& f = fixture();
  std::string word;
  while (word.size() < static_cast<std::size_t>(state.range(0))) word += f.words[word.size() % f.words.size()];
  for (auto _ : state) benchmark::DoNotOptimize(f.bpe->bpeSymbols(word).size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * word.size()));
}
BENCHMARK(BM_BpeLongWord)->Arg(1 << 14)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace noxtal::tokenizers

BENCHMARK_MAIN();
