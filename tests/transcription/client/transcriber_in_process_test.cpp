// The client facade on the in-process backend with its real dependencies: the worker's engine
// on the demo models behind a local fake hub, the engine's disk test and the removal of the
// models folder under both repositories' locks. One storage folder serves the whole process
// (the storage folder is fixed at its first use), so every test starts from clearCache().
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "support/demo_hub/demo_hub.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/in_process_transcription_engine.hpp"
#include "transcription/model_repository_lock.hpp"
#include "transcription/transcriber.hpp"

namespace {

namespace fs = std::filesystem;
using velmoria::ModelStatus;
using velmoria::Transcriber;
using velmoria::TranscriptionError;
using velmoria::TranscriptionMethod;
using Case = velmoria::TranscriptionErrorCase;

constexpr const char* kSpeechRepo = "didezuraz/vostrane-coreml";

// The demo model repositories behind a fake hub, demo audio, and the process's storage folder.
class DemoSetup : public ::testing::Environment {
 public:
  void SetUp() override {
    folder = std::make_unique<testsupport::TemporaryFolder>("facade-in-process");
    hub = std::make_unique<testsupport::DemoHub>(folder->path(), demomodels::kDefaultSpeechText);
    ::setenv("HF_ENDPOINT", hub->endpoint().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder->path() / "data").c_str(), 1);
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    mic = (folder->path() / "mic.wav").string();
    system = (folder->path() / "system.wav").string();
    ASSERT_TRUE(testsupport::makeDemoAudio(MAKE_DEMO_AUDIO_PATH, mic, system, 20));
  }
  void TearDown() override {
    hub.reset();
    folder.reset();
  }

  std::unique_ptr<testsupport::TemporaryFolder> folder;
  std::unique_ptr<testsupport::DemoHub> hub;
  std::string mic, system;
};

DemoSetup* const demo = static_cast<DemoSetup*>(::testing::AddGlobalTestEnvironment(new DemoSetup));

std::vector<ModelStatus> drain(velmoria::StatusStream& stream) {
  std::vector<ModelStatus> seen;
  while (auto s = stream.tryNext()) seen.push_back(*s);
  return seen;
}

fs::path modelsFolder() { return velmoria::modelStorageBaseURL() / "models"; }

class InProcessFacade : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every test starts with nothing on disk.
    Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2())->clearCache();
    ASSERT_FALSE(fs::exists(modelsFolder()));
  }
};

TEST_F(InProcessFacade, DownloadAndTranscribePublishTheirSequencesAndPresenceFollowsTheDisk) {
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2());
  auto stream = t->statusStream();
  EXPECT_EQ(drain(stream), std::vector<ModelStatus>{ModelStatus::needsDownload()});
  EXPECT_FALSE(t->modelsPresent());
  EXPECT_FALSE(t->isAvailable());

  std::vector<std::string> texts;
  t->ensureModelsDownloaded([&](const std::string& s) { texts.push_back(s); });
  EXPECT_EQ(texts, (std::vector<std::string>{"Downloading speech-to-text model", "Downloading speaker ID model"}));
  EXPECT_TRUE(t->modelsPresent());
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::downloading(0), ModelStatus::ready()}));

  const auto transcript = t->processAudio(demo->mic, demo->system, {"Velmoria"});
  EXPECT_EQ(transcript.transcriptionMethodId, "v2");
  EXPECT_EQ(transcript.speakerCount, 2);
  EXPECT_FALSE(transcript.segments.empty());
  const auto again = t->reTranscribe(demo->mic, demo->system, {"Velmoria"});
  EXPECT_EQ(again.segments.size(), transcript.segments.size());
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::running(), ModelStatus::ready(),
                                                     ModelStatus::running(), ModelStatus::ready()}));

  // Shutting down the in-process backend keeps its engine, whose instances need no download:
  // a new engine would report both steps again.
  t->shutdown();
  texts.clear();
  t->ensureModelsDownloaded([&](const std::string& s) { texts.push_back(s); });
  EXPECT_TRUE(texts.empty());
  auto late = t->statusStream();
  EXPECT_EQ(drain(late), std::vector<ModelStatus>{ModelStatus::ready()});

  t->clearCache();
  EXPECT_FALSE(t->modelsPresent());
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::downloading(0), ModelStatus::ready(),
                                                     ModelStatus::needsDownload()}));
}

