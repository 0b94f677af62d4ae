// Benchmarks of the pretrained pipeline on the generated Whisper-shaped tokenizer (50,000
// merges): loading (parse and build of the two files), encoding the licence texts as English
// prose with and without the 1,608 added tokens, and decoding.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/auto_tokenizer.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "core/tokenizers/tokenizer.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace {

using noxtal::tokenizers::Tokenizer;

const tokenizer_fixture::Files& files(tokenizer_fixture::Layout layout) {
  return tokenizer_fixture::makeTokenizerFiles({layout, 50'000});
}

std::shared_ptr<const Tokenizer> tokenizer(tokenizer_fixture::Layout layout) {
  const auto& f = files(layout);
  return noxtal::tokenizers::makePreTrainedTokenizer(f.tokenizerJson, f.tokenizerConfigJson, true);
}

// The licence texts as prose: about 1 MB, one text.
const std::string& prose() {
  static const std::string text = [] {
    std::string out;
    while (out.size() < 1'000'000) out += tokenizer_fixture::licenceTexts();
    return out;
  }();
  return text;
}

void BM_LoadTokenizer(benchmark::State& state) {
  const auto& f = files(tokenizer_fixture::Layout::english);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        noxtal::tokenizers::makePreTrainedTokenizer(f.tokenizerJson, f.tokenizerConfigJson, true));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(f.tokenizerJson.size()));
}
BENCHMARK(BM_LoadTokenizer)->Unit(benchmark::kMillisecond);

// The share of loading spent reading the JSON text into a Config.
void BM_ParseTokenizerJson(benchmark::State& state) {
  const auto& f = files(tokenizer_fixture::Layout::english);
  for (auto _ : state) benchmark::DoNotOptimize(noxtal::Config::parse(f.tokenizerJson));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(f.tokenizerJson.size()));
}
BENCHMARK(BM_ParseTokenizerJson)->Unit(benchmark::kMillisecond);

// range(0): 1 with the 1,608 added tokens (english layout), 0 without (plain layout).
void BM_Encode(benchmark::State& state) {
  const auto t = tokenizer(state.range(0) != 0 ? tokenizer_fixture::Layout::english : tokenizer_fixture::Layout::plain);
  const std::string& text = prose();
  std::size_t ids = 0;
  for (auto _ : state) {
    const std::vector<int> encoded = t->encode(text, false);
    ids = encoded.size();
    benchmark::DoNotOptimize(encoded.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
  state.counters["ids"] = static_cast<double>(ids);
}
BENCHMARK(BM_Encode)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// The share of encoding spent in the byte-level pre-tokenizer (its regular expression and the
// byte-character spelling).
void BM_PreTokenizeByteLevel(benchmark::State& state) {
  const auto preTokenizer = noxtal::tokenizers::makePreTokenizer(
      noxtal::Config::makeDictionary({{"type", "ByteLevel"}, {"add_prefix_space", false}}));
  const std::string& text = prose();
  for (auto _ : state) benchmark::DoNotOptimize(preTokenizer->preTokenize(text, {}));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_PreTokenizeByteLevel)->Unit(benchmark::kMillisecond);

void BM_Decode(benchmark::State& state) {
  const auto t = tokenizer(tokenizer_fixture::Layout::english);
  const std::vector<int> ids = t->encode(prose(), false);
  for (auto _ : state) benchmark::DoNotOptimize(t->decode(ids, true));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(ids.size()));
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
