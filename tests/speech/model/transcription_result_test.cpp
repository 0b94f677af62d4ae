#include "speech/model/transcription_result.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "log_capture.hpp"

namespace vostrane {
namespace {

using platform::json::Json;
using platform::json::JsonError;

WordTiming word(std::string text, std::vector<int> tokens, float start, float end, float probability) {
  return WordTiming{std::move(text), std::move(tokens), start, end, probability};
}

// The two segments of tests/data/speech_model/transcription_result_two_segments.json.
std::shared_ptr<TranscriptionResult> twoSegmentResult() {
  TranscriptionSegment first{
      0,
      0,
      0.0F,
      1.5F,
      " Hello world.",
      {50364, 2425, 1002, 13},
      {{{50364, -0.1F}}, {{2425, -0.25F}}, {{1002, -0.5F}}, {{13, -0.05F}}},
      0.0F,
      -0.225F,
      1.2F,
      0.01F,
      std::vector<WordTiming>{word(" Hello", {2425}, 0.0F, 0.6F, 0.9F), word(" world.", {1002, 13}, 0.6F, 1.5F, 0.8F)}};
  TranscriptionSegment second{
      1,    3000,   30.0F, 31.25F, " Bye.",     {50364, 4621, 13}, {{{50364, -0.1F}}, {{4621, -0.3F}}, {{13, -0.05F}}},
      0.2F, -0.15F, 0.8F,  0.02F,  std::nullopt};
  TranscriptionTimings timings;
  timings.inputAudioSeconds = 31.25;
  timings.decodingLoop = 2.5;
  timings.totalAudioProcessingRuns = 2;
  timings.totalDecodingLoops = 7;
  timings.fullPipeline = 3.0;
  return std::make_shared<TranscriptionResult>(" Hello world. Bye.", std::vector{first, second}, "en", timings, 30.0F);
}

TEST(TranscriptionResultTest, TwoSegmentJsonMatchesGoldenAndDecodesBack) {
  const Json golden = platform::json::parse(testing::readDataFile("transcription_result_two_segments.json"));
  const auto result = twoSegmentResult();
  EXPECT_EQ(platform::json::dump(result->toJson()), platform::json::dump(golden));

  const auto decoded = TranscriptionResult::fromJson(golden);
  EXPECT_EQ(decoded->segments(), result->segments());
  EXPECT_EQ(decoded->timings(), result->timings());
  EXPECT_EQ(decoded->seekTime(), 30.0F);
  EXPECT_EQ(platform::json::dump(decoded->toJson()), platform::json::dump(golden));

  const TranscriptionResultStruct plain = TranscriptionResultStruct::fromJson(golden);
  EXPECT_EQ(plain.segments, result->segments());
  EXPECT_EQ(platform::json::dump(plain.toJson()), platform::json::dump(golden));
}

TEST(TranscriptionResultTest, MissingRequiredKeysFailDecoding) {
  const Json golden = platform::json::parse(testing::readDataFile("transcription_result_two_segments.json"));
  for (const char* key : {"text", "segments", "language", "timings", "seekTime"}) {
    Json broken = golden;
    broken.erase(key);
    EXPECT_THROW(TranscriptionResult::fromJson(broken), JsonError) << key;
  }
  // The plain form accepts a missing seekTime, the shared form does not.
  Json withoutSeek = golden;
  withoutSeek.erase("seekTime");
  EXPECT_FALSE(TranscriptionResultStruct::fromJson(withoutSeek).seekTime.has_value());

  for (const char* key : {"id", "seek", "start", "end", "text", "tokens", "tokenLogProbs", "temperature", "avgLogprob",
                          "compressionRatio", "noSpeechProb"}) {
    Json broken = golden;
    broken["segments"][0].erase(key);
    EXPECT_THROW(TranscriptionResult::fromJson(broken), JsonError) << key;
  }
  Json brokenWord = golden;
  brokenWord["segments"][0]["words"][1].erase("probability");
  EXPECT_THROW(TranscriptionResult::fromJson(brokenWord), JsonError);
  Json brokenTimings = golden;
  brokenTimings["timings"].erase("fullPipeline");
  EXPECT_THROW(TranscriptionResult::fromJson(brokenTimings), JsonError);
  Json badTokenKey = golden;
  badTokenKey["segments"][1]["tokenLogProbs"][0] = Json::parse(R"({"x1": -0.1})");
  EXPECT_THROW(TranscriptionResult::fromJson(badTokenKey), JsonError);
}

TEST(TranscriptionResultTest, SeekTimeIsNullInTheSharedFormAndOmittedInThePlainForm) {
  const auto result =
      std::make_shared<TranscriptionResult>("", std::vector<TranscriptionSegment>{}, "en", TranscriptionTimings{});
  const Json shared = result->toJson();
  ASSERT_TRUE(shared.contains("seekTime"));
  EXPECT_TRUE(shared["seekTime"].is_null());
  EXPECT_FALSE(result->snapshot().toJson().contains("seekTime"));
  EXPECT_FALSE(TranscriptionResult::fromJson(shared)->seekTime().has_value());
}

TEST(TranscriptionResultTest, SegmentEqualityHashAndWords) {
  const auto result = twoSegmentResult();
  const std::vector<TranscriptionSegment> segments = result->segments();
  TranscriptionSegment copy = segments[0];
  EXPECT_EQ(copy, segments[0]);
  EXPECT_EQ(std::hash<TranscriptionSegment>{}(copy), std::hash<TranscriptionSegment>{}(segments[0]));
  copy.tokenLogProbs[0][50364] = -0.2F;
  EXPECT_NE(copy, segments[0]);
  WordTiming nanWord = word("a", {}, std::nanf(""), 1, 1);
  EXPECT_NE(nanWord, nanWord);

  // A segment without words round-trips without a "words" key.
  EXPECT_FALSE(segments[1].toJson().contains("words"));
  EXPECT_EQ(TranscriptionSegment::fromJson(segments[1].toJson()), segments[1]);

  EXPECT_FLOAT_EQ((TranscriptionSegment{.start = 1.5F, .end = 1.0F}.duration()), -0.5F);

  std::vector<std::string> words;
  for (const WordTiming& w : result->allWords()) words.push_back(w.word);
  EXPECT_EQ(words, (std::vector<std::string>{" Hello", " world."}));
  EXPECT_TRUE(TranscriptionResult("", {}, "", {}).allWords().empty());

  TranscriptionSegment sameStart = segments[1];
  sameStart.text = "other";
  EXPECT_TRUE(contains(segments, sameStart));
  EXPECT_FALSE(contains({}, sameStart));
}

TEST(TranscriptionResultTest, LogSegmentsNumbersByPosition) {
  testing::LogCapture capture;
  auto result = twoSegmentResult();
  result->modifySegments([](std::vector<TranscriptionSegment>& list) {
    list[0].id = 7;
    list[1].id = 9;
  });
  result->logSegments();
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[Segment 0] [0.00 --> 1.50]  Hello world.",
                                                       "[Segment 1] [30.00 --> 31.25]  Bye."}));
}

