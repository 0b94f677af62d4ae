// One request of 60 s of two-voice demo audio on the demo models, the way the worker serves it:
//
//   BM_ProcessRequest60s/inProcess  InProcessTranscriptionEngine::processAudio in this process;
//   BM_ProcessRequest60s/hosted     processAudio through transcriber-worker over a connection.
//
// Both read the models from one temporary XDG_DATA_HOME, downloaded once beforehand from a
// local fake hub; each benchmark sends one untimed request first, so that the timed ones find
// the models loaded. The in-process run reads the engine's stage intervals ("audio", "speech",
// "diarization", "assembly") from the log and reports them as counters, in seconds. The hosted
// run sends an untimed in-process request before each hosted one (so that both meet the same
// load on the machine) and reports the IPC share, (hosted - in-process) / hosted, of the mean
// times. Since other work on the machine still moves single requests, it also reports a share
// that compares the time each request spent outside the engine's own processing (wall time
// minus the transcript's processingDuration), which each request measures for itself.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/file_system.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/log/log.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/in_process_transcription_engine.hpp"
#include "transcription/transcriber_service_protocol.hpp"

namespace {

using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using Json = platform::json::Json;
using Clock = std::chrono::steady_clock;

constexpr int kAudioSeconds = 60;
constexpr const char* kStages[] = {"audio", "speech", "diarization", "assembly"};

// The demo audio, both model repositories behind a fake hub, and the storage folder with the
// models downloaded. Made once, on first use; torn down by main() after the last benchmark.
struct Environment {
  testsupport::TemporaryFolder folder{"request-bench"};
  fake_hub::FakeHub hub;
  std::string mic, system;
  std::string failure;  // why the set-up failed; empty when it worked
};

std::unique_ptr<Environment>& environmentSlot() {
  static std::unique_ptr<Environment> slot;
  return slot;
}

Environment& environment() {
  auto& slot = environmentSlot();
  if (slot) return *slot;
  slot = std::make_unique<Environment>();
  Environment& env = *slot;
  const auto root = env.folder.path();
  try {
    demomodels::SpeechDemoOptions speech;
    speech.out = root / "speech-repo";
    speech.text =
        "The quick brown fox jumps over the lazy dog while the sleepy cat watches from the warm and "
        "sunny window.";
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), root / "diarization");
    env.hub.addRepository("didezuraz/vostrane-coreml", speech.out);
    env.hub.addRepository(velmoria::kDiarizationModelRepo, root / "diarization");
    ::setenv("HF_ENDPOINT", env.hub.endpoint().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    ::setenv("VELMORIA_WORKER_PATH", WORKER_PATH, 1);
    ::setenv("VELMORIA_WORKER_SOCKET", (root / "run" / "worker.sock").c_str(), 1);
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    env.mic = (root / "mic.wav").string();
    env.system = (root / "system.wav").string();
    const std::string command = std::string(MAKE_DEMO_AUDIO_PATH) + " --mic '" + env.mic + "' --system '" + env.system +
                                "' --seconds " + std::to_string(kAudioSeconds);
    if (std::system(command.c_str()) != 0) {
      env.failure = "make-demo-audio failed";
      return env;
    }
    velmoria::InProcessTranscriptionEngine downloader;
    downloader.ensureModelsDownloaded({});
    if (!downloader.modelsPresent()) env.failure = "the models are not on disk after the download";
  } catch (const std::exception& error) {
    env.failure = std::string("set-up failed: ") + error.what();
  }
  return env;
}

// Collects the engine's stage intervals ("end <name> (<ms> ms)") while it lives; every other
// record at error level or above still reaches standard error.
class StageTimes {
 public:
  StageTimes() : previousMinimum_(platform::log::minimumLevel()) {
    platform::log::setMinimumLevel(platform::log::Level::debug);
    platform::log::setSink([this](const platform::log::Record& record) { take(record); });
  }
  ~StageTimes() {
    platform::log::setSink({});
    platform::log::setMinimumLevel(previousMinimum_);
  }
  StageTimes(const StageTimes&) = delete;
  StageTimes& operator=(const StageTimes&) = delete;

  // Seconds per stage summed over the intervals seen so far.
  std::map<std::string, double> totals() const {
    std::lock_guard lock(mutex_);
    return seconds_;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    seconds_.clear();
  }

 private:
  void take(const platform::log::Record& record) {
    if (record.level >= platform::log::Level::error) {
      std::fprintf(stderr, "%.*s\n", static_cast<int>(record.message.size()), record.message.data());
    }
    if (record.category != "TranscriberEngine" || !record.message.starts_with("end ")) return;
    const std::string_view rest = record.message.substr(4);
    const auto open = rest.rfind(" (");
    if (open == std::string_view::npos) return;
    const std::string name(rest.substr(0, open));
    const double milliseconds = std::strtod(std::string(rest.substr(open + 2)).c_str(), nullptr);
    std::lock_guard lock(mutex_);
    seconds_[name] += milliseconds / 1000.0;
  }

  mutable std::mutex mutex_;
  std::map<std::string, double> seconds_;  // guarded by mutex_
  platform::log::Level previousMinimum_;
};

