// The diarization result and its segments, speaker information and its JSON, attribution of
// speakers to speech segments and words, and RTTM lines.
#include <gtest/gtest.h>

#include <functional>

#include "diarization/diarization_result.hpp"
#include "diarization/rttm.hpp"
#include "platform/json/json.hpp"
#include "support/log_capture.hpp"

namespace dellomar {
namespace {

using platform::json::Json;
using vostrane::TranscriptionSegment;
using vostrane::WordTiming;

DiarizationResult matrixResult(DiarizationResult::BinaryMatrix matrix, float frameRate = 100.0f) {
  const auto frames = matrix.empty() ? std::int64_t{0} : static_cast<std::int64_t>(matrix.front().size());
  const int speakers = static_cast<int>(matrix.size());
  return DiarizationResult(std::move(matrix), speakers, frames, frameRate, {}, nullptr, {});
}

std::vector<std::pair<std::int64_t, std::int64_t>> framesOf(const DiarizationResult& result) {
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (const SpeakerSegment& s : result.segments) out.emplace_back(s.startFrame(), s.endFrame());
  return out;
}

WordTiming word(std::string text, float start, float end) { return {std::move(text), {}, start, end, 0.5f}; }

TranscriptionSegment segmentOf(std::vector<WordTiming> words, int id = 0) {
  TranscriptionSegment s;
  s.id = id;
  s.start = words.empty() ? 0 : words.front().start;
  s.end = words.empty() ? 0 : words.back().end;
  s.avgLogprob = -0.4f;
  s.noSpeechProb = 0.2f;
  s.words = std::move(words);
  return s;
}

// A result whose segments are given directly (speaker, start frame, end frame) at 100 fps.
DiarizationResult segmentsResult(const std::vector<std::tuple<int, std::int64_t, std::int64_t>>& spans) {
  std::vector<SpeakerSegment> segments;
  for (const auto& [speaker, start, end] : spans) {
    segments.push_back(SpeakerSegment::fromFrames(SpeakerInfo::speakerId(speaker), start, end, 100.0f));
  }
  return DiarizationResult(2, 10000, 100.0f, std::move(segments), nullptr, {});
}

TEST(DiarizationResult, SegmentsFromTheMatrix) {
  DiarizationResult result = matrixResult({{0, 1, 1, 0, 1}});
  result.updateSegments(0);
  EXPECT_EQ(framesOf(result), (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 3}, {4, 5}}));
  EXPECT_FLOAT_EQ(result.segments[0].startTime, 0.01f);
  EXPECT_FLOAT_EQ(result.segments[0].endTime, 0.03f);
  result.updateSegments(0.015f);  // gap bound 1 frame
  EXPECT_EQ(framesOf(result), (std::vector<std::pair<std::int64_t, std::int64_t>>{{1, 5}}));

  DiarizationResult mixed = matrixResult({{0, 2, 1, 1}, {1, 1, 0, 0}});
  mixed.updateSegments(0);
  ASSERT_EQ(mixed.segments.size(), 2u);
  EXPECT_EQ(mixed.segments[0].speaker, SpeakerInfo::speakerId(1));  // starts at frame 0
  EXPECT_EQ(framesOf(mixed), (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 2}, {2, 4}}))
      << "2 is inactive; a run open at the end closes at the row length";

  DiarizationResult sameStart = matrixResult({{1, 0}, {1, 1}});
  sameStart.updateSegments(0);
  EXPECT_EQ(sameStart.segments[0].speaker, SpeakerInfo::speakerId(0)) << "lower speaker first on equal starts";

  DiarizationResult empty(0, 0, 100.0f, {SpeakerSegment::fromTimes(SpeakerInfo::speakerId(4), 1, 2, 100.0f)}, nullptr, {});
  empty.updateSegments(0);
  ASSERT_EQ(empty.segments.size(), 1u) << "an empty matrix leaves the segments";
  EXPECT_EQ(empty.segments[0].speaker, SpeakerInfo::speakerId(4));
}

