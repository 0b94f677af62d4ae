// The worker's engine on the demo models behind a local fake hub: download status strings and
// disk check, presence on disk, sequential loading, status consequences, and overlapping
// requests with unloads. The demo audio encoder and segmenter pass a gate before each
// prediction, so a test can hold a request inside its speech or diarization step.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "platform/ml/model.hpp"
#include "platform/ml/model_program.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/log_capture.hpp"
#include "support/temporary_folder.hpp"
#include "support/wav_writer.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/in_process_transcription_engine.hpp"

namespace velmoria {
namespace {

namespace fs = std::filesystem;

class FakeDiskSpace : public DiskSpaceChecking {
 public:
  explicit FakeDiskSpace(std::int64_t available) : available_(available) {}
  void checkAvailableSpace(std::int64_t requiredBytes) override {
    if (available_ < 0) throw std::runtime_error("volume unreadable");
    if (available_ < requiredBytes) throw TranscriptionError::insufficientDisk(requiredBytes, available_);
  }

 private:
  std::int64_t available_;
};

// Where a prediction of a gated model waits while a test holds it. Open unless a test closes
// it; a closed gate holds every prediction until the test lets some through or opens it (or,
// after a test failed and left it closed, for at most two minutes).
class Gate {
 public:
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    permits_ = 0;
  }
  void open() {
    std::lock_guard lock(mutex_);
    closed_ = false;
    changed_.notify_all();
  }
  // Lets `n` held (or later) predictions through.
  void allow(int n) {
    std::lock_guard lock(mutex_);
    permits_ += n;
    changed_.notify_all();
  }
  // Waits until `n` predictions are held; false when that does not happen within a minute (a
  // watchdog, so that a test fails rather than hangs).
  bool waitUntilHeld(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::minutes(1), [&] { return held_ >= n; });
  }
  void pass() {
    std::unique_lock lock(mutex_);
    if (!closed_) return;
    ++held_;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::minutes(2), [&] { return !closed_ || permits_ > 0; });
    if (closed_ && permits_ > 0) --permits_;
    --held_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;  // guarded by mutex_, as the two counts
  int permits_ = 0;
  int held_ = 0;
};

Gate& speechGate() {
  static Gate gate;
  return gate;
}
Gate& diarizationGate() {
  static Gate gate;
  return gate;
}
// Passed by each load of the gated speech model.
Gate& speechLoadGate() {
  static Gate gate;
  return gate;
}

// The program of a gated model: passes its gate, then runs the original model. The speech
// model's loads pass the load gate first.
class GatedModel final : public platform::ml::ModelProgram {
 public:
  explicit GatedModel(const platform::json::Json& parameters)
      : model_(load(parameters)),
        gate_(parameters.at("gate").get<std::string>() == "speech" ? speechGate() : diarizationGate()) {}
  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider& inputs,
                                                  platform::ml::State*, std::stop_token stopToken) const override {
    gate_.pass();
    return model_->predict(inputs, {}, std::move(stopToken));
  }

 private:
  static std::shared_ptr<const platform::ml::Model> load(const platform::json::Json& parameters) {
    if (parameters.at("gate").get<std::string>() == "speech") speechLoadGate().pass();
    return platform::ml::Model::load(parameters.at("model").get<std::string>());
  }

  std::shared_ptr<const platform::ml::Model> model_;
  Gate& gate_;
};

