// The client facade's cost over the worker.
//
// BM_ColdLaunch: the time from a new facade to the answer of its first call, with the worker
// started on demand (the scripted worker, so the engine costs nothing) and shut down after each
// iteration.
//
// BM_DemoRequest/hosted and BM_DemoRequest/inProcess: one demo request (60 s of make-demo-audio's
// two voices, the demo models behind a local fake hub) through a warm facade, with the real
// worker process or with the engine in this process. Both run in one process on the same files
// and the same storage folder, so their difference is what the worker's connection costs.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/fs/file_system.hpp"
#include "platform/ipc/launcher.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/transcriber.hpp"

namespace {

namespace fs = std::filesystem;

// A folder of this process under the system's temporary folder, removed at exit.
struct BenchFolder {
  BenchFolder() : path(fs::temp_directory_path() / ("client-bench-" + std::to_string(::getpid()))) {
    fs::create_directories(path);
  }
  ~BenchFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  fs::path path;
};

const BenchFolder& benchFolder() {
  static const BenchFolder folder;
  return folder;
}

// Waits (at most 10 s) until the workers launched after the first `before` ones have ended; a
// worker of another benchmark that is still serving is not waited for.
void waitForWorkersAfter(std::size_t before) {
  const auto all = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0));
  for (std::size_t i = before; i < all.size(); ++i) {
    for (int n = 0; n < 1000 && !platform::ipc::launchedWorkerEnded(all[i].pid); ++n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

void BM_ColdLaunch(benchmark::State& state) {
  const fs::path folder = benchFolder().path / "cold";
  fs::create_directories(folder);
  ::setenv("VELMORIA_WORKER_PATH", SCRIPTED_WORKER_PATH, 1);
  ::setenv("VELMORIA_WORKER_SOCKET", (folder / "run" / "worker.sock").c_str(), 1);
  for (auto _ : state) {
    const std::size_t before = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
    auto transcriber = velmoria::Transcriber::make(velmoria::Transcriber::Backend::hosted(),
                                                   velmoria::TranscriptionMethod::v2(), {});
    // The first call reaches the worker only after its hello; the scripted engine answers at once.
    benchmark::DoNotOptimize(transcriber->processAudio("/m.wav", "/s.wav", {}));
    state.PauseTiming();
    transcriber->shutdown();
    waitForWorkersAfter(before);
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ColdLaunch)->Unit(benchmark::kMillisecond)->Iterations(10);

// The demo models behind a fake hub, the storage folder, the 60 s demo audio and one warm
// facade per backend, made once for the process. The storage folder is fixed at its first use,
// so the environment is set before any facade exists.
struct DemoRequest {
  DemoRequest() {
    const fs::path root = benchFolder().path / "demo";
    demomodels::SpeechDemoOptions speech;
    speech.out = root / "speech-repo";
    speech.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), root / "diarization");
    hub.addRepository("didezuraz/vostrane-coreml", speech.out);
    hub.addRepository("didezuraz/dellomar-coreml", root / "diarization");
    ::setenv("HF_ENDPOINT", hub.endpoint().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    workerSocket = (root / "run" / "worker.sock").string();
    mic = (root / "mic.wav").string();
    system = (root / "system.wav").string();
    const std::string command = std::string(MAKE_DEMO_AUDIO_PATH) + " --mic " + mic + " --system " + system +
                                " --seconds 60";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("make-demo-audio failed");
  }
  ~DemoRequest() {
    for (auto* facade : {&hosted, &inProcess}) {
      if (*facade) (*facade)->shutdown();
    }
    hosted.reset();
    platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(10));
  }

  // The facade of one backend, with its models downloaded and loaded by one first request.
  velmoria::Transcriber& warm(bool hostedBackend) {
    // BM_ColdLaunch points these at its scripted worker; a relaunch must find the real one.
    ::setenv("VELMORIA_WORKER_PATH", WORKER_PATH, 1);
    ::setenv("VELMORIA_WORKER_SOCKET", workerSocket.c_str(), 1);
    auto& facade = hostedBackend ? hosted : inProcess;
    if (!facade) {
      facade = velmoria::Transcriber::make(
          hostedBackend ? velmoria::Transcriber::Backend::hosted() : velmoria::Transcriber::Backend::inProcess(),
          velmoria::TranscriptionMethod::v2());
      facade->ensureModelsDownloaded();
      facade->processAudio(mic, system, {});
    }
    return *facade;
  }

  fake_hub::FakeHub hub;
  std::string workerSocket, mic, system;
  std::shared_ptr<velmoria::Transcriber> hosted, inProcess;
};

DemoRequest& demoRequest() {
  static DemoRequest demo;
  return demo;
}

void BM_DemoRequest(benchmark::State& state) {
  const bool hostedBackend = state.range(0) == 1;
  state.SetLabel(hostedBackend ? "hosted" : "inProcess");
  DemoRequest& demo = demoRequest();
  velmoria::Transcriber& facade = demo.warm(hostedBackend);
  double engineSeconds = 0;
  for (auto _ : state) {
    const velmoria::TranscriptResult transcript = facade.processAudio(demo.mic, demo.system, {});
    engineSeconds += transcript.processingDuration;
  }
  // The engine's own time per request; the rest of the real time is the facade and, hosted, the
  // connection and the worker process.
  state.counters["engine_ms"] = benchmark::Counter(engineSeconds * 1000, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DemoRequest)->ArgName("hosted")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
