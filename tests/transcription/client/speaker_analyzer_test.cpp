// The speaker analyzer on two demo recordings (tools/make-demo-audio's layout: the microphone's
// voice in 0-5 and 10-15 s, the system output's in 5-10 and 15-20 s) with the demo diarization
// models behind the fake hub, downloaded into one storage folder for the process (the storage
// folder is fixed at its first use).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/log_capture.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "transcription/in_process_transcription_engine.hpp"
#include "transcription/speaker_analyzer.hpp"
#include "transcription/transcription_error.hpp"

namespace {

namespace fs = std::filesystem;

class DemoSetup : public ::testing::Environment {
 public:
  void SetUp() override {
    folder = std::make_unique<testsupport::TemporaryFolder>("analyzer");
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), folder->path() / "repo");
    hub = std::make_unique<fake_hub::FakeHub>();
    hub->addRepository(velmoria::kDiarizationModelRepo, folder->path() / "repo");
    ::setenv("HF_ENDPOINT", hub->endpoint().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder->path() / "data").c_str(), 1);
    ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
    mic = (folder->path() / "mic.wav").string();
    system = (folder->path() / "system.wav").string();
    const std::string command = MAKE_DEMO_AUDIO_TOOL " --mic " + mic + " --system " + system + " --seconds 20";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void TearDown() override {
    hub.reset();
    folder.reset();
  }

  std::unique_ptr<testsupport::TemporaryFolder> folder;
  std::unique_ptr<fake_hub::FakeHub> hub;
  std::string mic, system;
};

DemoSetup* const demo = static_cast<DemoSetup*>(::testing::AddGlobalTestEnvironment(new DemoSetup));

// Requests for file contents (not metadata).
std::size_t fileDownloads() {
  std::size_t count = 0;
  for (const auto& request : demo->hub->requests()) {
    if (request.method == "GET" && request.target.find("/resolve/") != std::string::npos) ++count;
  }
  return count;
}

class SpeakerAnalyzerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove_all(velmoria::modelStorageBaseURL() / "models", ec);
  }
};

TEST_F(SpeakerAnalyzerTest, FindsBothVoicesWithTheirSpansDurationsAndOneEmbeddingSet) {
  velmoria::SpeakerAnalyzer analyzer;
  const auto analysis = analyzer.analyze(demo->mic, demo->system);
  ASSERT_EQ(analysis.speakerSpeechDurations.size(), 2u);
  // Each voice speaks twice for 5 s; a span's speaker is the voice of its stretch.
  ASSERT_EQ(analysis.spans.size(), 4u);
  const std::int64_t micVoice = analysis.spans[0].speakerID;
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(analysis.spans[i].start, 5.0 * static_cast<double>(i), 0.5);
    EXPECT_NEAR(analysis.spans[i].end, 5.0 * static_cast<double>(i + 1), 0.5);
    EXPECT_EQ(analysis.spans[i].speakerID == micVoice, i % 2 == 0);
  }
  // The durations are the spans' lengths per speaker.
  std::map<std::int64_t, double> expected;
  for (const auto& span : analysis.spans) expected[span.speakerID] += span.end - span.start;
  EXPECT_EQ(analysis.speakerSpeechDurations, expected);
  for (const auto& [id, seconds] : analysis.speakerSpeechDurations) EXPECT_NEAR(seconds, 10.0, 1.0) << id;
  // One set with one finite centroid per speaker, and the two voices far apart.
  ASSERT_EQ(analysis.embeddingSets.size(), 1u);
  const auto& set = analysis.embeddingSets[0];
  EXPECT_EQ(set.kind, velmoria::EmbeddingKind::raw);
  EXPECT_EQ(set.space, velmoria::SpeakerEmbeddingSpace::current());
  ASSERT_EQ(set.vectors.size(), 2u);
  const auto& a = set.vectors.begin()->second;
  const auto& b = set.vectors.rbegin()->second;
  ASSERT_EQ(a.size(), b.size());
  double dot = 0, na = 0, nb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  EXPECT_LT(dot / std::sqrt(na * nb), 0.5);
}

TEST_F(SpeakerAnalyzerTest, DownloadsOnceAndMakesANewInstanceAfterUnload) {
  velmoria::SpeakerAnalyzer analyzer;
  const std::size_t before = fileDownloads();
  {
    testsupport::LogCapture log(platform::log::Level::debug);
    analyzer.ensureModelsDownloaded();
    EXPECT_TRUE(analyzer.hasInstance());
    EXPECT_GT(fileDownloads(), before);
    EXPECT_TRUE(log.contains("SpeakerAnalyzer: downloading Dellomar models"));
    EXPECT_TRUE(log.contains("SpeakerAnalyzer: models ready"));

    // Held instance: nothing asked of the hub, nothing logged.
    log.clear();
    const std::size_t requests = demo->hub->requests().size();
    analyzer.ensureModelsDownloaded();
    EXPECT_EQ(demo->hub->requests().size(), requests);
    EXPECT_TRUE(log.messages().empty());
  }
  // A second analyzer finds the models on disk and downloads no file.
  const std::size_t downloaded = fileDownloads();
  velmoria::SpeakerAnalyzer second;
  second.ensureModelsDownloaded();
  EXPECT_EQ(fileDownloads(), downloaded);

  const auto first = analyzer.analyze(demo->mic, demo->system);
  analyzer.unload();
  EXPECT_FALSE(analyzer.hasInstance());
  const auto again = analyzer.analyze(demo->mic, demo->system);
  EXPECT_TRUE(analyzer.hasInstance());
  EXPECT_EQ(again, first);
  EXPECT_EQ(fileDownloads(), downloaded);
}

TEST_F(SpeakerAnalyzerTest, AMissingFileFailsWithTheLoadersErrorAndAnUnreachableHubWithDownloadFailed) {
  velmoria::SpeakerAnalyzer analyzer;
  try {
    analyzer.analyze(demo->mic + ".missing", demo->system);
    FAIL() << "no error";
  } catch (const velmoria::TranscriptionError& e) {
    EXPECT_EQ(e.errorCase(), velmoria::TranscriptionErrorCase::invalidInput);
  }
  const std::string endpoint = std::getenv("HF_ENDPOINT");
  ::setenv("HF_ENDPOINT", "http://127.0.0.1:1", 1);
  try {
    analyzer.ensureModelsDownloaded();
    ADD_FAILURE() << "no error";
  } catch (const velmoria::TranscriptionError& e) {
    EXPECT_EQ(e.errorCase(), velmoria::TranscriptionErrorCase::downloadFailed);
    EXPECT_EQ(e.message().rfind("Dellomar download failed: ", 0), 0u) << e.message();
  }
  ::setenv("HF_ENDPOINT", endpoint.c_str(), 1);
  EXPECT_FALSE(analyzer.hasInstance());
}

}  // namespace