TEST(DiarizationResult, CentroidDistances) {
  DiarizationResult result(4, 0, 1.0f, {}, nullptr,
                           {{0, {1, 0}}, {1, {0, 1}}, {2, {-1, 0}}, {3, {0, 0}}, {4, {1, 0, 0}}, {5, {}}});
  EXPECT_FLOAT_EQ(*result.centroidCosineDistance(0, 1), 1.0f);
  EXPECT_FLOAT_EQ(*result.centroidCosineDistance(0, 2), 2.0f);
  EXPECT_FLOAT_EQ(*result.centroidCosineDistance(3, 0), 1.0f);
  EXPECT_FALSE(result.centroidCosineDistance(0, 4)) << "lengths differ";
  EXPECT_FALSE(result.centroidCosineDistance(0, 9));
  EXPECT_FALSE(result.centroidCosineDistance(5, 5));

  const std::vector<float> between{1, 1};
  const auto nearest = result.nearestSpeakerCentroid(between);
  ASSERT_TRUE(nearest);
  EXPECT_EQ(nearest->speakerId, 0) << "0 and 1 are equally near: the lower id";
  const std::vector<float> three{0, 0, 1};
  EXPECT_EQ(result.nearestSpeakerCentroid(three)->speakerId, 4);
  const std::vector<float> five(5, 1.0f);
  EXPECT_FALSE(result.nearestSpeakerCentroid(five));
  EXPECT_FALSE(result.nearestSpeakerCentroid({}));
}

TEST(SpeakerSegment, TextsAndDescriptions) {
  const SpeakerSegment segment = SpeakerSegment::fromTranscription(
      segmentOf({word(" 100%", 3.25f, 4), word(" sure ", 4.5f, 7.8f)}),
      {{word(" 100%", 3.25f, 4), SpeakerInfo::speakerId(1)}, {word(" sure ", 4.5f, 7.8f), SpeakerInfo::speakerId(0)}},
      50.0f);
  EXPECT_EQ(segment.speaker, SpeakerInfo::speakerId(1));
  EXPECT_EQ(segment.text(), " 100% sure ");
  EXPECT_EQ(segment.description(), "Speaker 1 [3.25-7.80s]: 100% sure");
  EXPECT_EQ(segment.debugDescription(), "Segment " + segment.id.toString() + " -- " + segment.description());
  EXPECT_EQ(segment.startFrame(), 162);  // 3.25 x 50 truncated
  EXPECT_FALSE(segment.originalStartFrame);

  const SpeakerSegment shared = SpeakerSegment::fromTranscription(
      segmentOf({}), {{word("a", 2, 3), SpeakerInfo::multiple({0, 1})}, {word("b", 1, 4), SpeakerInfo::speakerId(1)}},
      50.0f);
  EXPECT_EQ(shared.speaker, SpeakerInfo::noMatch());
  EXPECT_FLOAT_EQ(shared.startTime, 1);
  EXPECT_FLOAT_EQ(shared.endTime, 4);
  const SpeakerSegment wordless = SpeakerSegment::fromTranscription(segmentOf({}), {}, 50.0f);
  EXPECT_FLOAT_EQ(wordless.endTime, 0);
  EXPECT_EQ(wordless.description(), "No Speaker Matched [0.00-0.00s]: ");
  EXPECT_NE(SpeakerSegment::fromTimes({}, 0, 1, 1).id, SpeakerSegment::fromTimes({}, 0, 1, 1).id);
}

TEST(SpeakerInfo, DescriptionsAndJson) {
  EXPECT_EQ(SpeakerInfo::noMatch().description(), "No Speaker Matched");
  EXPECT_EQ(SpeakerInfo::multiple({0, 1}).description(), "Multiple Speakers: [0, 1]");
  EXPECT_EQ(SpeakerInfo::speakerId(2).description(), "Speaker 2");
  EXPECT_EQ(SpeakerInfo::speakerId(2).speakerIds(), std::vector<int>{2});
  EXPECT_FALSE(SpeakerInfo::multiple({3}).speakerId());

  EXPECT_EQ(SpeakerInfo::speakerId(3).toJson().dump(), R"({"speakerId":{"_0":3}})");
  EXPECT_EQ(SpeakerInfo::multiple({0, 1}).toJson().dump(), R"({"multiple":{"_0":[0,1]}})");
  EXPECT_EQ(SpeakerInfo::noMatch().toJson().dump(), R"({"noMatch":{}})");
  for (const SpeakerInfo& info : {SpeakerInfo::speakerId(-1), SpeakerInfo::multiple({}), SpeakerInfo::noMatch()}) {
    EXPECT_EQ(SpeakerInfo::fromJson(info.toJson()), info);
  }
  try {
    SpeakerInfo::fromJson(Json::parse(R"({"noMatch":{},"speakerId":{"_0":1}})"));
    FAIL() << "two members";
  } catch (const platform::json::JsonError& error) {
    EXPECT_STREQ(error.what(), "Invalid number of keys found, expected one.");
  }
  for (const char* bad : {R"({})", R"({"speaker":{"_0":1}})", R"({"speakerId":{}})", R"({"speakerId":{"_0":"x"}})",
                          R"({"multiple":{"_0":1}})", R"([1])"}) {
    EXPECT_THROW(SpeakerInfo::fromJson(Json::parse(bad)), platform::json::JsonError) << bad;
  }

  const SpeakerWordTiming timed{word("hi", 1, 2), SpeakerInfo::speakerId(0)};
  const Json encoded = timed.toJson();
  EXPECT_EQ(encoded.dump(),
            R"({"wordTiming":{"word":"hi","tokens":[],"start":1.0,"end":2.0,"probability":0.5},"speaker":{"speakerId":{"_0":0}}})");
  EXPECT_EQ(SpeakerWordTiming::fromJson(encoded), timed);
  EXPECT_EQ(std::hash<SpeakerWordTiming>{}(timed), std::hash<SpeakerWordTiming>{}(SpeakerWordTiming::fromJson(encoded)));
}

