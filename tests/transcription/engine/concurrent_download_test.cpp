// Two engines that share one storage folder download the same repositories at the same time
// (two connections of one worker do this): the per-repository lock lets one download while the
// other waits, so both end ready and every model file on disk is whole. The hub holds the body
// of one file per repository in the middle of its transfer, so that the second engine arrives
// while the first is still downloading.
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/folder_contents.hpp"
#include "support/temporary_folder.hpp"
#include "support/wav_writer.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/in_process_transcription_engine.hpp"

namespace velmoria {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSpeechRepo = "didezuraz/vostrane-coreml";

class AmpleDiskSpace : public DiskSpaceChecking {
 public:
  void checkAvailableSpace(std::int64_t) override {}
};

class ConcurrentDownloads : public ::testing::Test {
 protected:
  void SetUp() override {
    demomodels::SpeechDemoOptions speech;
    speech.out = speechSource();
    speech.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), diarizationSource());
    hub_.addRepository(kSpeechRepo, speechSource());
    hub_.addRepository(kDiarizationModelRepo, diarizationSource());
    ::setenv("HF_ENDPOINT", hub_.endpoint().c_str(), 1);
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    const auto tone = [](double frequency) { return testsupport::sine(frequency, 0.3, 16000); };
    testsupport::writeWav(mic(), 16000, 1, 16000 * 4, tone(140));
    testsupport::writeWav(systemAudio(), 16000, 1, 16000 * 4, tone(260));
    // The first transfer of one model file per repository stops for a while after its first
    // byte.
    for (const char* file : {"AudioEncoder.mlmodelc/model.json", "SpeakerSegmenter.mlmodelc/model.json"}) {
      hub_.addFault(fake_hub::Fault::stallFor(std::chrono::milliseconds(800), file, 1).forMethod("GET").limitedTo(1));
    }
  }

  fs::path speechSource() const { return folder_.path() / "speech-repo"; }
  fs::path diarizationSource() const { return folder_.path() / "diarization" / "dellomar"; }
  std::string mic() const { return (folder_.path() / "mic.wav").string(); }
  std::string systemAudio() const { return (folder_.path() / "system.wav").string(); }
  fs::path storage() const { return folder_.path() / "storage"; }

  std::shared_ptr<InProcessTranscriptionEngine> makeEngine() const {
    ResolvedMethodSettings settings = ResolvedMethodSettings::resolve("v2", 64ULL << 30);
    return std::make_shared<InProcessTranscriptionEngine>(TranscriptionMethod::v2(), settings,
                                                          std::make_shared<AmpleDiskSpace>(), storage());
  }

  // Every file that reached the storage folder equals its source; the model folder and the
  // diarization repository are there whole, and no partial file is left.
  void expectIntactModels() const {
    const fs::path models = storage() / "models";
    const fs::path speechCopy = models / kSpeechRepo / demomodels::kDefaultSpeechFolder;
    const fs::path diarizationCopy = models / kDiarizationModelRepo;
    for (const auto& [copy, source] : {std::pair{speechCopy, speechSource() / demomodels::kDefaultSpeechFolder},
                                       std::pair{diarizationCopy, diarizationSource()}}) {
      const std::vector<fs::path> expected = testsupport::visibleFiles(source);
      ASSERT_FALSE(expected.empty()) << source;
      for (const fs::path& file : expected) {
        ASSERT_TRUE(fs::exists(copy / file)) << file;
        const std::string copied = testsupport::fileContents(copy / file);
        EXPECT_TRUE(copied == testsupport::fileContents(source / file)) << file << ": " << copied.size() << " bytes";
      }
      EXPECT_EQ(testsupport::visibleFiles(copy), expected) << copy;
    }
    for (const auto& entry : fs::recursive_directory_iterator(models)) {
      EXPECT_NE(entry.path().extension(), ".incomplete") << "partial file left: " << entry.path();
    }
  }

  testsupport::TemporaryFolder folder_{"concurrent-download"};
  fake_hub::FakeHub hub_;
};

TEST_F(ConcurrentDownloads, TwoEnginesDownloadingAtOnceBothEndReadyWithWholeFiles) {
  auto first = makeEngine();
  auto second = makeEngine();
  std::latch start(2);
  std::optional<std::string> failures[2];
  std::vector<std::string> strings[2];
  std::vector<std::thread> threads;
  int index = 0;
  for (const auto& engine : {first, second}) {
    threads.emplace_back([&, engine, i = index++] {
      start.arrive_and_wait();
      try {
        engine->ensureModelsDownloaded([&strings, i](const std::string& s) { strings[i].push_back(s); });
      } catch (const std::exception& error) {
        failures[i] = error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> both = {"Downloading speech-to-text model", "Downloading speaker ID model"};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(failures[i], std::nullopt) << "engine " << i;
    EXPECT_EQ(strings[i], both) << "engine " << i;
  }
  // The hub really held a transfer while the other engine came.
  EXPECT_GE(hub_.requestCount("GET", "AudioEncoder.mlmodelc/model.json"), 1U);
  for (const auto& engine : {first, second}) {
    EXPECT_EQ(engine->status(), ModelStatus::downloading(0));
    EXPECT_TRUE(engine->modelsPresent());
  }
  expectIntactModels();
  // Both engines work on what they downloaded.
  for (const auto& engine : {first, second}) {
    const TranscriptResult result = engine->processAudio(mic(), systemAudio(), {});
    EXPECT_FALSE(result.segments.empty());
  }
}

TEST_F(ConcurrentDownloads, TwoFirstRequestsAtOnceLoadFromOneDownload) {
  // No download beforehand: each request creates and loads its libraries, downloading what is
  // missing, at the same moment as the other.
  auto first = makeEngine();
  auto second = makeEngine();
  std::latch start(2);
  std::optional<std::string> failures[2];
  std::optional<TranscriptResult> results[2];
  std::vector<std::thread> threads;
  int index = 0;
  for (const auto& engine : {first, second}) {
    threads.emplace_back([&, engine, i = index++] {
      start.arrive_and_wait();
      try {
        results[i] = engine->processAudio(mic(), systemAudio(), {});
      } catch (const std::exception& error) {
        failures[i] = error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(failures[i], std::nullopt) << "engine " << i;
    ASSERT_TRUE(results[i].has_value());
    EXPECT_FALSE(results[i]->segments.empty());
  }
  expectIntactModels();
}

}  // namespace
}  // namespace velmoria
