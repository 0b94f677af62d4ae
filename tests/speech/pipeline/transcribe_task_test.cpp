// The transcribe task's window loop over scripted components: windows, seeks, clips, progress,
// timings, hooks, word timings, the faults the loop guards against, and cancellation.
#include "speech/pipeline/transcribe_task.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>

#include "platform/sync/cancellation.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/pipeline_test_base.hpp"
#include "support/expect_error.hpp"

namespace vostrane {
namespace {

using pipeline_fixture::kEnd;
using pipeline_fixture::textIds;
using testsupport::expectError;

std::vector<float> starts(const std::vector<TranscriptionSegment>& segments) {
  std::vector<float> out;
  for (const auto& s : segments) out.push_back(s.start);
  return out;
}
std::vector<int> seeks(const std::vector<TranscriptionSegment>& segments) {
  std::vector<int> out;
  for (const auto& s : segments) out.push_back(s.seek);
  return out;
}

// A task that fails instead of looping forever, and records its hook calls.
class CountingTask : public TranscribeTask {
 public:
  using TranscribeTask::TranscribeTask;
  void windowPreprocess(const AudioProcessorOutputType& padded, int seek, int segmentSize) override {
    if (++windows > 10) throw std::runtime_error("the window loop does not end");
    preprocessed.emplace_back(seek, segmentSize);
    EXPECT_EQ(padded.count(), 480'000);
  }
  std::vector<TranscriptionSegment> windowPostProcess(int seek, int segmentSize,
                                                      std::vector<TranscriptionSegment> segments) override {
    postProcessed.emplace_back(seek, segmentSize);
    return segments;
  }
  int windows = 0;
  std::vector<std::pair<int, int>> preprocessed;
  std::vector<std::pair<int, int>> postProcessed;
};

TEST_F(PipelineTest, SeventyFiveSecondsGiveThreeWindows) {
  spec_.sequences = {{1, twoSegments(" Hello", 10, " world", 30)},
                     {2, twoSegments(" good", 12, " morning", 30)},
                     {3, twoSegments(" bye", 5, " now", 15)}};
  load();
  auto task = makeTask<CountingTask>();
  std::vector<std::vector<TranscriptionSegment>> discovered;
  task->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& s) { discovered.push_back(s); });

  const auto result = task->run(audio(75, {0, 480'000, 960'000}));
  const auto segments = result->segments();
  EXPECT_EQ(starts(segments), (std::vector<float>{0, 10, 30, 42, 60, 65}));
  EXPECT_EQ(seeks(segments), (std::vector<int>{0, 0, 480'000, 480'000, 960'000, 960'000}));
  EXPECT_FLOAT_EQ(segments.back().end, 75);
  EXPECT_EQ(result->text(), "Hello world good morning bye now");
  EXPECT_EQ(result->language(), "en");
  EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 480'000}, {480'000, 480'000}, {960'000, 240'000}}));
  EXPECT_EQ(task->postProcessed, task->preprocessed);
  ASSERT_EQ(discovered.size(), 3U);
  EXPECT_EQ(discovered[2].size(), 2U);

  const TranscriptionTimings t = result->timings();
  EXPECT_EQ(t.totalAudioProcessingRuns, 3);
  EXPECT_EQ(t.totalLogmelRuns, 3);
  EXPECT_EQ(t.totalEncodingRuns, 3);
  EXPECT_EQ(t.totalDecodingWindows, 3);
  EXPECT_EQ(t.totalDecodingFallbacks, 0);
  EXPECT_DOUBLE_EQ(t.inputAudioSeconds, 75);
  EXPECT_GT(t.totalDecodingLoops, 0);
  EXPECT_LE(t.pipelineStart, t.firstTokenTime);
  EXPECT_GE(t.fullPipeline, t.decodingLoop);
  EXPECT_EQ(progress_->totalUnitCount(), 1'200'000);
  EXPECT_EQ(progress_->completedUnitCount(), 1'200'000);

