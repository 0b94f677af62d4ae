// The transcribe task end to end on the demo speech models: generated audio through the mel
// graph, the encoder graph and the scripted decoder, loaded with the components' own loaders.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "core/progress.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/pipeline/transcribe_task.hpp"
#include "speech/demo_speech_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;
constexpr int kRate = 16000;

class PipelineEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { demo_ = new testdemo::DemoSpeechFolder("pipeline_e2e"); }
  static void TearDownTestSuite() { delete demo_; }
  static fs::path models() { return demo_->models(); }

  void SetUp() override {
    tokenizer_ = demo_->loadTokenizer();
    auto extractor = std::make_shared<FeatureExtractor>();
    extractor->loadModel(models() / "MelSpectrogram.mlmodelc", kCpu, false);
    auto encoder = std::make_shared<AudioEncoder>();
    encoder->loadModel(models() / "AudioEncoder.mlmodelc", kCpu, false);
    auto decoder = std::make_shared<TextDecoder>();
    decoder->loadModel(models() / "TextDecoder.mlmodelc", kCpu, false);
    decoder->setTokenizer(tokenizer_);
    decoder->setIsModelMultilingual(true);
    task_ = std::make_unique<TranscribeTask>(TranscriptionTimings{}, progress_, nullptr, encoder, extractor,
                                             std::make_shared<SegmentSeeker>(), decoder, tokenizer_);
    script_ = demomodels::speechScript(*tokenizer_, demomodels::kDefaultSpeechText);
  }

  static std::vector<float> speechLikeAudio(double seconds) { return testdemo::speechLikeAudio(seconds); }

  std::shared_ptr<TranscriptionResult> transcribe(const std::vector<float>& audio, const DecodingOptions& options = {}) {
    return task_->run(audio, options);
  }

  static std::vector<float> starts(const std::vector<TranscriptionSegment>& segments) {
    std::vector<float> out;
    for (const auto& s : segments) out.push_back(s.start);
    return out;
  }

  static inline testdemo::DemoSpeechFolder* demo_ = nullptr;
  std::shared_ptr<const WhisperTokenizerWrapper> tokenizer_;
  std::shared_ptr<noxtal::Progress> progress_ = noxtal::Progress::make(0);
  std::unique_ptr<TranscribeTask> task_;
  demomodels::SpeechScript script_;
};

TEST_F(PipelineEndToEnd, SeventyFiveSecondsGiveThreeScriptedWindows) {
  const auto result = transcribe(speechLikeAudio(75));
  const std::vector<TranscriptionSegment> segments = result->segments();
  ASSERT_EQ(segments.size(), 6U);
  EXPECT_EQ(starts(segments), (std::vector<float>{0, 2.5F, 30, 32.5F, 60, 62.5F}));
  const std::vector<int> seeks{0, 0, 480000, 480000, 960000, 960000};
  for (std::size_t i = 0; i < segments.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(segments[i].seek, seeks[i]);
    EXPECT_EQ(segments[i].id, static_cast<int>(i));
    EXPECT_FLOAT_EQ(segments[i].end, i % 2 == 0 ? segments[i].start + 2.5F : segments[i].start + 27.5F);
  }
  const std::string text = std::string(demomodels::kDefaultSpeechText).substr(1);  // the leading blank is trimmed
  EXPECT_EQ(result->text(), text + demomodels::kDefaultSpeechText + demomodels::kDefaultSpeechText);
  EXPECT_EQ(result->language(), "en");

  const TranscriptionTimings timings = result->timings();
  EXPECT_EQ(timings.totalAudioProcessingRuns, 3);
  EXPECT_EQ(timings.totalLogmelRuns, 3);
  EXPECT_EQ(timings.totalEncodingRuns, 3);
  EXPECT_EQ(timings.totalDecodingWindows, 3);
  EXPECT_EQ(timings.totalDecodingFallbacks, 0);
  // Per window: the three prompt steps before the timestamp token, then one step per answer.
  EXPECT_EQ(timings.totalDecodingLoops, 3.0 * static_cast<double>(script_.tokens.size() + 2));
  EXPECT_EQ(timings.totalKVUpdateRuns, 3.0 * static_cast<double>(script_.tokens.size() + 1));
  EXPECT_DOUBLE_EQ(timings.inputAudioSeconds, 75);
  EXPECT_EQ(progress_->completedUnitCount(), 75 * kRate);
  EXPECT_EQ(progress_->totalUnitCount(), 75 * kRate);
}

TEST_F(PipelineEndToEnd, WordTimesFollowTheScriptInEveryWindow) {
  DecodingOptions options;
  options.wordTimestamps = true;
  const auto result = transcribe(speechLikeAudio(75), options);
  std::vector<WordTiming> words;
  for (const auto& segment : result->segments()) {
    ASSERT_TRUE(segment.words);
    words.insert(words.end(), segment.words->begin(), segment.words->end());
  }
  const std::size_t perWindow = script_.words.size();
  ASSERT_EQ(words.size(), 3 * perWindow);
  for (std::size_t i = 0; i < words.size(); ++i) {
    SCOPED_TRACE(words[i].word);
    const double offset = 30.0 * static_cast<double>(i / perWindow);
    const double w = static_cast<double>(i % perWindow);
    EXPECT_NEAR(words[i].start, offset + 0.5 * w, 1e-3);
    EXPECT_NEAR(words[i].end, offset + 0.5 * (w + 1), 1e-3);
  }
  EXPECT_EQ(words.back().word, " dog.");
  EXPECT_EQ(result->timings().totalTimestampAlignmentRuns, 3);
}

TEST_F(PipelineEndToEnd, ClipTimestampsChooseTheWindows) {
  DecodingOptions fromFive;
  fromFive.clipTimestamps = {5.0F};
  const auto late = transcribe(speechLikeAudio(75), fromFive);
  EXPECT_EQ(starts(late->segments()), (std::vector<float>{5, 7.5F, 35, 37.5F, 65, 67.5F}));
  EXPECT_DOUBLE_EQ(late->timings().inputAudioSeconds, 70);

  DecodingOptions twoClips;
  twoClips.clipTimestamps = {0, 10, 20, 30};
  const auto clipped = transcribe(speechLikeAudio(75), twoClips);
  const auto segments = clipped->segments();
  EXPECT_EQ(starts(segments), (std::vector<float>{0, 2.5F, 20, 22.5F}));
  ASSERT_EQ(segments.size(), 4U);
  EXPECT_EQ(segments[2].seek, 20 * kRate);
  EXPECT_EQ(progress_->totalUnitCount(), 20 * kRate);
  EXPECT_EQ(progress_->completedUnitCount(), 20 * kRate);
}

TEST_F(PipelineEndToEnd, EmptyAndSubSecondAudioGiveTheEmptyResult) {
  for (const double seconds : {0.0, 0.5}) {
    SCOPED_TRACE(seconds);
    const auto result = transcribe(speechLikeAudio(seconds));
    EXPECT_EQ(result->text(), "");
    EXPECT_TRUE(result->segments().empty());
    EXPECT_EQ(result->timings().totalDecodingWindows, 0);
  }
}

}  // namespace
}  // namespace vostrane
