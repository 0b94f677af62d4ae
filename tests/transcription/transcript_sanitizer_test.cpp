// The transcript sanitizer and the vocabulary prompt with its budget.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "transcription/transcript_sanitizer.hpp"

namespace velmoria {
namespace {

TranscriptSegment segment(double start, double end, std::optional<std::vector<float>> wordProbabilities = {}) {
  TranscriptSegment s;
  s.id = platform::sync::Uuid::random();
  s.speakerID = 1;
  s.speakerLabel = "Speaker 1";
  s.startTime = start;
  s.endTime = end;
  s.text = "text";
  s.confidence = -0.5f;
  if (wordProbabilities) {
    s.words = std::vector<TranscriptWord>{};
    for (const float p : *wordProbabilities) s.words->push_back({"w", start, end + 5.0, p, 1});
  }
  return s;
}

TranscriptResult transcriptOf(std::vector<TranscriptSegment> segments) {
  TranscriptResult r;
  r.id = platform::sync::Uuid::random();
  r.createdAt = Date{100.0};
  r.transcriptionMethodId = "v2";
  r.language = "de";
  r.speakerCount = 2;
  r.segments = std::move(segments);
  r.embeddingSets = {SpeakerEmbeddingSet{EmbeddingKind::raw, "s", {{1, {0.5f}}}}};
  r.speakerSpeechDurations = {{1, 2.0}};
  r.processingDuration = 3.0;
  return r;
}

TEST(TranscriptSanitizer, DropsLateSegmentsAndClipsEnds) {
  const TranscriptSegment clipped = segment(10.0, 12.5, std::vector<float>{0.9f, 0.8f});
  const TranscriptSegment early = segment(1.0, 2.0);
  const TranscriptResult input = transcriptOf({early, clipped, segment(11.0, 11.5), segment(std::nan(""), 1.0),
                                               segment(20.0, 21.0)});
  const TranscriptResult out = TranscriptSanitizer::sanitize(input, 11.0);
  ASSERT_EQ(out.segments.size(), 2u);
  EXPECT_EQ(out.segments[0], early);
  TranscriptSegment expected = clipped;
  expected.endTime = 11.0;
  EXPECT_EQ(out.segments[1], expected);  // same id, words keep their times past the end
  EXPECT_EQ(out.segments[1].words->front().endTime, 17.5);

  TranscriptResult sameFields = input;
  sameFields.segments = out.segments;
  EXPECT_EQ(out, sameFields);
}

TEST(TranscriptSanitizer, RemovesOnlyTrailingLowOneWordSegments) {
  const TranscriptSegment middle = segment(0.0, 1.0, std::vector<float>{0.1f});
  const TranscriptSegment kept = segment(1.0, 2.0, std::vector<float>{0.9f});
  const TranscriptResult lost =
      transcriptOf({middle, kept, segment(2.0, 3.0, std::vector<float>{0.1f}), segment(3.0, 4.0, std::vector<float>{0.1f})});
  EXPECT_EQ(TranscriptSanitizer::sanitize(lost, 60.0).segments, (std::vector<TranscriptSegment>{middle, kept}));

  for (const TranscriptSegment& last : {segment(2.0, 3.0, std::vector<float>{0.3f}),
                                        segment(2.0, 3.0, std::vector<float>{0.1f, 0.1f}), segment(2.0, 3.0)}) {
    const TranscriptResult stays = transcriptOf({kept, last});
    EXPECT_EQ(TranscriptSanitizer::sanitize(stays, 60.0).segments.size(), 2u);
  }
  EXPECT_TRUE(TranscriptSanitizer::sanitize(transcriptOf({middle}), 60.0).segments.empty());
  EXPECT_TRUE(TranscriptSanitizer::sanitize(transcriptOf({}), 60.0).segments.empty());
}

TEST(TranscriptSanitizer, DerivesConfidenceFromWords) {
  EXPECT_EQ(TranscriptSanitizer::deriveConfidence(segment(0, 1)), std::nullopt);
  EXPECT_EQ(TranscriptSanitizer::deriveConfidence(segment(0, 1, std::vector<float>{})), std::nullopt);
  EXPECT_EQ(TranscriptSanitizer::deriveConfidence(segment(0, 1, std::vector<float>{0.5f, 0.25f})), 0.375f);
}

TEST(VocabularyFormatter, TrimsAndJoinsTerms) {
  EXPECT_EQ(VocabularyFormatter::formatPrompt({"Alpha", "beta"}), "Transcript mentioning: Alpha, beta.");
  EXPECT_EQ(VocabularyFormatter::formatPrompt({"Ada "}), "Transcript mentioning: Ada.");
  EXPECT_EQ(VocabularyFormatter::formatPrompt({" \n", "\t\r\n", "\u00A0Zoë\u2028", ""}), "Transcript mentioning: Zoë.");
  EXPECT_EQ(VocabularyFormatter::formatPrompt({" \n", "\t"}), std::nullopt);
  EXPECT_EQ(VocabularyFormatter::formatPrompt({}), std::nullopt);
}

TEST(VocabularyFormatter, PromptBudget) {
  std::vector<std::string> terms(100, "abcdefghij");
  terms.push_back("x");
  std::string expected = "Transcript mentioning: ";
  for (int i = 0; i < 61; ++i) expected += (i ? ", " : "") + std::string("abcdefghij");
  EXPECT_EQ(VocabularyFormatter::formatPrompt(terms), expected + ".");  // 61 taken (732); later, shorter ones not

  EXPECT_EQ(VocabularyFormatter::formatPrompt({std::string(738, 'a')}), "Transcript mentioning: " + std::string(738, 'a') + ".");
  EXPECT_EQ(VocabularyFormatter::formatPrompt({std::string(739, 'a')}), std::nullopt);
  EXPECT_EQ(VocabularyFormatter::formatPrompt({std::string(739, 'a'), "b"}), std::nullopt);

  // Lengths count user-perceived characters: "e" with a combining acute is one.
  std::string combining;
  for (int i = 0; i < 738; ++i) combining += "e\u0301";
  EXPECT_TRUE(VocabularyFormatter::formatPrompt({combining}).has_value());
  EXPECT_EQ(VocabularyFormatter::formatPrompt({combining + "e\u0301"}), std::nullopt);
}

}  // namespace
}  // namespace velmoria