// What one benchmark measured, per request: wall time and the transcript's processingDuration.
struct RequestFigures {
  double wallSeconds = 0;
  double processingSeconds = 0;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void BM_ProcessRequest60s_inProcess(benchmark::State& state) {
  Environment& env = environment();
  if (!env.failure.empty()) return state.SkipWithError(env.failure.c_str());
  velmoria::InProcessTranscriptionEngine engine;
  try {
    engine.processAudio(env.mic, env.system, {});  // loads the models
  } catch (const std::exception& error) {
    return state.SkipWithError(error.what());
  }
  StageTimes stages;
  RequestFigures sum;
  std::int64_t speakers = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    std::optional<velmoria::TranscriptResult> result;
    try {
      result = engine.processAudio(env.mic, env.system, {});
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      break;
    }
    sum.wallSeconds += seconds(Clock::now() - start);
    sum.processingSeconds += result->processingDuration;
    speakers = result->speakerCount;
    benchmark::DoNotOptimize(result->segments.data());
  }
  if (state.error_occurred()) return;
  const auto n = static_cast<double>(state.iterations());
  for (const auto& [name, total] : stages.totals()) {
    state.counters[name + "_s"] = benchmark::Counter(total / n);
  }
  for (const char* name : kStages) {
    if (state.counters.find(std::string(name) + "_s") == state.counters.end()) {
      return state.SkipWithError((std::string("no stage interval ") + name).c_str());
    }
  }
  state.counters["processing_s"] = benchmark::Counter(sum.processingSeconds / n);
  state.counters["speakers"] = benchmark::Counter(static_cast<double>(speakers));
  state.counters["realtime_x"] = benchmark::Counter(kAudioSeconds / (sum.wallSeconds / n));
}

CallOutcome call(Connection& connection, const std::string& method, Json args) {
  auto promise = std::make_shared<std::promise<CallOutcome>>();
  auto future = promise->get_future();
  connection.call(method, std::move(args), [promise](CallOutcome o) { promise->set_value(std::move(o)); });
  return future.get();
}

void BM_ProcessRequest60s_hosted(benchmark::State& state) {
  Environment& env = environment();
  if (!env.failure.empty()) return state.SkipWithError(env.failure.c_str());
  const Json request{
      {"request", {{"micPath", env.mic}, {"systemPath", env.system}, {"customVocabulary", Json::array()}}}};
  auto connection = Connection::toService(velmoria::kTranscriberServiceName);
  connection->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
  connection->resume();
  // The in-process reference: one untimed request beside each hosted one, so both meet the
  // same load on the machine.
  velmoria::InProcessTranscriptionEngine local;
  std::string failure;
  try {
    local.processAudio(env.mic, env.system, {});
    if (const CallOutcome warm = call(*connection, "processAudio", request); !warm.ok()) {
      failure = "worker: " + warm.error->description;
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  RequestFigures hostedSum, localSum;
  std::int64_t speakers = 0;
  if (failure.empty()) {
    for (auto _ : state) {
      state.PauseTiming();
      try {
        const auto localStart = Clock::now();
        const velmoria::TranscriptResult result = local.processAudio(env.mic, env.system, {});
        localSum.wallSeconds += seconds(Clock::now() - localStart);
        localSum.processingSeconds += result.processingDuration;
      } catch (const std::exception& error) {
        failure = error.what();
      }
      state.ResumeTiming();
      if (!failure.empty()) break;
      const auto start = Clock::now();
      const CallOutcome outcome = call(*connection, "processAudio", request);
      hostedSum.wallSeconds += seconds(Clock::now() - start);
      if (!outcome.ok()) {
        failure = "worker: " + outcome.error->description;
        break;
      }
      const Json& transcript = outcome.result["transcript"];
      hostedSum.processingSeconds += transcript["processingDuration"].get<double>();
      speakers = transcript["speakerCount"].get<std::int64_t>();
    }
  }
  connection->invalidate();
  connection.reset();
  if (!failure.empty()) return state.SkipWithError(failure.c_str());

  const auto n = static_cast<double>(state.iterations());
  const RequestFigures hosted{hostedSum.wallSeconds / n, hostedSum.processingSeconds / n};
  const RequestFigures reference{localSum.wallSeconds / n, localSum.processingSeconds / n};
  state.counters["processing_s"] = benchmark::Counter(hosted.processingSeconds);
  state.counters["outside_processing_s"] = benchmark::Counter(hosted.wallSeconds - hosted.processingSeconds);
  state.counters["in_process_s"] = benchmark::Counter(reference.wallSeconds);
  state.counters["speakers"] = benchmark::Counter(static_cast<double>(speakers));
  state.counters["ipc_share_pct"] =
      benchmark::Counter(100.0 * (hosted.wallSeconds - reference.wallSeconds) / hosted.wallSeconds);
  const double outsideHosted = hosted.wallSeconds - hosted.processingSeconds;
  const double outsideLocal = reference.wallSeconds - reference.processingSeconds;
  state.counters["ipc_share_outside_pct"] =
      benchmark::Counter(100.0 * (outsideHosted - outsideLocal) / hosted.wallSeconds);
}

BENCHMARK(BM_ProcessRequest60s_inProcess)
    ->Name("BM_ProcessRequest60s/inProcess")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ProcessRequest60s_hosted)
    ->Name("BM_ProcessRequest60s/hosted")
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Every worker this run started ends once its connection is gone; then the folders go.
  platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(30));
  environmentSlot().reset();
  return 0;
}
