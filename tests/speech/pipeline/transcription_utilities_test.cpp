// Transcription utilities: segment shifts, display lines, word-list prefixes and merging results.
#include "speech/pipeline/transcription_utilities.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace vostrane {
namespace {

using U = TranscriptionUtilities;

WordTiming word(std::string text, float start = 0, float end = 0) {
  return WordTiming{.word = std::move(text), .start = start, .end = end};
}

std::vector<std::string> texts(const std::vector<WordTiming>& words) {
  std::vector<std::string> out;
  for (const auto& w : words) out.push_back(w.word);
  return out;
}

TEST(TranscriptionUtilities, SegmentsMoveBySecondsOrSamples) {
  TranscriptionSegment segment{.id = 3, .seek = 100, .start = 1, .end = 2, .text = " hi",
                               .words = std::vector<WordTiming>{word(" hi", 1, 1.5F), word(" you", 1.5F, 2)}};
  const TranscriptionSegment bySeconds = U::updateSegmentTimings(segment, 1.5F);
  EXPECT_EQ(bySeconds.seek, 24'100);
  EXPECT_FLOAT_EQ(bySeconds.start, 2.5F);
  EXPECT_FLOAT_EQ(bySeconds.end, 3.5F);
  EXPECT_FLOAT_EQ((*bySeconds.words)[1].start, 3.0F);
  EXPECT_FLOAT_EQ((*bySeconds.words)[1].end, 3.5F);
  EXPECT_EQ((*bySeconds.words)[1].word, " you");
  EXPECT_EQ(bySeconds.id, 3);
  EXPECT_FLOAT_EQ(segment.start, 1);  // the input is not changed

  const TranscriptionSegment bySamples = U::updateSegmentTimings(segment, 8000);
  EXPECT_EQ(bySamples.seek, 8100);
  EXPECT_FLOAT_EQ(bySamples.start, 1.5F);
  EXPECT_FLOAT_EQ((*bySamples.words)[0].end, 2.0F);

  TranscriptionSegment plain{.start = 1, .end = 2};
  const TranscriptionSegment moved = U::updateSegmentTimings(plain, 0.5F);
  EXPECT_FALSE(moved.words);
  EXPECT_FLOAT_EQ(moved.end, 2.5F);

  // Seconds become samples in single precision: 0.7 s is 11200 samples, not one short.
  for (const auto& [seconds, samples] : {std::pair{0.7F, 11'200}, {0.9F, 14'400}, {2.3F, 36'800}, {4.7F, 75'200}}) {
    EXPECT_EQ(U::updateSegmentTimings(plain, seconds).seek, samples) << seconds;
  }

  // Past the int range of sample indices (some 37 hours) the seek stays at its end instead of
  // wrapping round or being dropped.
  TranscriptionSegment late{.seek = std::numeric_limits<int>::max() - 10, .start = 134'000, .end = 134'001};
  EXPECT_EQ(U::updateSegmentTimings(late, 16'000).seek, std::numeric_limits<int>::max());
  EXPECT_EQ(U::updateSegmentTimings(late, 1.0F).seek, std::numeric_limits<int>::max());
  EXPECT_EQ(U::updateSegmentTimings(plain, 200'000.0F).seek, std::numeric_limits<int>::max());
  EXPECT_FLOAT_EQ(U::updateSegmentTimings(plain, 200'000.0F).start, 200'001.0F);
}

TEST(TranscriptionUtilities, DisplayLinesKeepTheTextAsItIs) {
  const std::vector<TranscriptionSegment> segments{{.start = 0, .end = 2.5F, .text = " Hello"},
                                                   {.start = 62.125F, .end = 63, .text = "x"}};
  EXPECT_EQ(U::formatSegments(segments, true), (std::vector<std::string>{"[0.00 --> 2.50]  Hello", "[62.12 --> 63.00] x"}));
  EXPECT_EQ(U::formatSegments(segments, false), (std::vector<std::string>{" Hello", "x"}));
  EXPECT_TRUE(U::formatSegments({}, true).empty());
}

TEST(TranscriptionUtilities, CommonPrefixComparesTheWordsNormalForms) {
  const std::vector<WordTiming> first{word("Hello, "), word("well-known"), word(" world"), word(" again")};
  const std::vector<WordTiming> second{word("hello", 1, 2), word(" well known", 2, 3), word(" World!", 3, 4),
                                       word(" other", 4, 5), word(" more")};
  const auto prefix = U::findLongestCommonPrefix(first, second);
  EXPECT_EQ(texts(prefix), (std::vector<std::string>{"hello", " well known", " World!"}));
  EXPECT_FLOAT_EQ(prefix[0].start, 1);  // the second list's timings
  EXPECT_EQ(texts(U::findLongestDifferentSuffix(first, second)), (std::vector<std::string>{" other", " more"}));

  EXPECT_TRUE(U::findLongestCommonPrefix({}, second).empty());
  EXPECT_TRUE(U::findLongestCommonPrefix(first, {}).empty());
  EXPECT_EQ(U::findLongestCommonPrefix({word("a")}, {word("A"), word("b")}).size(), 1U);
  EXPECT_TRUE(U::findLongestDifferentSuffix(second, second).empty());
  EXPECT_EQ(U::findLongestDifferentSuffix({word("x")}, second).size(), second.size());
}

std::shared_ptr<TranscriptionResult> result(std::string text, int segments, std::string language,
                                            TranscriptionTimings timings = {}) {
  std::vector<TranscriptionSegment> list;
  for (int i = 0; i < segments; ++i) list.push_back({.id = 40 + i, .seek = 7, .start = float(i), .text = text});
  return std::make_shared<TranscriptionResult>(std::move(text), std::move(list), std::move(language), timings, 3.0F);
}

TEST(TranscriptionUtilities, MergingNothingGivesAnEmptyResult) {
  const auto merged = U::mergeTranscriptionResults({});
  EXPECT_EQ(merged->text(), "");
  EXPECT_TRUE(merged->segments().empty());
  EXPECT_EQ(merged->language(), "en");
  EXPECT_FALSE(merged->seekTime());
  const TranscriptionTimings t = merged->timings();
  EXPECT_EQ(t.pipelineStart, 0);
  EXPECT_EQ(t.firstTokenTime, 0);
  EXPECT_EQ(t.inputAudioSeconds, 0);
  EXPECT_EQ(t.fullPipeline, 0);
  EXPECT_EQ(U::mergeTranscriptionResults({nullptr, nullptr})->text(), " ");
}

TEST(TranscriptionUtilities, MergingJoinsTextsSegmentsAndLanguage) {
  const auto merged = U::mergeTranscriptionResults({result("a", 3, "de"), nullptr, result("b", 3, "fr")});
  EXPECT_EQ(merged->text(), "a  b");
  EXPECT_EQ(merged->language(), "de");
  EXPECT_FALSE(merged->seekTime());
  std::vector<int> ids;
  for (const auto& s : merged->segments()) ids.push_back(s.id);
  EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 1, 2, 3}));
  EXPECT_EQ(merged->segments()[4].text, "b");
  EXPECT_EQ(merged->segments()[4].seek, 7);

  const auto confirmed =
      U::mergeTranscriptionResults({result("a", 1, "de"), result("b", 1, "de")},
                                   std::vector<WordTiming>{word(" Hello"), word(" world")});
  EXPECT_EQ(confirmed->text(), " Hello world");
  EXPECT_EQ(U::mergeTranscriptionResults({nullptr, result("x", 0, "ja")})->language(), "ja");
}

TEST(TranscriptionUtilities, MergedTimingsFollowEachFieldsRule) {
  const TranscriptionTimings a{.pipelineStart = 10, .firstTokenTime = 10.5, .inputAudioSeconds = 30,
                               .modelLoading = 2, .encoderSpecializationTime = 4, .tokenizerLoadTime = 0.5,
                               .audioLoading = 1, .decodingLoop = 3, .totalDecodingWindows = 2, .fullPipeline = 5};
  const TranscriptionTimings b{.pipelineStart = 11, .firstTokenTime = 11.2, .inputAudioSeconds = 20,
                               .modelLoading = 3, .encoderSpecializationTime = 9, .tokenizerLoadTime = 0.25,
                               .audioLoading = 2, .decodingLoop = 1, .totalDecodingWindows = 1, .fullPipeline = 5};
  const TranscriptionTimings together = U::mergeTranscriptionResults({result("a", 1, "en", a), result("b", 1, "en", b)})->timings();
  EXPECT_EQ(together.pipelineStart, 10);
  EXPECT_EQ(together.firstTokenTime, 10.5);
  EXPECT_EQ(together.modelLoading, 3);
  EXPECT_EQ(together.tokenizerLoadTime, 0.5);
  EXPECT_EQ(together.encoderSpecializationTime, 0);
  EXPECT_EQ(together.inputAudioSeconds, 50);
  EXPECT_EQ(together.audioLoading, 3);
  EXPECT_EQ(together.decodingLoop, 4);
  EXPECT_EQ(together.totalDecodingWindows, 3);
  EXPECT_EQ(together.fullPipeline, 6);  // overlapping runs: 10 to 16

  TranscriptionTimings later = b;
  later.pipelineStart = 20;
  EXPECT_EQ(U::mergeTranscriptionResults({result("a", 1, "en", a), result("b", 1, "en", later)})->timings().fullPipeline,
            10);
}

}  // namespace
}  // namespace vostrane
