// The per-step cost around the decoder model at the large-v3 vocabulary (V = 51,866): the
// three built-in filters (blank suppression, a suppression list, the timestamp rules with their
// probability test) and the greedy draw at temperature 0 with top-k 5. Both together should stay
// within 0.25 ms a step.
#include <benchmark/benchmark.h>

#include <random>

#include "speech/decoding/logits_filters.hpp"
#include "speech/decoding/token_sampler.hpp"

namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr std::int64_t kVocabulary = 51866;

std::vector<float> randomLogits(unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> noise(0, 3);
  std::vector<float> values(kVocabulary);
  for (float& v : values) v = noise(random);
  return values;
}

// The large-v3 layout: one more language token shifts the ids after the languages by one.
vostrane::SpecialTokens largeV3Tokens() {
  vostrane::SpecialTokens s;
  s.noSpeechToken = 50363;
  s.noTimestampsToken = 50364;
  s.startOfPreviousToken = 50362;
  s.timeTokenBegin = 50365;
  s.transcribeToken = 50360;
  s.translateToken = 50359;
  return s;
}

void BM_FilterChain(benchmark::State& state) {
  const vostrane::SpecialTokens special = largeV3Tokens();
  const std::vector<int> prompt{50258, 50259, 50360, 50365};
  const std::vector<std::shared_ptr<const vostrane::LogitsFiltering>> filters = {
      std::make_shared<vostrane::SuppressBlankFilter>(special, static_cast<int>(prompt.size())),
      std::make_shared<vostrane::SuppressTokensFilter>(std::vector<int>{1, 2, 7, 8, 9, 10, 14, 25, 26, 27, 28, 29}),
      std::make_shared<vostrane::TimestampRulesFilter>(special, static_cast<int>(prompt.size()), std::nullopt, true),
  };
  // A few text tokens after a timestamp: the common step.
  std::vector<int> tokens = prompt;
  tokens.insert(tokens.end(), {50365, 400, 1200, 77});
  const std::vector<float> source = randomLogits(1);
  MultiArray logits({1, 1, kVocabulary}, DataType::float32);
  for (auto _ : state) {
    state.PauseTiming();
    std::copy(source.begin(), source.end(), logits.span<float>().begin());
    state.ResumeTiming();
    MultiArray filtered = logits;
    for (const auto& filter : filters) filtered = filter->filterLogits(filtered, tokens);
    benchmark::DoNotOptimize(filtered.data());
  }
}
BENCHMARK(BM_FilterChain)->Unit(benchmark::kMicrosecond);

void BM_GreedySample(benchmark::State& state) {
  vostrane::GreedyTokenSampler sampler(0, 50257, vostrane::DecodingOptions{.topK = 5});
  const std::vector<float> values = randomLogits(2);
  const MultiArray logits = MultiArray::fromValues<float>({1, 1, kVocabulary}, values);
  for (auto _ : state) {
    const auto drawn = sampler.sample(logits);
    benchmark::DoNotOptimize(drawn);
  }
}
BENCHMARK(BM_GreedySample)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