  // The task's timings carry over: a second run adds to the counters, keeps the first start.
  const double firstStart = t.pipelineStart;
  const auto again = task->run(audio(75, {0, 480'000, 960'000}));
  EXPECT_EQ(again->timings().totalDecodingWindows, 6);
  EXPECT_EQ(again->timings().pipelineStart, firstStart);
  EXPECT_EQ(result->timings().totalDecodingWindows, 3);
}

TEST_F(PipelineTest, EmptyAndShortAudioGiveTheEmptyResult) {
  load();
  for (double seconds : {0.0, 0.5, 1.0}) {
    SCOPED_TRACE(seconds);
    const int melBefore = pipeline_fixture::melPredictions();
    auto task = makeTask();
    const auto result = task->run(audio(seconds));
    EXPECT_EQ(result->text(), "");
    EXPECT_TRUE(result->segments().empty());
    EXPECT_EQ(result->language(), "en");
    EXPECT_FALSE(result->seekTime());
    EXPECT_EQ(pipeline_fixture::melPredictions(), melBefore);
    EXPECT_EQ(progress_->totalUnitCount(), static_cast<int>(seconds * 16000));
    EXPECT_EQ(progress_->completedUnitCount(), progress_->totalUnitCount());
  }
}

TEST_F(PipelineTest, ShortAudioIsOneWindowPaddedToTheModelWindow) {
  // 1.5 s: one window of 24000 samples; the seeker moves past 8000, so no second window.
  spec_.sequences = {{0, pipeline_fixture::script(concat(concat({time(0)}, textIds(" short")), {time(1.5)}))}};
  load();
  auto task = makeTask<CountingTask>();
  const auto result = task->run(audio(1.5));
  EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 24'000}}));
  EXPECT_EQ(result->text(), "short");
}

TEST_F(PipelineTest, ClipTimestampsChooseTheTranscribedRanges) {
  spec_.sequences = {{1, twoSegments(" one", 5, " two", 15)}, {2, twoSegments(" three", 5, " four", 10)}};
  load();
  {
    auto task = makeTask<CountingTask>();
    DecodingOptions options;
    options.clipTimestamps = {5.0F};
    const auto result = task->run(audio(20, {80'000}), options);
    EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{80'000, 240'000}}));
    EXPECT_EQ(starts(result->segments()), (std::vector<float>{5, 10}));
    EXPECT_DOUBLE_EQ(result->timings().inputAudioSeconds, 15);
    EXPECT_EQ(progress_->totalUnitCount(), 240'000);
    EXPECT_EQ(progress_->completedUnitCount(), 240'000);
  }
  {
    // Two clips of ten seconds; the second clip's progress adds to the first one's, and the
    // count left by the run before does not.
    auto task = makeTask<CountingTask>();
    DecodingOptions options;
    options.clipTimestamps = {0, 10, 20, 30};
    std::vector<std::int64_t> completed;
    task->setSegmentDiscoveryCallback([&](const auto&) { completed.push_back(progress_->completedUnitCount()); });
    const auto result = task->run(audio(40, {0, 320'000}), options);
    EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 160'000}, {320'000, 160'000}}));
    EXPECT_EQ(starts(result->segments()), (std::vector<float>{0, 5, 20, 25}));
    EXPECT_EQ(progress_->totalUnitCount(), 320'000);
    EXPECT_EQ(progress_->completedUnitCount(), 320'000);
    // The callback runs before the window's progress is written.
    EXPECT_EQ(completed, (std::vector<std::int64_t>{0, 160'000}));
  }
}

TEST_F(PipelineTest, ClipsOutsideTheAudioAreClampedOrSkipped) {
  spec_.sequences = {{0, pipeline_fixture::script(concat(concat({time(0)}, textIds(" clip")), {time(4)}))}};
  load();
  auto task = makeTask<CountingTask>();
  DecodingOptions options;
  // Before the start, past the end, reversed: (0, 4 s), (8 s, 10 s), nothing.
  options.clipTimestamps = {-5, 4, 8, 50, 9, 7};
  const auto result = task->run(audio(10), options);
  EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 64'000}, {128'000, 32'000}}));
  EXPECT_EQ(progress_->totalUnitCount(), 64'000 + 32'000);
  EXPECT_EQ(progress_->completedUnitCount(), 96'000);
  EXPECT_EQ(result->segments().size(), 2U);
  EXPECT_DOUBLE_EQ(result->timings().inputAudioSeconds, 10);

  // A clip wholly past the end is skipped instead of failing on a window without audio.
  options.clipTimestamps = {50, 60};
  const auto none = task->run(audio(10), options);
  EXPECT_TRUE(none->segments().empty());
  EXPECT_EQ(progress_->totalUnitCount(), 0);
  EXPECT_DOUBLE_EQ(none->timings().inputAudioSeconds, 0);
}

TEST_F(PipelineTest, OptionsThatCannotRunAreRefusedBeforeTheFirstWindow) {
  load();
  auto task = makeTask();
  const auto samples = audio(5);
  const int melBefore = pipeline_fixture::melPredictions();
  for (int maxWindowSeek : {0, -1}) {
    DecodingOptions options;
    options.maxWindowSeek = maxWindowSeek;
    expectError<WhisperError>([&] { task->run(samples, options); }, WhisperError::Case::transcriptionFailed,
                              "maxWindowSeek must be positive");
  }
  for (float clipTime : {-1.0F, std::nanf(""), std::numeric_limits<float>::infinity(), 1e30F}) {
    DecodingOptions options;
    options.windowClipTime = clipTime;
    expectError<WhisperError>([&] { task->run(samples, options); }, WhisperError::Case::transcriptionFailed,
                              "windowClipTime must be a finite number of seconds at least 0");
  }
  EXPECT_EQ(pipeline_fixture::melPredictions(), melBefore);
}

// An extractor that reports a window of its own choosing, or gives nothing.
class ReportingExtractor : public FeatureExtracting {
 public:
  explicit ReportingExtractor(std::shared_ptr<FeatureExtracting> inner) : inner_(std::move(inner)) {}
  std::optional<int> melCount() const override { return inner_->melCount(); }
  std::optional<int> windowSamples() const override { return window ? window : inner_->windowSamples(); }
  std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& audio,
                                                              std::stop_token stop) override {
    if (giveNothing) return std::nullopt;
    auto out = inner_->logMelSpectrogram(audio, stop);
    if (after) after();
    return out;
  }
  std::optional<int> window;
  bool giveNothing = false;
  std::function<void()> after;

 private:
  std::shared_ptr<FeatureExtracting> inner_;
};

class ReportingEncoder : public AudioEncoding {
 public:
  explicit ReportingEncoder(std::shared_ptr<AudioEncoding> inner) : inner_(std::move(inner)) {}
  std::optional<int> embedSize() const override { return inner_->embedSize(); }
  std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features,
                                                       std::stop_token stop) override {
    if (giveNothing) return std::nullopt;
    auto out = inner_->encodeFeatures(features, stop);
    if (after) after();
    return out;
  }
  bool giveNothing = false;
  std::function<void()> after;

 private:
  std::shared_ptr<AudioEncoding> inner_;
};

TEST_F(PipelineTest, ComponentsThatGiveNothingFailTheRun) {
  load();
  auto extractor = std::make_shared<ReportingExtractor>(components_.featureExtractor);
  auto encoder = std::make_shared<ReportingEncoder>(components_.audioEncoder);
  auto task = makeTask(extractor, encoder);
  const auto samples = audio(5);

  extractor->window = 0;
  expectError<WhisperError>([&] { task->run(samples); }, WhisperError::Case::transcriptionFailed,
                            "Model window must hold at least one sample");
  extractor->window.reset();
  extractor->giveNothing = true;
  expectError<WhisperError>([&] { task->run(samples); }, WhisperError::Case::transcriptionFailed, "Mel output is nil");
  extractor->giveNothing = false;
  encoder->giveNothing = true;
  expectError<WhisperError>([&] { task->run(samples); }, WhisperError::Case::transcriptionFailed,
                            "Encoder output is nil");
}

TEST_F(PipelineTest, ADecoderWithTooFewCachePositionsIsRefusedBeforeTheFirstWindow) {
  spec_.maxSequenceLength = 100;
  load();
  auto task = makeTask();
  const int melBefore = pipeline_fixture::melPredictions();
  expectError<WhisperError>([&] { task->run(audio(5)); }, WhisperError::Case::prepareDecoderInputsFailed,
                            "Decoder inputs hold fewer than 224 cache positions");
  EXPECT_EQ(pipeline_fixture::melPredictions(), melBefore);
}

TEST_F(PipelineTest, AWindowThatDoesNotMoveTheSeekIsLeftBehind) {
  // "<|0.00|><|0.00|><|endoftext|>": the seeker answers the window's own start.
  spec_.sequences = {{0, pipeline_fixture::script({time(0), time(0)})}};
  load();
  auto task = makeTask<CountingTask>();
  const auto result = task->run(audio(35));
  EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 480'000}, {480'000, 80'000}}));
  EXPECT_EQ(result->timings().totalDecodingWindows, 2);
  EXPECT_EQ(progress_->completedUnitCount(), 560'000);
}

TEST_F(PipelineTest, MaxWindowSeekCapsEveryAdvance) {
  spec_.sequences = {{0, twoSegments(" a", 1, " b", 30)}};
  load();
  auto task = makeTask<CountingTask>();
  DecodingOptions options;
  options.maxWindowSeek = 160'000;
  task->run(audio(30), options);
  EXPECT_EQ(task->preprocessed,
            (std::vector<std::pair<int, int>>{{0, 480'000}, {160'000, 320'000}, {320'000, 160'000}}));

  // A cap as large as the int range caps nothing: the windows follow the seeker.
  auto uncapped = makeTask<CountingTask>();
  options.maxWindowSeek = std::numeric_limits<int>::max();
  uncapped->run(audio(35), options);
  EXPECT_EQ(uncapped->preprocessed, (std::vector<std::pair<int, int>>{{0, 480'000}, {480'000, 80'000}}));
}

TEST_F(PipelineTest, DecoderInputsAreResetAfterEveryWindowSkippedAsSilence) {
  // A negative no-speech threshold skips every window as silence. The strict decoder fails a
  // window whose masks are left over from the one before.
  spec_.sequences = {{0, twoSegments(" a", 1, " b", 2)}};
  load();
  auto task = makeTask<CountingTask>();
  int discovered = 0;
  task->setSegmentDiscoveryCallback([&](const auto&) { ++discovered; });
  DecodingOptions options;
  options.noSpeechThreshold = -1.0F;
  options.logProbThreshold.reset();
  const auto result = task->run(audio(45), options);
  EXPECT_EQ(task->preprocessed, (std::vector<std::pair<int, int>>{{0, 480'000}, {480'000, 240'000}}));
  EXPECT_TRUE(task->postProcessed.empty());
  EXPECT_EQ(discovered, 0);
  EXPECT_TRUE(result->segments().empty());
  EXPECT_EQ(result->timings().totalDecodingWindows, 0);
  EXPECT_EQ(result->timings().totalLogmelRuns, 2);
  EXPECT_EQ(progress_->completedUnitCount(), 720'000);
}

// A seeker whose word timings give a fixed answer, recording what it was given.
class FixedWordsSeeker : public SegmentSeeker {
 public:
  std::vector<TranscriptionSegment> addWordTimestamps(const std::vector<TranscriptionSegment>& segments,
                                                      const platform::ml::MultiArray&, const WhisperTokenizer&,
                                                      int seek, int, std::string_view, std::string_view,
                                                      float lastSpeechTimestamp, const DecodingOptions&,
                                                      const TranscriptionTimings&) const override {
    given.push_back(segments.size());
    EXPECT_FLOAT_EQ(lastSpeechTimestamp, static_cast<float>(seek) / 16000);
    return answer;
  }
  mutable std::vector<std::size_t> given;
  std::vector<TranscriptionSegment> answer;
};

TEST_F(PipelineTest, WordTimingsDropEmptySegmentsAndMayMoveTheSeek) {
  spec_.sequences = {{0, twoSegments(" a", 1, " b", 2)}};
  load();
  auto seeker = std::make_shared<FixedWordsSeeker>();
  seeker->answer = {TranscriptionSegment{.start = 1, .end = 1, .text = " empty"},
                    TranscriptionSegment{.start = 0, .end = 3.5F, .text = " kept", .tokens = textIds(" kept")},
                    TranscriptionSegment{.start = 3.5F, .end = 3.0F, .text = " reversed"}};
  auto task = makeTask<CountingTask>(nullptr, nullptr, seeker);
  std::vector<std::string> seen;
  task->setSegmentDiscoveryCallback([&](const auto& segments) {
    for (const auto& s : segments) seen.push_back(s.text);
  });
  DecodingOptions options;
  options.wordTimestamps = true;
  const auto result = task->run(audio(8), options);
  // The first window's seek (2 s) moves on to the last kept segment's end (3.5 s); later
  // windows' seeks lie beyond it and stay.
  EXPECT_EQ(task->preprocessed,
            (std::vector<std::pair<int, int>>{{0, 128'000}, {56'000, 72'000}, {88'000, 40'000}}));
  EXPECT_EQ(seeker->given, (std::vector<std::size_t>{2, 2, 2}));
  EXPECT_EQ(seen, (std::vector<std::string>{" kept", " kept", " kept"}));
  EXPECT_EQ(result->timings().totalTimestampAlignmentRuns, 3);

  // Without alignment weights the step is skipped silently.
  spec_.alignment = false;
  load();
  auto plain = makeTask<CountingTask>(nullptr, nullptr, seeker);
  const auto unaligned = plain->run(audio(8), options);
  EXPECT_EQ(seeker->given.size(), 3U);
  EXPECT_EQ(unaligned->segments().size(), 8U);
  EXPECT_EQ(unaligned->timings().totalTimestampAlignmentRuns, 0);
  EXPECT_FALSE(unaligned->segments().front().words);
}

TEST_F(PipelineTest, RealWordTimingsFallInsideTheirSegments) {
  spec_.sequences = {{0, twoSegments(" Hello there", 1, " my friend", 2)}};
  for (int p = 0; p < 12; ++p) spec_.alignmentFrame[p] = p * 8;
  spec_.windowSize = 128;
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.wordTimestamps = true;
  const auto result = task->run(audio(2), options);
  const auto words = result->allWords();
  ASSERT_FALSE(words.empty());
  for (const WordTiming& word : words) {
    EXPECT_LE(word.start, word.end);
    EXPECT_GE(word.start, 0);
    EXPECT_LE(word.end, 2.5F);
  }
  EXPECT_EQ(result->timings().totalTimestampAlignmentRuns, 1);
}

TEST_F(PipelineTest, EveryReportCarriesItsWindowId) {
  spec_.sequences = {{1, twoSegments(" one", 10, " two", 30)}, {2, twoSegments(" three", 5, " four", 10)}};
  load();
  auto task = makeTask();
  std::mutex mutex;
  std::set<int> ids;
  const auto result = task->run(audio(40, {0, 480'000}), std::nullopt, [&](const TranscriptionProgress& p) {
    std::lock_guard<std::mutex> guard(mutex);
    ids.insert(p.windowId);
    return std::optional<bool>{};
  });
  EXPECT_EQ(ids, (std::set<int>{0, 1}));
  EXPECT_EQ(result->segments().size(), 4U);
}

TEST_F(PipelineTest, FinalTextDropsSpecialTokensAndOuterSpacesAndTabs) {
  load();
  auto task = makeTask();
  std::vector<int> tokens = concat({pipeline_fixture::kStart, time(0)}, textIds(" \tHello\n world\t "));
  tokens.push_back(kEnd);
  const auto result = task->finalizeTranscriptionResult(tokens, {}, std::nullopt, TranscriptionTimings{});
  EXPECT_EQ(result->text(), "Hello\n world");
  EXPECT_EQ(result->language(), "en");
  EXPECT_EQ(task->finalizeTranscriptionResult({}, {}, "de", {})->language(), "de");
}

// Cancellation is noticed at the check after the pre-processing hook, after the log-mel step
// and before decoding; nothing after the check runs.
class StoppingTask : public TranscribeTask {
 public:
  using TranscribeTask::TranscribeTask;
  void windowPreprocess(const AudioProcessorOutputType&, int, int) override {
    if (stopInHook) stop.request_stop();
  }
  bool stopInHook = false;
  std::stop_source stop;
};

TEST_F(PipelineTest, CancellationIsHonouredAtEachCheck) {
  spec_.sequences = {{0, twoSegments(" a", 1, " b", 2)}};
  load();
  auto extractor = std::make_shared<ReportingExtractor>(components_.featureExtractor);
  auto encoder = std::make_shared<ReportingEncoder>(components_.audioEncoder);
  const auto samples = audio(3);
  int reports = 0;
  const DecodingCallback callback = [&](const TranscriptionProgress&) {
    ++reports;
    return std::optional<bool>{};
  };

  for (int check = 0; check < 3; ++check) {
    SCOPED_TRACE(check);
    auto task = makeTask<StoppingTask>(extractor, encoder);
    task->stopInHook = check == 0;
    extractor->after = check == 1 ? std::function<void()>([&] { task->stop.request_stop(); }) : nullptr;
    encoder->after = check == 2 ? std::function<void()>([&] { task->stop.request_stop(); }) : nullptr;
    const int mel = pipeline_fixture::melPredictions();
    const int encoded = pipeline_fixture::encoderPredictions();
    EXPECT_THROW(task->run(samples, std::nullopt, callback, task->stop.get_token()), platform::sync::CancellationError);
    EXPECT_EQ(pipeline_fixture::melPredictions(), mel + (check >= 1 ? 1 : 0));
    EXPECT_EQ(pipeline_fixture::encoderPredictions(), encoded + (check >= 2 ? 1 : 0));
    EXPECT_EQ(task->timings().totalDecodingLoops, 0);
    EXPECT_EQ(reports, 0);
  }
}

}  // namespace
}  // namespace vostrane