// Moves the stateless model folder `model` to `original` and puts in its place a model with the
// same features whose program passes `gate` and then runs the original.
void gateModel(const fs::path& model, const fs::path& original, const std::string& gate) {
  fs::create_directories(original.parent_path());
  fs::rename(model, original);
  std::ifstream in(original / "model.json");
  const platform::json::Json described =
      platform::json::parse(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
  const platform::json::Json gated = {
      {"formatVersion", 1},
      {"inputs", described.at("inputs")},
      {"outputs", described.at("outputs")},
      {"program", {{"name", "engine_test.gated"}, {"parameters", {{"model", original.string()}, {"gate", gate}}}}}};
  fs::create_directories(model);
  std::ofstream(model / "model.json") << platform::json::dump(gated);
}

class EngineOnDemoModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("engine");
    demomodels::SpeechDemoOptions speech;
    speech.out = folder_->path() / "speech-repo";
    speech.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    const fs::path diarization = folder_->path() / "diarization" / "dellomar";
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), diarization);
    platform::ml::ModelProgramRegistry::shared().add(
        "engine_test.gated", [](const platform::json::Json& parameters, const platform::ml::ModelDescription&) {
          return std::make_shared<GatedModel>(parameters);
        });
    gateModel(speech.out / demomodels::kDefaultSpeechFolder / "AudioEncoder.mlmodelc",
              folder_->path() / "originals" / "AudioEncoder.mlmodelc", "speech");
    gateModel(diarization / "speaker_segmenter" / "pyannote-v3" / demomodels::kDemoVariant / "SpeakerSegmenter.mlmodelc",
              folder_->path() / "originals" / "SpeakerSegmenter.mlmodelc", "diarization");
    hub_ = new fake_hub::FakeHub();
    hub_->addRepository("didezuraz/vostrane-coreml", speech.out);
    hub_->addRepository(kDiarizationModelRepo, diarization);
    ::setenv("HF_ENDPOINT", hub_->endpoint().c_str(), 1);
    const auto tone = [](double frequency) { return testsupport::sine(frequency, 0.3, 16000); };
    testsupport::writeWav(mic(), 16000, 1, 16000 * 6, tone(140));
    testsupport::writeWav(systemAudio(), 16000, 1, 16000 * 6, tone(260));
  }
  static void TearDownTestSuite() {
    delete hub_;
    delete folder_;
  }
  static std::string mic() { return (folder_->path() / "mic.wav").string(); }
  static std::string systemAudio() { return (folder_->path() / "system.wav").string(); }

  std::shared_ptr<InProcessTranscriptionEngine> makeEngine(bool sequential, std::int64_t freeBytes = 10'000'000'000,
                                                          InProcessTranscriptionEngine::VostraneFactory makeVostrane = {}) {
    ResolvedMethodSettings settings = ResolvedMethodSettings::resolve("v2", 64ULL << 30);
    settings.sequentialLoading = sequential;
    storage_ = std::make_unique<testsupport::TemporaryFolder>("engine-storage");
    return std::make_shared<InProcessTranscriptionEngine>(TranscriptionMethod::v2(), settings,
                                                          std::make_shared<FakeDiskSpace>(freeBytes), storage_->path(),
                                                          std::move(makeVostrane));
  }

  static testsupport::TemporaryFolder* folder_;
  static fake_hub::FakeHub* hub_;
  std::unique_ptr<testsupport::TemporaryFolder> storage_;
};

testsupport::TemporaryFolder* EngineOnDemoModels::folder_ = nullptr;
fake_hub::FakeHub* EngineOnDemoModels::hub_ = nullptr;