TEST_F(InProcessFacade, AStoppedStreamIsRemovedAndTheOthersStillReceive) {
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2());
  auto kept = t->statusStream();
  auto stopped = t->statusStream();
  EXPECT_EQ(t->liveStatusStreams(), 2u);
  stopped.cancel();
  EXPECT_EQ(t->liveStatusStreams(), 1u);
  EXPECT_FALSE(stopped.tryNext());
  t->ensureModelsDownloaded();
  EXPECT_EQ(drain(kept), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::downloading(0),
                                                   ModelStatus::ready()}));
}

TEST_F(InProcessFacade, TheCallerGetsTheErrorTheStreamsSee) {
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2());
  auto stream = t->statusStream();
  const auto caught = [](auto&& operation) -> TranscriptionError {
    try {
      operation();
    } catch (const TranscriptionError& e) {
      return e;
    }
    ADD_FAILURE() << "no error";
    return TranscriptionError::workerUnavailable();
  };

  // A missing recording is the loader's invalidInput, unchanged.
  const auto missing = caught([&] { t->processAudio(demo->mic + ".missing", demo->system, {}); });
  EXPECT_EQ(missing.errorCase(), Case::invalidInput);

  // A hub that is gone: the engine's downloadFailed, unchanged.
  const std::string endpoint = std::getenv("HF_ENDPOINT");
  ::setenv("HF_ENDPOINT", "http://127.0.0.1:1", 1);
  const auto download = caught([&] { t->ensureModelsDownloaded(); });
  ::setenv("HF_ENDPOINT", endpoint.c_str(), 1);
  EXPECT_EQ(download.errorCase(), Case::downloadFailed);
  EXPECT_EQ(download.message().rfind("Vostrane download failed: ", 0), 0u) << download.message();

  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::running(),
                                                     ModelStatus::error(missing), ModelStatus::downloading(0),
                                                     ModelStatus::error(download)}));
  EXPECT_EQ(t->currentStatus(), ModelStatus::error(download));
  EXPECT_FALSE(t->modelsPresent());
}

TEST_F(InProcessFacade, WithoutAnEngineUnloadAndClearPublishAndPresenceIsTheDiskTestOfTheFacadesMethod) {
  // Download through one facade; a second one that never makes an engine answers from the disk.
  Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2())->ensureModelsDownloaded();
  auto dependencies = Transcriber::defaultDependencies();
  dependencies.makeInProcessEngine = nullptr;
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v1(), std::move(dependencies));
  auto stream = t->statusStream();
  EXPECT_TRUE(t->modelsPresent());
  EXPECT_FALSE(t->isAvailable());

  // Without the diarization models the method's model sets are incomplete.
  fs::remove_all(modelsFolder() / velmoria::kDiarizationModelRepo);
  EXPECT_FALSE(t->modelsPresent());

  t->unloadModels();
  EXPECT_TRUE(fs::exists(modelsFolder()));
  t->clearCache();
  EXPECT_FALSE(fs::exists(modelsFolder()));
  // Nothing to remove is no failure.
  t->clearCache();
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::needsDownload(),
                                                     ModelStatus::needsDownload(), ModelStatus::needsDownload()}));
}

TEST_F(InProcessFacade, ClearCacheWaitsForEachRepositorysDownloadLock) {
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2());
  for (const std::string repository : {kSpeechRepo, velmoria::kDiarizationModelRepo}) {
    SCOPED_TRACE(repository);
    t->ensureModelsDownloaded();
    ASSERT_TRUE(fs::exists(modelsFolder()));
    // A download elsewhere (the worker, the speaker analyzer) holds the repository's lock.
    auto held = velmoria::lockModelRepository(velmoria::modelStorageBaseURL(), repository);
    auto clearing = std::async(std::launch::async, [&] { t->clearCache(); });
    EXPECT_EQ(clearing.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_TRUE(fs::exists(modelsFolder()));
    held.release();
    clearing.get();
    EXPECT_FALSE(fs::exists(modelsFolder()));
  }
}

}  // namespace
