// The speaker analyzer on two demo recordings (tools/make-demo-audio's layout: mic 0-5 and
// 10-15 s, system 5-10 and 15-20 s) with the demo diarization models behind the fake hub,
// downloaded into a temporary storage folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "transcription/speaker_analyzer.hpp"
#include "transcription/transcription_error.hpp"

namespace {

class SpeakerAnalyzerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), folder_.path() / "repo");
    hub_.addRepository("didezuraz/dellomar-coreml", folder_.path() / "repo");
    ::setenv("HF_ENDPOINT", hub_.endpoint().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (folder_.path() / "data").c_str(), 1);
    mic_ = (folder_.path() / "mic.wav").string();
    system_ = (folder_.path() / "system.wav").string();
    const std::string command = MAKE_DEMO_AUDIO_TOOL " --mic " + mic_ + " --system " + system_ + " --seconds 20";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  void TearDown() override {
    ::unsetenv("HF_ENDPOINT");
    ::unsetenv("XDG_DATA_HOME");
  }

  testsupport::TemporaryFolder folder_{"analyzer"};
  fake_hub::FakeHub hub_;
  std::string mic_, system_;
};

TEST_F(SpeakerAnalyzerTest, CondensesTheDiarizationIntoSpansDurationsAndOneEmbeddingSet) {
  velmoria::SpeakerAnalyzer analyzer;
  analyzer.ensureModelsDownloaded();
  const auto downloads = hub_.requestCount("GET");
  EXPECT_GT(downloads, 0u);
  analyzer.ensureModelsDownloaded();
  EXPECT_EQ(hub_.requestCount("GET"), downloads);

  const auto analysis = analyzer.analyze(mic_, system_);
  ASSERT_FALSE(analysis.spans.empty());
  // The durations are the spans' lengths per speaker; the whole 20 s are speech.
  double total = 0;
  std::map<std::int64_t, double> expected;
  for (const auto& span : analysis.spans) {
    EXPECT_LE(span.start, span.end);
    expected[span.speakerID] += span.end - span.start;
  }
  EXPECT_EQ(analysis.speakerSpeechDurations, expected);
  for (const auto& [id, seconds] : analysis.speakerSpeechDurations) total += seconds;
  EXPECT_NEAR(total, 20.0, 1.0);
  // One embedding set with one finite centroid per speaker.
  ASSERT_EQ(analysis.embeddingSets.size(), 1u);
  EXPECT_EQ(analysis.embeddingSets[0].kind, velmoria::EmbeddingKind::raw);
  EXPECT_EQ(analysis.embeddingSets[0].space, velmoria::SpeakerEmbeddingSpace::current());
  EXPECT_EQ(analysis.embeddingSets[0].vectors.size(), analysis.speakerSpeechDurations.size());
  for (const auto& [id, vector] : analysis.embeddingSets[0].vectors) EXPECT_FALSE(vector.empty()) << id;

  // A new instance after unload; the models on disk are not fetched again.
  analyzer.unload();
  EXPECT_FALSE(analyzer.hasInstance());
  const auto again = analyzer.analyze(mic_, system_);
  EXPECT_TRUE(analyzer.hasInstance());
  EXPECT_EQ(again, analysis);
}

TEST_F(SpeakerAnalyzerTest, AMissingFileFailsWithTheLoadersErrorAndAnUnreachableHubWithDownloadFailed) {
  velmoria::SpeakerAnalyzer analyzer;
  try {
    analyzer.analyze(mic_ + ".missing", system_);
    FAIL() << "no error";
  } catch (const velmoria::TranscriptionError& e) {
    EXPECT_EQ(e.errorCase(), velmoria::TranscriptionErrorCase::invalidInput);
  }
  ::setenv("HF_ENDPOINT", "http://127.0.0.1:1", 1);
  try {
    analyzer.ensureModelsDownloaded();
    FAIL() << "no error";
  } catch (const velmoria::TranscriptionError& e) {
    EXPECT_EQ(e.errorCase(), velmoria::TranscriptionErrorCase::downloadFailed);
    EXPECT_EQ(e.message().rfind("Dellomar download failed: ", 0), 0u) << e.message();
  }
  EXPECT_FALSE(analyzer.hasInstance());
}

}  // namespace