TEST(ResolvedMethodSettingsTest, MemoryAndMethodDecideTheTwoVaryingFields) {
  EXPECT_TRUE(ResolvedMethodSettings::resolve("v2", 64ULL << 30).detectLanguage);
  EXPECT_FALSE(ResolvedMethodSettings::resolve("v1", 64ULL << 30).detectLanguage);
  EXPECT_FALSE(ResolvedMethodSettings::resolve("v9", 64ULL << 30).detectLanguage);
  EXPECT_TRUE(ResolvedMethodSettings::resolve("v2", 8ULL << 30).sequentialLoading);
  EXPECT_FALSE(ResolvedMethodSettings::resolve("v2", (8ULL << 30) + 1).sequentialLoading);
  EXPECT_TRUE(ResolvedMethodSettings::resolve("v2", std::nullopt).sequentialLoading);
  EXPECT_EQ(requiredDiskBytes("x_1307MB"), 1'400'000'000);
  EXPECT_EQ(requiredDiskBytes("x_1100MB"), 1'150'000'000);
  EXPECT_EQ(requiredDiskBytes("x_954MB"), 1'050'000'000);
  EXPECT_EQ(requiredDiskBytes("openai_whisper-large-v3-v20240930_626MB"), 750'000'000);
  EXPECT_EQ(requiredDiskBytes("tiny"), 3'300'000'000);
  EXPECT_EQ(diarizationStrategyFromRawValue("segment"), DiarizationStrategyInternal::segment);
  EXPECT_EQ(diarizationStrategyFromRawValue("Segment"), std::nullopt);
}

TEST(ModelPresenceTest, FindsACompiledModelAtAnyDepthButNotThroughLinksOrHiddenEntries) {
  testsupport::TemporaryFolder folder("presence");
  const fs::path root = folder.path() / "repo";
  EXPECT_FALSE(modelFolderContainsCompiledModel(root));
  fs::create_directories(root / "a" / "b");
  EXPECT_FALSE(modelFolderContainsCompiledModel(root));
  fs::create_directories(root / ".hidden" / "X.mlmodelc");
  EXPECT_FALSE(modelFolderContainsCompiledModel(root));
  fs::create_directories(folder.path() / "elsewhere" / "Y.mlmodelc");
  fs::create_directory_symlink(folder.path() / "elsewhere", root / "link");
  EXPECT_FALSE(modelFolderContainsCompiledModel(root));
  fs::create_directories(root / "a" / "b" / "Z.mlmodelc");
  EXPECT_TRUE(modelFolderContainsCompiledModel(root));
}

TEST(ModelPresenceTest, TheEngineLogsBothResultsAsTrueOrFalse) {
  testsupport::TemporaryFolder storage("presence-log");
  const ResolvedMethodSettings settings = ResolvedMethodSettings::resolve("v2", 64ULL << 30);
  InProcessTranscriptionEngine engine(TranscriptionMethod::v2(), settings, std::make_shared<FakeDiskSpace>(0),
                                      storage.path());
  fs::create_directories(storage.path() / "models" / settings.sttModelRepo / settings.sttModel / "TextDecoder.mlmodelc");
  testsupport::LogCapture capture(platform::log::Level::debug);
  EXPECT_FALSE(engine.modelsPresent());
  EXPECT_THAT(capture.messages(), ::testing::Contains("modelsPresent: stt=true, speaker=false"));
}

TEST_F(EngineOnDemoModels, DownloadSendsBothStatusStringsOnceAndLeavesTheModelsOnDisk) {
  auto engine = makeEngine(false);
  EXPECT_FALSE(engine->modelsPresent());
  std::vector<std::string> strings;
  engine->ensureModelsDownloaded([&](const std::string& s) { strings.push_back(s); });
  EXPECT_EQ(strings, (std::vector<std::string>{"Downloading speech-to-text model", "Downloading speaker ID model"}));
  EXPECT_EQ(engine->status(), ModelStatus::downloading(0));
  EXPECT_TRUE(engine->modelsPresent());
  EXPECT_TRUE(fs::exists(storage_->path() / "locks" / "didezuraz--vostrane-coreml.lock"));
  strings.clear();
  engine->ensureModelsDownloaded([&](const std::string& s) { strings.push_back(s); });
  EXPECT_TRUE(strings.empty());
  // A request after the download reuses both instances; the status stays downloading.
  const TranscriptResult result = engine->processAudio(mic(), systemAudio(), {});
  EXPECT_FALSE(result.segments.empty());
  EXPECT_EQ(engine->status(), ModelStatus::downloading(0));
  engine->unloadModels();
  ASSERT_FALSE(ModelStatusMachine::isAllowed(ModelStatus::downloading(0), ModelStatus::needsDownload()));
  EXPECT_EQ(engine->status(), ModelStatus::downloading(0));  // the table refuses the move
  EXPECT_FALSE(engine->hasVostrane());
  EXPECT_TRUE(engine->modelsPresent());  // the files stay
}

TEST_F(EngineOnDemoModels, TooLittleOrUnreadableFreeSpaceFailsBeforeAnyStatusString) {
  for (const std::int64_t free : {std::int64_t{700'000'000}, std::int64_t{-1}}) {
    auto engine = makeEngine(false, free);
    std::vector<std::string> strings;
    try {
      engine->ensureModelsDownloaded([&](const std::string& s) { strings.push_back(s); });
      FAIL() << "no error";
    } catch (const TranscriptionError& error) {
      EXPECT_EQ(error, TranscriptionError::insufficientDisk(750'000'000, free < 0 ? 0 : free));
      EXPECT_EQ(engine->status(), ModelStatus::error(error));
    }
    EXPECT_TRUE(strings.empty());
    EXPECT_FALSE(engine->hasVostrane());
  }
}

TEST_F(EngineOnDemoModels, SequentialLoadingDropsBothInstancesAfterEachRequest) {
  auto engine = makeEngine(true);
  const TranscriptResult result = engine->processAudio(mic(), systemAudio(), {"Velmoria", "  "});
  EXPECT_EQ(result.transcriptionMethodId, "v2");
  EXPECT_FALSE(result.segments.empty());
  EXPECT_GE(result.speakerCount, 1);
  EXPECT_GT(result.processingDuration, 0);
  EXPECT_FALSE(engine->hasVostrane());
  EXPECT_FALSE(engine->hasDellomar());
  // Without a download first, the table keeps needsDownload through running, loading and ready.
  EXPECT_FALSE(ModelStatusMachine::isAllowed(ModelStatus::needsDownload(), ModelStatus::running()));
  EXPECT_EQ(engine->status(), ModelStatus::needsDownload());
  EXPECT_NO_THROW(engine->processAudio(mic(), systemAudio(), {}));
}

TEST_F(EngineOnDemoModels, BadInputFailsBeforeAnyStatusWrite) {
  auto engine = makeEngine(false);
  const fs::path dangling = storage_->path() / "dangling.wav";
  fs::create_symlink(storage_->path() / "nowhere.wav", dangling);
  const std::vector<std::string> paths = {"", "relative.wav", std::string("/tmp/a\0b.wav", 12), std::string(5000, 'a'),
                                          storage_->path().string(), "/dev/zero", dangling.string()};
  for (const std::string& path : paths) {
    try {
      engine->processAudio(path, systemAudio(), {});
      FAIL() << "no error for " << path.substr(0, 40);
    } catch (const TranscriptionError& error) {
      EXPECT_EQ(error.errorCase(), TranscriptionErrorCase::invalidInput) << path.substr(0, 40);
    }
    EXPECT_EQ(engine->status(), ModelStatus::needsDownload());
  }
}

TEST_F(EngineOnDemoModels, OverlappingRequestsAndUnloadsNeverUseAFreedInstance) {
  auto engine = makeEngine(false);
  engine->ensureModelsDownloaded({});
  std::vector<std::thread> threads;
  std::mutex mutex;
  int succeeded = 0;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      for (int round = 0; round < 2; ++round) {
        try {
          engine->processAudio(mic(), systemAudio(), {});
          std::lock_guard lock(mutex);
          ++succeeded;
        } catch (const TranscriptionError&) {
          // a request whose instance another call dropped fails cleanly
        }
      }
    });
  }
  threads.emplace_back([&] {
    for (int round = 0; round < 4; ++round) {
      engine->unloadModels();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  for (auto& thread : threads) thread.join();
  EXPECT_GT(succeeded, 0);
  EXPECT_NO_THROW(engine->processAudio(mic(), systemAudio(), {}));
}

// A speech library instance whose unloadModels() unloads and then throws.
class UnloadFailingVostrane : public vostrane::Vostrane {
 public:
  using Vostrane::Vostrane;
  void unloadModels() override {
    Vostrane::unloadModels();
    throw std::runtime_error("unload refused");
  }
};

// A speech library instance whose transcription throws a value that is no std::exception.
class OddlyFailingVostrane : public vostrane::Vostrane {
 public:
  using Vostrane::Vostrane;
  using Vostrane::transcribe;
  vostrane::TranscriptionResults transcribe(std::span<const float>, const std::optional<vostrane::DecodingOptions>&,
                                            const vostrane::DecodingCallback&, const SegmentDiscoveryCallback&,
                                            std::stop_token) override {
    throw 42;
  }
};

TEST_F(EngineOnDemoModels, AFailingUnloadAfterTheSpeechStepIsLoggedAndTheRequestGoesOn) {
  auto engine = makeEngine(true, 10'000'000'000, [](const vostrane::VostraneConfig& config) {
    return vostrane::Vostrane::create<UnloadFailingVostrane>(config);
  });
  testsupport::LogCapture capture;
  engine->ensureModelsDownloaded({});
  // The first request reuses the downloaded instance, the second makes one (loading, then
  // ready), the third runs from ready to running and back.
  for (int request = 0; request < 3; ++request) {
    SCOPED_TRACE(request);
    EXPECT_FALSE(engine->processAudio(mic(), systemAudio(), {}).segments.empty());
    EXPECT_FALSE(engine->hasVostrane());
  }
  EXPECT_EQ(engine->status(), ModelStatus::ready());
  EXPECT_TRUE(capture.contains("Vostrane: unloading models failed: unload refused", platform::log::Level::error));
}

TEST_F(EngineOnDemoModels, AStepThatThrowsANonStandardValueFailsWithTheStepsError) {
  auto engine = makeEngine(false, 10'000'000'000, [](const vostrane::VostraneConfig& config) {
    return vostrane::Vostrane::create<OddlyFailingVostrane>(config);
  });
  const TranscriptionError expected = TranscriptionError::transcriptionFailed("unknown error");
  try {
    engine->processAudio(mic(), systemAudio(), {});
    FAIL() << "no error";
  } catch (const TranscriptionError& error) {
    EXPECT_EQ(error, expected);
  }
  EXPECT_EQ(engine->status(), ModelStatus::error(expected));
  EXPECT_TRUE(engine->hasVostrane());  // a failed step keeps its instance for the next request

  // The same kind of value thrown while the models are fetched is the download's error.
  auto fetching = makeEngine(false, 10'000'000'000, [](const vostrane::VostraneConfig&) -> std::shared_ptr<vostrane::Vostrane> {
    throw 42;
  });
  const TranscriptionError downloadError = TranscriptionError::downloadFailed("Vostrane download failed: unknown error");
  try {
    fetching->ensureModelsDownloaded({});
    FAIL() << "no error";
  } catch (const TranscriptionError& error) {
    EXPECT_EQ(error, downloadError);
  }
  EXPECT_EQ(fetching->status(), ModelStatus::error(downloadError));
}

// The text of a transcript's segments, in order (the demo models say demomodels::kDefaultSpeechText).
std::string textOf(const TranscriptResult& result) {
  std::string text;
  for (const TranscriptSegment& segment : result.segments) text += segment.text;
  return text;
}

// Two requests on one engine with sequential loading, both inside the speech step on the same
// speech instance; the first to finish must not unload the models under the other.
TEST_F(EngineOnDemoModels, OverlappingSequentialRequestsEachUnloadOnlyWhatNoOtherRequestUses) {
  const std::string whole = demomodels::kDefaultSpeechText;
  auto engine = makeEngine(true);
  Gate& gate = speechGate();
  gate.close();
  std::mutex mutex;
  std::condition_variable changed;
  int finished = 0;
  const auto request = [&] {
    std::optional<TranscriptResult> result;
    try {
      result = engine->processAudio(mic(), systemAudio(), {});
    } catch (...) {
      std::lock_guard lock(mutex);
      ++finished;
      changed.notify_all();
      throw;
    }
    std::lock_guard lock(mutex);
    ++finished;
    changed.notify_all();
    return *result;
  };
  auto first = std::async(std::launch::async, request);
  ASSERT_TRUE(gate.waitUntilHeld(1));
  // The second request finds the first one's instance and uses it too.
  auto second = std::async(std::launch::async, request);
  ASSERT_TRUE(gate.waitUntilHeld(2));
  gate.allow(1);
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::minutes(1), [&] { return finished == 1; }));
  }
  gate.open();
  EXPECT_EQ(textOf(first.get()), whole);
  EXPECT_EQ(textOf(second.get()), whole);
  EXPECT_FALSE(engine->hasVostrane());
  EXPECT_FALSE(engine->hasDellomar());
}

