// The worker's engine on the demo models behind a local fake hub: download status strings and
// disk check, presence on disk, sequential loading, status consequences, and overlapping
// requests with unloads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"
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

class EngineOnDemoModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("engine");
    demomodels::SpeechDemoOptions speech;
    speech.out = folder_->path() / "speech-repo";
    speech.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), folder_->path() / "diarization" / "dellomar");
    hub_ = new fake_hub::FakeHub();
    hub_->addRepository("didezuraz/vostrane-coreml", speech.out);
    hub_->addRepository(kDiarizationModelRepo, folder_->path() / "diarization" / "dellomar");
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

  std::shared_ptr<InProcessTranscriptionEngine> makeEngine(bool sequential, std::int64_t freeBytes = 10'000'000'000) {
    ResolvedMethodSettings settings = ResolvedMethodSettings::resolve("v2", 64ULL << 30);
    settings.sequentialLoading = sequential;
    storage_ = std::make_unique<testsupport::TemporaryFolder>("engine-storage");
    return std::make_shared<InProcessTranscriptionEngine>(TranscriptionMethod::v2(), settings,
                                                          std::make_shared<FakeDiskSpace>(freeBytes), storage_->path());
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

}  // namespace
}  // namespace velmoria
