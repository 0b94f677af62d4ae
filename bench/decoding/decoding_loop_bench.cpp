// The decoding loop's own cost per token, around the model: a 224-token window of the scripted
// decoder at the large-v3 sizes (V = 51,866, E = 40,960, M = 224, W = 1,500), with and without
// a progress callback. "overhead_ms" is (decodingLoop - decodingPredictions) / totalDecodingLoops
// (target at most 0.5 ms), split into filtering, sampling and key/value caching. And the time
// warping with its trace over a 224 x 1,500 alignment matrix (target at most 5 ms).
#include <benchmark/benchmark.h>

#include <random>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "support/scripted_decoder/scripted_decoder.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr int kEnd = 50257, kStart = 50258, kEnglish = 50259, kTranscribe = 50360, kTime = 50365;

struct LoopSetUp {
  testsupport::TemporaryFolder folder{"decoding_loop_bench"};
  std::shared_ptr<vostrane::TextDecoder> decoder = std::make_shared<vostrane::TextDecoder>();
  MultiArray window;

  LoopSetUp() {
    testsupport::registerScriptedTextDecoder();
    tokenizer_fixture::writeTokenizerFolder(folder / "tokenizer",
                                            {.layout = tokenizer_fixture::Layout::largeV3, .merges = 300});
    testsupport::ScriptedDecoderSpec setup;
    setup.embedDim = 40960;
    setup.maxSequenceLength = 224;
    setup.windowSize = 1500;
    setup.vocabularySize = 51866;
    std::vector<int> script{kStart, kEnglish, kTranscribe, kTime};
    for (int i = 0; i < 230; ++i) script.push_back(300 + i);
    setup.sequences = {{1, script}};
    for (int p = 0; p < 224; ++p) setup.alignmentFrame[p] = 6 * p;
    decoder->loadModel(testsupport::writeScriptedDecoder(folder.path(), setup), platform::ml::ComputeUnits::cpuOnly,
                       false);
    decoder->setTokenizer(std::make_shared<const vostrane::WhisperTokenizerWrapper>(
        noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(folder / "tokenizer")));
    decoder->setIsModelMultilingual(true);
    window = MultiArray({1, setup.embedSize, 1, setup.windowSize}, DataType::float16);
    window.setFloat(0, 1);
  }
};

LoopSetUp& loopSetUp() {
  static LoopSetUp setUp;
  return setUp;
}

void BM_DecodeLoopOverhead(benchmark::State& state) {
  LoopSetUp& setUp = loopSetUp();
  const bool withProgress = state.range(0) != 0;
  const vostrane::DecodingOptions options;
  const auto inputs = setUp.decoder->prepareDecoderInputs({kStart});
  vostrane::DecodingCallback callback;
  if (withProgress) callback = [](const vostrane::TranscriptionProgress&) -> std::optional<bool> { return true; };
  vostrane::TranscriptionTimings total;
  for (auto _ : state) {
    inputs->reset(224);
    setUp.decoder->prefillDecoderInputs(inputs, options);
    vostrane::GreedyTokenSampler sampler(0, kEnd, options);
    const vostrane::DecodingResult result = setUp.decoder->decodeText(setUp.window, *inputs, sampler, options, callback);
    benchmark::DoNotOptimize(result.tokens.data());
    total.decodingLoop += result.timings->decodingLoop;
    total.decodingPredictions += result.timings->decodingPredictions;
    total.decodingFiltering += result.timings->decodingFiltering;
    total.decodingSampling += result.timings->decodingSampling;
    total.decodingKvCaching += result.timings->decodingKvCaching;
    total.totalDecodingLoops += result.timings->totalDecodingLoops;
  }
  const double perToken = 1000.0 / std::max(1.0, total.totalDecodingLoops);
  state.counters["overhead_ms"] = (total.decodingLoop - total.decodingPredictions) * perToken;
  state.counters["filtering_ms"] = total.decodingFiltering * perToken;
  state.counters["sampling_ms"] = total.decodingSampling * perToken;
  state.counters["caching_ms"] = total.decodingKvCaching * perToken;
  state.counters["prediction_ms"] = total.decodingPredictions * perToken;
  state.counters["tokens"] = total.totalDecodingLoops / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DecodeLoopOverhead)->Arg(0)->Arg(1)->ArgName("progress")->Unit(benchmark::kMillisecond);

// One step's key/value copy alone: one position of E = 40,960 rows into [1, E, 1, 224] caches.
void BM_KVCacheStep(benchmark::State& state) {
  MultiArray keys({1, 40960, 1, 224}, DataType::float16);
  MultiArray values({1, 40960, 1, 224}, DataType::float16);
  MultiArray keySlice({1, 40960, 1, 1}, DataType::float16);
  MultiArray valueSlice({1, 40960, 1, 1}, DataType::float16);
  keySlice.fill(1);
  valueSlice.fill(-1);
  int position = 0;
  for (auto _ : state) {
    vostrane::TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, position);
    position = (position + 1) % 224;
  }
}
BENCHMARK(BM_KVCacheStep)->Unit(benchmark::kMicrosecond);

void BM_AlignmentPath(benchmark::State& state) {
  MultiArray matrix({224, 1500}, DataType::float16);
  std::mt19937 random(3);
  std::uniform_real_distribution<float> weight(0, 1);
  for (std::int64_t i = 0; i < matrix.count(); ++i) matrix.setFloat(i, weight(random));
  const vostrane::SegmentSeeker seeker;
  for (auto _ : state) {
    const vostrane::AlignmentPath path = seeker.computeAlignmentPath(matrix);
    benchmark::DoNotOptimize(path.tokenIndices.data());
  }
}
BENCHMARK(BM_AlignmentPath)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
