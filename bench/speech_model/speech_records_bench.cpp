// Growing a shared TranscriptionResult one segment at a time (in place against a copy of the
// list per update), and writing and reading segments through the record codec.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/json/json.hpp"
#include "speech/model/transcription_result.hpp"

namespace {

using vostrane::TranscriptionResult;
using vostrane::TranscriptionSegment;

TranscriptionSegment segment(int id) {
  TranscriptionSegment s{.id = id, .start = static_cast<float>(id), .end = static_cast<float>(id) + 1.5F};
  s.text = " segment number " + std::to_string(id);
  for (int t = 0; t < 20; ++t) {
    s.tokens.push_back(50364 + t);
    s.tokenLogProbs.push_back({{50364 + t, -0.25F}});
  }
  return s;
}

std::shared_ptr<TranscriptionResult> emptyResult() {
  return std::make_shared<TranscriptionResult>("", std::vector<TranscriptionSegment>{}, "en",
                                               vostrane::TranscriptionTimings{});
}

void BM_AppendSegmentInPlace(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto result = emptyResult();
    for (int i = 0; i < count; ++i) result->appendSegment(segment(i));
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AppendSegmentInPlace)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_AppendSegmentThroughModify(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto result = emptyResult();
    for (int i = 0; i < count; ++i) {
      result->modifySegments([&](std::vector<TranscriptionSegment>& list) { list.push_back(segment(i)); });
    }
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AppendSegmentThroughModify)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_SegmentToJsonText(benchmark::State& state) {
  const TranscriptionSegment s = segment(7);
  for (auto _ : state) benchmark::DoNotOptimize(platform::json::dump(s.toJson()));
}
BENCHMARK(BM_SegmentToJsonText);

void BM_SegmentFromJsonText(benchmark::State& state) {
  const std::string text = platform::json::dump(segment(7).toJson());
  for (auto _ : state) benchmark::DoNotOptimize(TranscriptionSegment::fromJson(platform::json::parse(text)));
}
BENCHMARK(BM_SegmentFromJsonText);

}  // namespace

BENCHMARK_MAIN();