TEST(SpeakerInfoStrategy, NamesAndEquality) {
  EXPECT_EQ(SpeakerInfoStrategy::fromString("SEGMENT"), SpeakerInfoStrategy::segment());
  EXPECT_EQ(SpeakerInfoStrategy::fromString("SubSegment"), SpeakerInfoStrategy::subsegment(0.15f));
  EXPECT_FALSE(SpeakerInfoStrategy::fromString("words"));
  EXPECT_NE(SpeakerInfoStrategy::subsegment(0.2f), SpeakerInfoStrategy::subsegment(0.15f));
  EXPECT_EQ(std::hash<SpeakerInfoStrategy>{}(SpeakerInfoStrategy::subsegment(0.0f)),
            std::hash<SpeakerInfoStrategy>{}(SpeakerInfoStrategy::subsegment(-0.0f)));
}

TEST(Attribution, PausesCutSegmentsIntoPieces) {
  const DiarizationResult result = segmentsResult({{0, 0, 100}, {1, 110, 200}});
  const TranscriptionSegment segment = segmentOf({word("a", 0, 0.4f), word("b", 0.5f, 0.9f), word("c", 1.2f, 1.5f)});
  const auto pieces = result.addSpeakerInfo({{segment}}, SpeakerInfoStrategy::subsegment(0.15f));
  ASSERT_EQ(pieces.size(), 1u);
  ASSERT_EQ(pieces[0].size(), 2u);
  EXPECT_FLOAT_EQ(pieces[0][0].startTime, 0);
  EXPECT_FLOAT_EQ(pieces[0][0].endTime, 0.9f);
  EXPECT_EQ(pieces[0][0].speakerWords.size(), 2u);
  EXPECT_EQ(pieces[0][0].speaker, SpeakerInfo::speakerId(0));
  EXPECT_EQ(pieces[0][1].speaker, SpeakerInfo::speakerId(1));
  EXPECT_EQ(pieces[0][1].text(), "c");
  const TranscriptionSegment& piece = *pieces[0][0].transcription;
  EXPECT_EQ(piece.text, "ab");
  EXPECT_FLOAT_EQ(piece.avgLogprob, 0.0f);
  EXPECT_FLOAT_EQ(piece.noSpeechProb, 0.0f);
  EXPECT_FLOAT_EQ(piece.temperature, 1.0f);
  EXPECT_EQ(piece.tokenLogProbs.size(), 1u);

  // A pause equal to the threshold does not cut (0.125 is exact in binary).
  const TranscriptionSegment exact = segmentOf({word("a", 0, 0.5f), word("b", 0.625f, 1)});
  EXPECT_EQ(result.addSpeakerInfo({{exact}}, SpeakerInfoStrategy::subsegment(0.125f))[0].size(), 1u);
  // With the segment strategy the speech segment stays whole.
  const auto whole = result.addSpeakerInfo({{segment}}, SpeakerInfoStrategy::segment());
  ASSERT_EQ(whole[0].size(), 1u);
  EXPECT_EQ(whole[0][0].transcription->avgLogprob, -0.4f);
}