// unloadModels() while a request is inside a library call: the call ends on its own instance,
// which is unloaded once the request is done with it; the next request makes new instances.
TEST_F(EngineOnDemoModels, UnloadModelsDuringALibraryCallLetsTheRequestFinishWhole) {
  const std::string whole = demomodels::kDefaultSpeechText;
  for (Gate* gate : {&speechGate(), &diarizationGate()}) {
    SCOPED_TRACE(gate == &speechGate() ? "speech" : "diarization");
    auto engine = makeEngine(true);
    gate->close();
    auto request = std::async(std::launch::async, [&] { return engine->processAudio(mic(), systemAudio(), {}); });
    ASSERT_TRUE(gate->waitUntilHeld(1));
    engine->unloadModels();
    EXPECT_FALSE(engine->hasVostrane());
    gate->open();
    EXPECT_EQ(textOf(request.get()), whole);
    EXPECT_FALSE(engine->hasVostrane());
    EXPECT_FALSE(engine->hasDellomar());
  }
}

// unloadModels() while a request prepares the instance it found (loading its models): the
// request finds the instance gone right before using it and fails cleanly.
TEST_F(EngineOnDemoModels, UnloadModelsWhileARequestPreparesFailsItWithModelLoadFailed) {
  auto engine = makeEngine(false);
  engine->ensureModelsDownloaded({});  // an instance whose models the request loads
  Gate& gate = speechLoadGate();
  gate.close();
  auto request = std::async(std::launch::async, [&] { return engine->processAudio(mic(), systemAudio(), {}); });
  ASSERT_TRUE(gate.waitUntilHeld(1));
  engine->unloadModels();
  gate.open();
  const TranscriptionError expected = TranscriptionError::modelLoadFailed("Vostrane is nil after loading");
  try {
    request.get();
    FAIL() << "no error";
  } catch (const TranscriptionError& error) {
    EXPECT_EQ(error, expected);
  }
  EXPECT_FALSE(engine->hasVostrane());
  EXPECT_FALSE(engine->hasDellomar());
  // The next request makes new instances and runs whole.
  EXPECT_EQ(textOf(engine->processAudio(mic(), systemAudio(), {})), demomodels::kDefaultSpeechText);
}

}  // namespace
}  // namespace velmoria