TEST(TranscriptionResultTest, ConcurrentAppendsThroughModifyAreNotLost) {
  auto result =
      std::make_shared<TranscriptionResult>("", std::vector<TranscriptionSegment>{}, "", TranscriptionTimings{});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&result, t] {
      for (int i = 0; i < 200; ++i) {
        result->modifySegments(
            [&](std::vector<TranscriptionSegment>& list) { list.push_back(TranscriptionSegment{.id = t * 1000 + i}); });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(result->segments().size(), 800U);
}

// Writers append one segment or a batch in place while readers take copies: nothing is lost,
// each writer's segments keep their order, and every copy a reader sees is a prefix-consistent
// list (no torn or partly moved segment).
TEST(TranscriptionResultTest, ConcurrentInPlaceAppendsKeepEverySegmentInOrder) {
  auto result =
      std::make_shared<TranscriptionResult>("", std::vector<TranscriptionSegment>{}, "", TranscriptionTimings{});
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 300;
  std::atomic<bool> writing{true};
  std::atomic<int> tornReads{0};
  std::thread reader([&] {
    while (writing.load()) {
      for (const TranscriptionSegment& s : result->segments()) {
        if (s.text != std::to_string(s.id) || s.tokens.size() != 3) tornReads.fetch_add(1);
      }
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&result, t] {
      for (int i = 0; i < kPerWriter; i += 3) {
        const auto make = [t](int k) {
          const int id = t * 1000 + k;
          return TranscriptionSegment{.id = id, .text = std::to_string(id), .tokens = {id, id, id}};
        };
        result->appendSegment(make(i));
        result->appendSegments({make(i + 1), make(i + 2)});
      }
    });
  }
  for (auto& w : writers) w.join();
  writing.store(false);
  reader.join();

  const std::vector<TranscriptionSegment> all = result->segments();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kWriters * kPerWriter));
  std::vector<int> next(kWriters, 0);
  for (const TranscriptionSegment& s : all) {
    const int writer = s.id / 1000;
    ASSERT_EQ(s.id % 1000, next[writer]) << "writer " << writer << " out of order";
    ++next[writer];
  }
  EXPECT_EQ(tornReads.load(), 0);
  // Batches are appended whole: the two segments of one batch are adjacent.
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    if (all[i].id % 1000 % 3 == 1) {
      EXPECT_EQ(all[i + 1].id, all[i].id + 1);
    }
  }
}