TEST(Attribution, BestOverlapWinsAndTiesGoToTheEarlierSegment) {
  // Piece 1.0-1.7 s: speaker 0 over 30 frames, speaker 1 over 40.
  const DiarizationResult result = segmentsResult({{0, 70, 130}, {1, 130, 300}});
  const TranscriptionSegment piece = segmentOf({word("x", 1.0f, 1.7f)});
  EXPECT_EQ(result.addSpeakerInfo({{piece}}, SpeakerInfoStrategy::subsegment())[0][0].speaker,
            SpeakerInfo::speakerId(1));
  const DiarizationResult tie = segmentsResult({{1, 50, 125}, {0, 125, 200}});
  const TranscriptionSegment even = segmentOf({word("y", 1.0f, 1.5f)});
  EXPECT_EQ(tie.addSpeakerInfo({{even}}, SpeakerInfoStrategy::subsegment())[0][0].speaker, SpeakerInfo::speakerId(1));

  // Segment strategy: overlap divided by the hull; a short segment inside a long speech
  // segment loses to a longer one covering more of it.
  const DiarizationResult hull = segmentsResult({{0, 100, 500}, {1, 200, 230}});
  const TranscriptionSegment longSpeech = segmentOf({word("l", 2.0f, 6.0f)});
  EXPECT_EQ(hull.addSpeakerInfo({{longSpeech}}, SpeakerInfoStrategy::segment())[0][0].speaker,
            SpeakerInfo::speakerId(0));
}

TEST(Attribution, UnmatchedPiecesCarryThePreviousSpeakerAndWordlessSegmentsAreSkipped) {
  const DiarizationResult result = segmentsResult({{1, 0, 100}});
  const TranscriptionSegment matched = segmentOf({word("a", 0.1f, 0.5f)});
  const TranscriptionSegment later = segmentOf({word("b", 5, 6)});
  const TranscriptionSegment wordless = segmentOf({}, 17);
  testsupport::LogCapture capture(platform::log::Level::info);
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::info);
  const auto out = result.addSpeakerInfo({{matched, wordless, later}, {later}}, SpeakerInfoStrategy::subsegment());
  const auto whole = result.addSpeakerInfo({{wordless}}, SpeakerInfoStrategy::segment());
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  ASSERT_EQ(out.size(), 2u);
  ASSERT_EQ(out[0].size(), 2u);
  EXPECT_EQ(out[0][1].speaker, SpeakerInfo::speakerId(1)) << "carried from the previous piece";
  ASSERT_EQ(out[1].size(), 1u);
  EXPECT_EQ(out[1][0].speaker, SpeakerInfo::noMatch()) << "first piece of its result";
  EXPECT_EQ(out[1][0].speakerWords[0].speaker, SpeakerInfo::noMatch());
  EXPECT_TRUE(whole[0].empty());
  const auto lines = capture.messages(platform::log::Level::info);
  EXPECT_EQ(std::count(lines.begin(), lines.end(),
                       "[Dellomar] No words for segment: 17. Enable `wordTimestamps` on DecodingOptions."),
            2);
}

TEST(RTTM, NamesLinesAndWordGroups) {
  EXPECT_EQ(rttmSpeakerName(0), "A");
  EXPECT_EQ(rttmSpeakerName(25), "Z");
  EXPECT_EQ(rttmSpeakerName(26), "A");
  EXPECT_EQ(rttmSpeakerName(27), "B");
  EXPECT_EQ(rttmSpeakerName(-1), "UNKNOWN");
  EXPECT_EQ(RTTMLine::make("meeting", 1, 1.25f, 0.75f, "hello there").description(),
            "SPEAKER meeting 1 1.250 0.750 hello there <NA> B <NA> <NA>");

  const std::vector<WordWithSpeaker> words{{word(" lead", 0, 0.5f), std::nullopt}, {word(" one ", 1, 1.5f), 0},
                                           {word("two", 1.5f, 2), 0},             {word("gap", 2, 3), std::nullopt},
                                           {word(" three", 3, 3.25f), 0},         {word("four", 4, 5), 2}};
  const auto lines = RTTMLine::fromWords(words, "f");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].description(), "SPEAKER f 1 1.000 1.000 one two <NA> A <NA> <NA>");
  EXPECT_EQ(lines[1].description(), "SPEAKER f 1 3.000 0.250 three <NA> A <NA> <NA>");
  EXPECT_EQ(lines[2].speakerName, "C");
  EXPECT_TRUE(RTTMLine::fromWords({}, "f").empty());
}

}  // namespace
}  // namespace dellomar
