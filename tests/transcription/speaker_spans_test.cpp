// Speaker spans, speech durations, the embedding space, the centroid filter and the transcript
// segment builders.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/json/json.hpp"
#include "transcription/speaker_spans.hpp"

namespace velmoria {
namespace {

using dellomar::SpeakerInfo;
using dellomar::SpeakerSegment;

dellomar::DiarizationResult resultOf(std::vector<SpeakerSegment> segments) {
  return dellomar::DiarizationResult(2, 100, 10.0f, std::move(segments), nullptr, {});
}

TEST(SpeakerSpans, OnlySingleSpeakerSegmentsGiveSpans) {
  EXPECT_TRUE(makeDiarizedSpans(resultOf({})).empty());
  EXPECT_TRUE(computeSpeakerSpeechDurations({}).empty());

  const auto spans = makeDiarizedSpans(resultOf({
      SpeakerSegment::fromTimes(SpeakerInfo::speakerId(1), 0.5f, 2.0f, 10.0f),
      SpeakerSegment::fromTimes(SpeakerInfo::multiple({0, 1}), 2.0f, 3.0f, 10.0f),
      SpeakerSegment::fromTimes(SpeakerInfo::noMatch(), 3.0f, 4.0f, 10.0f),
      SpeakerSegment::fromTimes(SpeakerInfo::speakerId(1), 4.0f, 6.0f, 10.0f),
      SpeakerSegment::fromTimes(SpeakerInfo::speakerId(0), 0.1f, 0.3f, 10.0f),
  }));
  EXPECT_EQ(spans, (std::vector<DiarizedSpan>{{1, 0.5, 2.0}, {1, 4.0, 6.0}, {0, double(0.1f), double(0.3f)}}));

  const auto durations = computeSpeakerSpeechDurations(spans);
  EXPECT_EQ(durations.size(), 2u);
  EXPECT_EQ(durations.at(1), 3.5);
  EXPECT_DOUBLE_EQ(durations.at(0), double(0.3f) - double(0.1f));
}

TEST(SpeakerSpans, BackwardOrNaNSpansAddNothingButCreateTheEntry) {
  const auto durations =
      computeSpeakerSpeechDurations({{3, 5.0, 4.0}, {4, std::nan(""), 1.0}, {4, 1.0, 2.5}});
  EXPECT_EQ(durations.at(3), 0.0);
  EXPECT_EQ(durations.at(4), 1.5);
}

TEST(SpeakerSpans, JsonForm) {
  const DiarizedSpan span{2, 1.25, 3.5};
  EXPECT_EQ(platform::json::dump(platform::json::encode(span)), R"({"speakerID":2,"start":1.25,"end":3.5})");
  EXPECT_EQ(platform::json::decode<DiarizedSpan>(platform::json::parse(R"({"end":3.5,"x":0,"start":1.25,"speakerID":2})"),
                                                 "DiarizedSpan"),
            span);
  EXPECT_THROW(platform::json::decode<DiarizedSpan>(platform::json::parse(R"({"speakerID":2,"start":1})"), "DiarizedSpan"),
               platform::json::JsonError);
}

TEST(SpeakerEmbeddingSpace, NamesTheEmbedderDefaults) { EXPECT_EQ(SpeakerEmbeddingSpace::current(), "pyannote-v3/W8A16"); }

TEST(FiniteCentroidEmbeddings, KeepsNonEmptyFiniteVectors) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::map<int, std::vector<float>> all = {{0, {0.5f, 1.0f}}, {2, {-0.25f}}};
  EXPECT_EQ(finiteCentroidEmbeddings(all), all);
  EXPECT_EQ(finiteCentroidEmbeddings({{0, {0.5f, std::nanf("")}}, {1, {}}, {2, {-0.25f}}, {3, {inf}}}),
            (std::map<int, std::vector<float>>{{2, {-0.25f}}}));
  EXPECT_TRUE(finiteCentroidEmbeddings({{1, {}}, {3, {-inf}}}).empty());
}

TEST(TranscriptBuilders, SegmentsCarryTheirSpeakersScoresAndWords) {
  vostrane::TranscriptionSegment speech;
  speech.avgLogprob = -0.25f;
  speech.noSpeechProb = 0.125f;
  const std::vector<dellomar::SpeakerWordTiming> words = {
      {vostrane::WordTiming{" Hi", {1}, 0.5f, 0.75f, 0.875f}, SpeakerInfo::speakerId(1)},
      {vostrane::WordTiming{" all", {2}, 0.75f, 1.25f, 0.5f}, SpeakerInfo::multiple({0, 1})}};
  const SpeakerSegment attributed = SpeakerSegment::fromTimes(SpeakerInfo::speakerId(1), 0.5f, 1.25f, 10.0f, speech, words);
  const SpeakerSegment bare = SpeakerSegment::fromTimes(SpeakerInfo::multiple({0, 1}), 2.0f, 3.0f, 10.0f);

  const auto segments = makeTranscriptSegments({{attributed}, {}, {bare, attributed}});
  ASSERT_EQ(segments.size(), 3u);
  const TranscriptSegment& first = segments[0];
  EXPECT_EQ(first.speakerID, 1);
  EXPECT_EQ(first.speakerLabel, "Speaker 1");
  EXPECT_EQ(first.startTime, 0.5);
  EXPECT_EQ(first.endTime, 1.25);
  EXPECT_EQ(first.text, " Hi all");
  EXPECT_EQ(first.confidence, -0.25f);
  EXPECT_EQ(first.noSpeechProbability, 0.125f);
  ASSERT_TRUE(first.words.has_value());
  EXPECT_EQ(*first.words, (std::vector<TranscriptWord>{{" Hi", 0.5, 0.75, 0.875f, 1}, {" all", 0.75, 1.25, 0.5f, {}}}));

  const TranscriptSegment& second = segments[1];
  EXPECT_EQ(second.speakerID, std::nullopt);
  EXPECT_EQ(second.speakerLabel, "Multiple Speakers: [0, 1]");
  EXPECT_EQ(second.confidence, 0.0f);
  EXPECT_EQ(second.noSpeechProbability, 0.0f);
  EXPECT_EQ(second.words, std::nullopt);
  EXPECT_NE(segments[0].id, segments[2].id);
  EXPECT_TRUE(makeTranscriptSegments({}).empty());
}

}  // namespace
}  // namespace velmoria
