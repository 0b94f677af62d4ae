// The client facade's cost over the worker: BM_ColdLaunch is the time from a new facade to the
// answer of its first call, with the worker started on demand (the scripted worker, so the
// engine costs nothing) and shut down after each iteration.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/ipc/launcher.hpp"
#include "transcription/transcriber.hpp"

namespace {

void BM_ColdLaunch(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() / ("client-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  ::setenv("VELMORIA_WORKER_PATH", SCRIPTED_WORKER_PATH, 1);
  ::setenv("VELMORIA_WORKER_SOCKET", (folder / "run" / "worker.sock").c_str(), 1);
  for (auto _ : state) {
    auto transcriber = velmoria::Transcriber::make(velmoria::Transcriber::Backend::hosted(),
                                                   velmoria::TranscriptionMethod::v2(), {});
    // The first call reaches the worker only after its hello; the scripted engine answers at once.
    benchmark::DoNotOptimize(transcriber->processAudio("/m.wav", "/s.wav", {}));
    state.PauseTiming();
    transcriber->shutdown();
    platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(10));
    state.ResumeTiming();
  }
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_ColdLaunch)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
BENCHMARK_MAIN();