TEST(TranscriptionResultTest, AppendingAnEmptyBatchChangesNothing) {
  const auto result = twoSegmentResult();
  const std::vector<TranscriptionSegment> before = result->segments();
  result->appendSegments({});
  EXPECT_EQ(result->segments(), before);
  result->appendSegment(TranscriptionSegment{.id = 5});
  ASSERT_EQ(result->segments().size(), 3U);
  EXPECT_EQ(result->segments().back().id, 5);
}

TEST(TranscriptionTimingsTest, DefaultsDerivedValuesAndJson) {
  const TranscriptionTimings defaults;
  EXPECT_EQ(defaults.pipelineStart, DBL_MAX);
  EXPECT_EQ(defaults.inputAudioSeconds, 0.001);
  EXPECT_TRUE(std::isnan(defaults.tokensPerSecond()));
  EXPECT_EQ(defaults.realTimeFactor(), 0.0);
  EXPECT_TRUE(std::isinf(defaults.speedFactor()));

  const Json json = defaults.toJson();
  EXPECT_EQ(json.size(), 33U);
  EXPECT_EQ(json.begin().key(), "pipelineStart");
  EXPECT_EQ(TranscriptionTimings::fromJson(platform::json::parse(platform::json::dump(json))), defaults);
  Json missing = json;
  missing.erase("fullPipeline");
  EXPECT_THROW(TranscriptionTimings::fromJson(missing), JsonError);
  Json wrong = json;
  wrong["logmels"] = "0";
  EXPECT_THROW(TranscriptionTimings::fromJson(wrong), JsonError);
}

TEST(TranscriptionTimingsTest, DesignatedInitialisersKeepEveryOtherDefault) {
  const TranscriptionTimings t{.decodingWordTimestamps = 1.5};
  EXPECT_EQ(t.decodingWordTimestamps, 1.5);
  TranscriptionTimings expected;
  expected.decodingWordTimestamps = 1.5;
  EXPECT_EQ(t, expected);  // every other field keeps its default
  const TranscriptionTimings counts{.totalDecodingLoops = 7, .fullPipeline = 2};
  EXPECT_EQ(counts.totalDecodingLoops, 7.0);
  EXPECT_EQ(counts.tokensPerSecond(), 3.5);
  EXPECT_EQ(counts.pipelineStart, DBL_MAX);
  EXPECT_EQ(counts.inputAudioSeconds, 0.001);
}

TEST(TranscriptionTimingsTest, ReportOfDefaultTimingsMatchesGolden) {
  EXPECT_EQ(formatTimingReport(TranscriptionTimings{}, 0), testing::readDataFile("timing_report_default.txt"));
}

TEST(TranscriptionTimingsTest, ReportOfFilledTimingsMatchesGoldenAndIsLoggedOnce) {
  TranscriptionTimings t;
  t.pipelineStart = 100.0;
  t.firstTokenTime = 100.75;
  t.inputAudioSeconds = 30.0;
  t.modelLoading = 1.25;
  t.prewarmLoadTime = 0.5;
  t.encoderLoadTime = 0.3;
  t.decoderLoadTime = 0.4;
  t.tokenizerLoadTime = 0.05;
  t.audioLoading = 0.5;
  t.audioProcessing = 0.25;
  t.logmels = 0.1;
  t.encoding = 0.4;
  t.decodingInit = 0.01;
  t.decodingLoop = 2.5;
  t.decodingPredictions = 1.2;
  t.decodingFiltering = 0.05;
  t.decodingSampling = 0.1;
  t.decodingFallback = 0.0;
  t.decodingWindowing = 2.0;
  t.decodingKvCaching = 0.02;
  t.decodingWordTimestamps = 0.5;
  t.decodingNonPrediction = 0.3;
  t.totalAudioProcessingRuns = 2;
  t.totalLogmelRuns = 2;
  t.totalEncodingRuns = 2;
  t.totalDecodingLoops = 7;
  t.totalKVUpdateRuns = 7;
  t.totalTimestampAlignmentRuns = 1;
  t.totalDecodingFallbacks = 2;
  t.totalDecodingWindows = 2;
  t.fullPipeline = 4.0;
  // Two segments of 3 and 4 tokens: the report counts 7 whatever the loop count says.
  TranscriptionSegment a{.tokens = {1, 2, 3}};
  TranscriptionSegment b{.tokens = {4, 5, 6, 7}};
  TranscriptionResult result("", {a, b}, "en", t);
  const std::string expected = testing::readDataFile("timing_report_filled.txt");
  EXPECT_EQ(result.timingReport(), expected);

  testing::LogCapture capture(noxtal::Logging::LogLevel::info);
  result.logTimings();
  EXPECT_EQ(capture.lines(), std::vector<std::string>{expected});
}

TEST(TranscriptionStateTest, Descriptions) {
  EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
  EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
  EXPECT_EQ(description(TranscriptionState::finished), "Finished");
}

}  // namespace
}  // namespace vostrane
