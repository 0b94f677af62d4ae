// The transcribe task's own cost around its models, at the large-v2 sizes (mel [1, 128, 1, 3000],
// encoder [1, 1280, 1, 1500], decoder E = 40,960, M = 224, V = 51,865) over stub mel and encoder
// programs and the scripted decoder.
//
// BM_TranscribeWindow: runs of one 30 s window (pad, mel, encoder, decoding loop, seeker), the
// time split by stage, beside BM_BareWindowModels, the three models' bare predictions on the same
// inputs. The window time leaves out the run's one-time preparation of the decoder inputs
// ("decoder_init_ms"). Counters: "ratio" = window time / bare time (target at most 1.25),
// "overhead_ms_per_token" = (window time - bare time) / decoded tokens (target at most 1 ms).
//
// BM_TranscribeTenMinutes: 600 s of audio (20 windows) under a counting allocator. Counters:
// "prepares_per_run" (decoder inputs made per run, target 1), "allocs_per_window" and
// "bytes_per_window" from window 2 on, and "alloc_spread" (largest minus smallest count of
// windows 2 to 20, target 0).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

#include "speech/pipeline/pipeline_fixture.hpp"
#include "speech/pipeline/transcribe_task.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

// --- counting allocator ------------------------------------------------------------------------
namespace {
std::atomic<std::uint64_t> gAllocations{0};
std::atomic<std::uint64_t> gAllocatedBytes{0};

void* countedAllocation(std::size_t size, std::size_t alignment) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  gAllocatedBytes.fetch_add(size, std::memory_order_relaxed);
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size == 0 ? 1 : size);
  } else {
    const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
    p = std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
  }
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t size) { return countedAllocation(size, alignof(std::max_align_t)); }
void* operator new[](std::size_t size) { return countedAllocation(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t a) { return countedAllocation(size, std::size_t(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return countedAllocation(size, std::size_t(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using pipeline_fixture::kTime;
using Clock = std::chrono::steady_clock;

// A text decoder that counts how often a run prepares its inputs.
class CountingDecoder : public vostrane::TextDecoder {
 public:
  std::shared_ptr<vostrane::DecodingInputsType> prepareDecoderInputs(const std::vector<int>& prompt) override {
    ++prepares;
    return TextDecoder::prepareDecoderInputs(prompt);
  }
  int prepares = 0;
};

struct PipelineSetUp {
  testsupport::TemporaryFolder folder{"pipeline_bench"};
  pipeline_fixture::Components components;
  std::shared_ptr<CountingDecoder> decoder = std::make_shared<CountingDecoder>();

  // `textTokens` text tokens per window, then the window's closing timestamp.
  explicit PipelineSetUp(int textTokens) {
    testsupport::ScriptedDecoderSpec setup;
    setup.embedDim = 40960;
    setup.windowSize = 1500;
    setup.embedSize = 1280;
    setup.vocabularySize = pipeline_fixture::kVocabulary;
    setup.peak = 20;
    std::vector<int> body{kTime};
    // Plain English prose, so no window falls back for a high compression ratio.
    const std::vector<int> prose = pipeline_fixture::textIds(tokenizer_fixture::licenceTexts().substr(0, 4000));
    body.insert(body.end(), prose.begin(), prose.begin() + std::min<std::ptrdiff_t>(textTokens, std::ssize(prose)));
    body.push_back(kTime + 1500);
    setup.sequences = {{0, pipeline_fixture::script(body)}};
    components = pipeline_fixture::loadComponents(folder.path(), setup, 480'000, 128, 3000);
    decoder->loadModel(folder.path() / "TextDecoder.mlmodelc", platform::ml::ComputeUnits::cpuOnly, false);
    decoder->setTokenizer(pipeline_fixture::tokenizer());
    decoder->setIsModelMultilingual(true);
  }

  std::unique_ptr<vostrane::TranscribeTask> task() const {
    return std::make_unique<vostrane::TranscribeTask>(vostrane::TranscriptionTimings{}, nullptr, nullptr,
                                                      components.audioEncoder, components.featureExtractor,
                                                      components.segmentSeeker, decoder, pipeline_fixture::tokenizer());
  }
};

PipelineSetUp& windowSetUp() {
  static PipelineSetUp setUp(100);
  return setUp;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_BareWindowModels(benchmark::State& state) {
  PipelineSetUp& setUp = windowSetUp();
  const std::vector<float> samples(480'000, 0.0F);
  const auto padded = *vostrane::AudioProcessing::padOrTrimAudio(samples, 0, 480'000);
  // The decoding loop's own prediction time for the same window, measured by the decoder.
  const auto reference = setUp.task()->run(samples);
  const double decoderPredictions = reference->timings().decodingPredictions;
  double mel = 0, encoder = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const auto features = setUp.components.featureExtractor->logMelSpectrogram(padded);
    const auto t1 = Clock::now();
    const auto embeds = setUp.components.audioEncoder->encodeFeatures(*features);
    const auto t2 = Clock::now();
    benchmark::DoNotOptimize(embeds->data());
    mel += seconds(t1 - t0);
    encoder += seconds(t2 - t1);
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["mel_ms"] = mel / n * 1000;
  state.counters["encoder_ms"] = encoder / n * 1000;
  state.counters["decoder_predictions_ms"] = decoderPredictions * 1000;
}
BENCHMARK(BM_BareWindowModels)->Unit(benchmark::kMillisecond);

void BM_TranscribeWindow(benchmark::State& state) {
  PipelineSetUp& setUp = windowSetUp();
  const std::vector<float> samples(480'000, 0.0F);
  auto task = setUp.task();
  double wall = 0, init = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const auto result = task->run(samples);
    wall += seconds(Clock::now() - start);
    init += task->timings().decodingInit;
    benchmark::DoNotOptimize(result.get());
  }
  const vostrane::TranscriptionTimings& t = task->timings();
  const double n = static_cast<double>(state.iterations());
  const double tokens = std::max(1.0, t.totalDecodingLoops);
  state.counters["audio_ms"] = t.audioProcessing / n * 1000;
  state.counters["mel_ms"] = t.logmels / n * 1000;
  state.counters["encoder_ms"] = t.encoding / n * 1000;
  state.counters["decoder_predictions_ms"] = t.decodingPredictions / n * 1000;
  state.counters["other_ms"] =
      (wall - init - t.audioProcessing - t.logmels - t.encoding - t.decodingPredictions - t.decodingWindowing) / n *
      1000;
  state.counters["windowing_ms"] = t.decodingWindowing / n * 1000;
  state.counters["decoder_init_ms"] = init / n * 1000;  // once per run, not per window
  state.counters["filtering_ms"] = t.decodingFiltering / n * 1000;
  state.counters["sampling_ms"] = t.decodingSampling / n * 1000;
  state.counters["kv_caching_ms"] = t.decodingKvCaching / n * 1000;
  state.counters["tokens"] = t.totalDecodingLoops / n;
  state.counters["fallbacks"] = t.totalDecodingFallbacks;

  // The bare reference on the same inputs: mel and encoder predictions timed alone, plus the
  // decoder's prediction time inside this benchmark's runs.
  const auto padded = *vostrane::AudioProcessing::padOrTrimAudio(samples, 0, 480'000);
  double bare = 0;
  constexpr int kReferenceRuns = 5;
  for (int i = 0; i < kReferenceRuns; ++i) {
    const auto t0 = Clock::now();
    const auto features = setUp.components.featureExtractor->logMelSpectrogram(padded);
    const auto embeds = setUp.components.audioEncoder->encodeFeatures(*features);
    benchmark::DoNotOptimize(embeds->data());
    bare += seconds(Clock::now() - t0);
  }
  const double barePerWindow = bare / kReferenceRuns + t.decodingPredictions / n;
  const double wallPerWindow = (wall - init) / n;
  state.counters["bare_ms"] = barePerWindow * 1000;
  state.counters["ratio"] = wallPerWindow / barePerWindow;
  state.counters["overhead_ms_per_token"] = (wallPerWindow - barePerWindow) * 1000 / (tokens / n);
}
BENCHMARK(BM_TranscribeWindow)->Unit(benchmark::kMillisecond);

void BM_TranscribeTenMinutes(benchmark::State& state) {
  static PipelineSetUp setUp(20);
  const std::vector<float> samples(600 * 16000, 0.0F);
  std::vector<std::uint64_t> counts, bytes;
  int prepares = 0;
  double windows = 0;
  for (auto _ : state) {
    auto task = setUp.task();
    std::vector<std::uint64_t> runCounts, runBytes;
    runCounts.reserve(32);
    runBytes.reserve(32);
    task->setSegmentDiscoveryCallback([&](const std::vector<vostrane::TranscriptionSegment>&) {
      runCounts.push_back(gAllocations.load());
      runBytes.push_back(gAllocatedBytes.load());
    });
    const int before = setUp.decoder->prepares;
    const auto result = task->run(samples);
    prepares += setUp.decoder->prepares - before;
    windows += result->timings().totalDecodingWindows;
    counts = runCounts;
    bytes = runBytes;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["windows"] = windows / n;
  state.counters["prepares_per_run"] = prepares / n;
  // Differences between consecutive windows' callbacks: windows 2 to 20.
  std::vector<std::uint64_t> perWindow, bytesPerWindow;
  for (std::size_t i = 1; i < counts.size(); ++i) {
    perWindow.push_back(counts[i] - counts[i - 1]);
    bytesPerWindow.push_back(bytes[i] - bytes[i - 1]);
  }
  if (!perWindow.empty()) {
    const auto [low, high] = std::minmax_element(perWindow.begin(), perWindow.end());
    double sum = 0, byteSum = 0;
    for (std::size_t i = 0; i < perWindow.size(); ++i) {
      sum += static_cast<double>(perWindow[i]);
      byteSum += static_cast<double>(bytesPerWindow[i]);
    }
    state.counters["allocs_per_window"] = sum / static_cast<double>(perWindow.size());
    state.counters["bytes_per_window"] = byteSum / static_cast<double>(perWindow.size());
    state.counters["alloc_spread"] = static_cast<double>(*high - *low);
  }
}
BENCHMARK(BM_TranscribeTenMinutes)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
