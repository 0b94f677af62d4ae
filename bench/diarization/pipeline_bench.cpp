// The whole diarization pipeline with the demo models on a generated two-voice recording:
// real-time factor, the process's CPU time per second of audio (cpu_time_factor, all threads;
// steadier than wall time on a busy machine), the phase times of the run's timings, and the
// process's peak resident memory against its budget (input samples + stored embeddings + the
// condensed distance list of n(n - 1)/2 floats + 150 MB).
//
// The recording's length in minutes is the flag --minutes=N (default 1, the CI smoke length);
// measure each length in its own process, so that one run's peak memory does not hide the
// other's:
//   pipeline_bench --minutes=10
//   pipeline_bench --minutes=60
// Worker counts: DELLOMAR_BENCH_SEGMENTER_WORKERS (default 2) and DELLOMAR_BENCH_EMBEDDER_WORKERS
// (default: the pipeline's own choice).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <unistd.h>

#include "diarization/dellomar.hpp"
#include "platform/fs/file_system.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"

namespace {

int gMinutes = 1;

// VmHWM of this process in bytes (0 when unknown).
double peakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) * 1024.0;
  }
  return 0;
}

// User and system CPU time of the whole process so far, in seconds.
double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::optional<int> environmentCount(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return std::nullopt;
  return std::max(1, std::atoi(text));
}

struct Fixture {
  std::filesystem::path folder;
  std::vector<float> samples;
  std::unique_ptr<dellomar::Dellomar> dellomar;

  Fixture() {
    folder = std::filesystem::temp_directory_path() / ("pipeline-bench-" + std::to_string(::getpid()));
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), folder / "dellomar");
    samples = twovoice::synthesize({gMinutes * 60.0, 1, 2}).samples;
    const int segmenterWorkers = environmentCount("DELLOMAR_BENCH_SEGMENTER_WORKERS").value_or(2);
    const std::optional<int> embedderWorkers = environmentCount("DELLOMAR_BENCH_EMBEDDER_WORKERS");
    auto config = std::make_shared<dellomar::PyannoteConfig>(dellomar::PyannoteConfig::Flat{
        std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, (folder / "dellomar").string(), false, false,
        "https://huggingface.co", "main", true, false, noxtal::Logging::LogLevel::none, true, segmenterWorkers,
        embedderWorkers, nullptr});
    dellomar = std::make_unique<dellomar::Dellomar>(config);
  }
  ~Fixture() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

void BM_DiarizePipeline(benchmark::State& state) {
  static Fixture fixture;
  const double audioSeconds = static_cast<double>(fixture.samples.size()) / twovoice::kSampleRate;
  std::shared_ptr<const dellomar::PyannoteDiarizationTimings> timings;
  int speakers = 0;
  double wall = 0;
  double cpu = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processCpuSeconds();
    dellomar::DiarizationResult result = fixture.dellomar->diarize(fixture.samples);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu = processCpuSeconds() - cpuStart;
    timings = std::dynamic_pointer_cast<const dellomar::PyannoteDiarizationTimings>(result.timings);
    speakers = result.speakerCount;
    benchmark::DoNotOptimize(result);
  }
  state.counters["audio_minutes"] = audioSeconds / 60;
  state.counters["real_time_factor"] = wall / audioSeconds;
  state.counters["cpu_time_factor"] = cpu / audioSeconds;
  state.counters["speakers"] = speakers;
  if (timings) {
    state.counters["segmenter_ms"] = timings->segmenterTime;
    state.counters["embedding_ms"] = timings->embedderTime;
    state.counters["clustering_ms"] = timings->clusteringTime;
    state.counters["total_ms"] = timings->fullPipeline;
    state.counters["chunks"] = static_cast<double>(timings->numberOfChunks);
    state.counters["embeddings"] = static_cast<double>(timings->numberOfEmbeddings);
    state.counters["segmenter_workers"] = static_cast<double>(timings->numberOfSegmenterWorkers);
    state.counters["embedder_workers"] = static_cast<double>(timings->numberOfEmbedderWorkers);
    const double n = static_cast<double>(timings->numberOfEmbeddings);
    // Per stored embedding: 256 embedding + 128 PLDA + 100 activity floats.
    const double budget = static_cast<double>(fixture.samples.size()) * 4 + n * (256 + 128 + 100) * 4 +
                          n * (n - 1) / 2 * 4 + 150e6;
    state.counters["rss_budget_MB"] = budget / 1e6;
  }
  state.counters["peak_rss_MB"] = peakResidentBytes() / 1e6;
}
BENCHMARK(BM_DiarizePipeline)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Take --minutes=N out before Google Benchmark reads the flags.
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      gMinutes = std::max(1, std::atoi(argv[i] + 10));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
