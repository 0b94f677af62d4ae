// Word timings: time warping against a plain reference, the duration, truncation, punctuation
// and placement rules, and whole windows through addWordTimestamps.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "speech/decoding/fake_tokenizer.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr int T = 50364;
constexpr int kHello = 1000, kWorld = 1001, kBang = 1002, kParen = 1003, kAgain = 1004, kComma = 1005;

std::shared_ptr<const WhisperTokenizerWrapper> wordTokenizer() {
  testing::FakeTokenizer t = testing::whisperLikeTokenizer();
  t.add(kHello, "\xC4\xA0Hello", " Hello")
      .add(kWorld, "\xC4\xA0world", " world")
      .add(kBang, "!")
      .add(kParen, "(")
      .add(kAgain, "\xC4\xA0" "again", " again")
      .add(kComma, ",");
  for (int k = 1; k <= 200; ++k) t.add(T + k, "<|" + std::to_string(k) + "|>");
  return std::make_shared<const WhisperTokenizerWrapper>(
      noxtal::tokenizers::TokenizerWrapper(std::make_shared<const testing::FakeTokenizer>(std::move(t))));
}

// The time warping written out from its definition, on a matrix of doubles.
AlignmentPath referencePath(const std::vector<std::vector<double>>& x) {
  const std::size_t n = x.size(), m = x[0].size();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> cost(n + 1, std::vector<double>(m + 1, inf));
  std::vector<std::vector<int>> trace(n + 1, std::vector<int>(m + 1, -1));
  cost[0][0] = 0;
  for (std::size_t j = 1; j <= m; ++j) trace[0][j] = 2;
  for (std::size_t i = 1; i <= n; ++i) trace[i][0] = 1;
  for (std::size_t i = 1; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      const double c[3] = {cost[i - 1][j - 1] - x[i - 1][j - 1], cost[i - 1][j] - x[i - 1][j - 1],
                           cost[i][j - 1] - x[i - 1][j - 1]};
      int step = 2;
      for (int k : {0, 1}) {
        if (c[k] < c[1 - k] && c[k] < c[2]) step = k;
      }
      cost[i][j] = c[step];
      trace[i][j] = step;
    }
  }
  AlignmentPath path;
  for (std::size_t i = n, j = m; i > 0 || j > 0;) {
    path.tokenIndices.insert(path.tokenIndices.begin(), static_cast<int>(i) - 1);
    path.frameIndices.insert(path.frameIndices.begin(), static_cast<int>(j) - 1);
    const int step = trace[i][j];
    if (step != 2) --i;
    if (step != 1) --j;
  }
  return path;
}

MultiArray matrixOf(const std::vector<std::vector<double>>& rows, DataType type) {
  MultiArray array({static_cast<std::int64_t>(rows.size()), static_cast<std::int64_t>(rows[0].size())}, type);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t j = 0; j < rows[i].size(); ++j) {
      array.setDouble(static_cast<std::int64_t>(i * rows[i].size() + j), rows[i][j]);
    }
  }
  return array;
}

TEST(AlignmentPath, MatchesTheReferenceOnRandomMatricesOfEveryElementType) {
  const SegmentSeeker seeker;
  std::mt19937 random(7);
  std::uniform_real_distribution<double> weight(-1.0, 1.0);
  for (auto [n, m] : {std::pair{1, 1}, {1, 7}, {6, 1}, {2, 2}, {5, 9}, {17, 31}, {40, 23}}) {
    for (DataType type : {DataType::float16, DataType::float32, DataType::float64}) {
      std::vector<std::vector<double>> rows(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(m)));
      for (auto& row : rows) {
        for (double& v : row) v = weight(random);
      }
      const MultiArray matrix = matrixOf(rows, type);
      // The reference reads what the array holds (float16 rounds the weights).
      for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) rows[i][j] = matrix.doubleAt(static_cast<std::int64_t>(i) * m + j);
      }
      const AlignmentPath path = seeker.computeAlignmentPath(matrix);
      EXPECT_EQ(path, referencePath(rows)) << n << "x" << m;
      ASSERT_FALSE(path.tokenIndices.empty());
      EXPECT_EQ(path.tokenIndices.front(), 0);
      EXPECT_EQ(path.frameIndices.front(), 0);
      EXPECT_EQ(path.tokenIndices.back(), n - 1);
      EXPECT_EQ(path.frameIndices.back(), m - 1);
    }
  }
}

TEST(AlignmentPath, TiesStepBackOneFrame) {
  const SegmentSeeker seeker;
  // All equal: every choice ties, so the last cell steps back a frame.
  EXPECT_EQ(seeker.computeAlignmentPath(matrixOf({{0, 0}, {0, 0}}, DataType::float32)),
            (AlignmentPath{{0, 1, 1}, {0, 0, 1}}));
  // c0 = c1 < c2 at the last cell: still a frame step, not the diagonal.
  EXPECT_EQ(seeker.computeAlignmentPath(matrixOf({{1, 0}, {-1, 0}}, DataType::float32)),
            (AlignmentPath{{0, 1, 1}, {0, 0, 1}}));
  // c1 = c2 < c0.
  EXPECT_EQ(seeker.computeAlignmentPath(matrixOf({{0, 1}, {1, 0}}, DataType::float32)),
            (AlignmentPath{{0, 1, 1}, {0, 0, 1}}));
  // A strict diagonal minimum is taken.
  EXPECT_EQ(seeker.computeAlignmentPath(matrixOf({{1, -1}, {-1, 1}}, DataType::float32)),
            (AlignmentPath{{0, 1}, {0, 1}}));
}

TEST(AlignmentPath, RejectsMatricesThatAreNotTwoDimensional) {
  const SegmentSeeker seeker;
  for (const platform::ml::Shape& shape : {platform::ml::Shape{4}, platform::ml::Shape{1, 2, 2}, platform::ml::Shape{0, 3},
                                           platform::ml::Shape{3, 0}}) {
    try {
      seeker.computeAlignmentPath(MultiArray(shape, DataType::float32));
      ADD_FAILURE() << platform::ml::shapeText(shape);
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.errorCase(), WhisperError::Case::segmentingFailed);
      EXPECT_EQ(error.message(), "Invalid alignment matrix shape");
    }
  }
}

WordTiming word(std::string text, float start, float end, std::vector<int> tokens = {}, float probability = 0.9F) {
  return WordTiming{std::move(text), std::move(tokens), start, end, probability};
}

TEST(WordDurations, MedianIsTheUpperMiddleCappedAndMaxIsTwice) {
  const SegmentSeeker seeker;
  const auto constraints = [&](std::vector<std::pair<float, float>> spans) {
    std::vector<WordTiming> words;
    for (auto [start, end] : spans) words.push_back(word("w", start, end));
    return seeker.calculateWordDurationConstraints(words);
  };
  WordDurationConstraints c = constraints({{0, 0.9F}, {1, 1.1F}, {2, 2.5F}, {3, 3.3F}});
  EXPECT_FLOAT_EQ(c.median, 0.5F);
  EXPECT_FLOAT_EQ(c.max, 1.0F);
  c = constraints({{0, 1.2F}, {2, 4.0F}});
  EXPECT_FLOAT_EQ(c.median, 0.7F);
  EXPECT_FLOAT_EQ(c.max, 1.4F);
  c = constraints({{1, 1}, {2, 1.5F}});
  EXPECT_EQ(c.median, 0);
  EXPECT_EQ(c.max, 0);
  EXPECT_EQ(constraints({}).median, 0);
}

TEST(WordDurations, LongWordsAreCutOnlyAtSentenceEnds) {
  const SegmentSeeker seeker;
  const auto out = seeker.truncateLongWordsAtSentenceBoundaries(
      {word(" Long", 0, 3), word(".", 3, 5), word("?", 5, 5.5F), word(" Next", 5.5F, 7.5F), word(" plain", 8, 10)},
      1.0F);
  EXPECT_EQ(out[0].end, 3);  // the first word is never changed
  EXPECT_FLOAT_EQ(out[1].start, 3);
  EXPECT_FLOAT_EQ(out[1].end, 4);
  EXPECT_FLOAT_EQ(out[3].start, 6.5F);
  EXPECT_FLOAT_EQ(out[3].end, 7.5F);
  EXPECT_FLOAT_EQ(out[4].start, 8);  // neither a mark nor after one
  EXPECT_FLOAT_EQ(out[4].end, 10);
  EXPECT_EQ(seeker.truncateLongWordsAtSentenceBoundaries({word(".", 0, 9)}, 1.0F)[0].end, 9);
}

class Punctuation : public ::testing::Test {
 protected:
  std::vector<WordTiming> merge(std::vector<WordTiming> words) {
    return seeker_.mergePunctuationMarks(words, Constants::defaultPrependPunctuations,
                                         Constants::defaultAppendPunctuations);
  }
  SegmentSeeker seeker_;
};

TEST_F(Punctuation, OpeningMarksJoinTheNextWord) {
  auto out = merge({word(" (", 0, 1, {1}, 0.5F), word(" Hello", 1, 2, {2}, 0.8F), word(" world", 2, 3, {3})});
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0], word(" ( Hello", 1, 2, {1, 2}, 0.8F));
  // In the middle, a mark with a leading blank joins the word after it.
  out = merge({word(" Hello", 0, 1, {1}), word(" \"", 1, 2, {2}), word("world", 2, 3, {3}, 0.7F)});
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[1], word(" \"world", 2, 3, {2, 3}, 0.7F));
  // A leading mark without whitespace joins the next word instead of vanishing.
  out = merge({word("(", 0, 1, {1}), word(" world", 1, 2, {2})});
  ASSERT_EQ(out.size(), 1U);
  EXPECT_EQ(out[0], word("( world", 1, 2, {1, 2}));
}

TEST_F(Punctuation, ClosingMarksJoinThePreviousWordUnlessItEndsWithABlank) {
  auto out = merge({word(" Hello", 0, 1, {1}, 0.6F), word(",", 1, 2, {2}), word(" world", 2, 3, {3})});
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0], word(" Hello,", 0, 1, {1, 2}, 0.6F));
  out = merge({word(" Hello ", 0, 1, {1}), word(",", 1, 2, {2}), word(" world", 2, 3, {3})});
  ASSERT_EQ(out.size(), 2U);  // the lone comma is removed
  EXPECT_EQ(out[0].word, " Hello ");
  EXPECT_EQ(out[1].word, " world");
  // A blank word trims to nothing, which is no mark: it neither merges nor is removed.
  out = merge({word(" Hello", 0, 1, {1}), word(" ", 1, 2, {2}), word("", 2, 3, {3})});
  ASSERT_EQ(out.size(), 2U);
  EXPECT_EQ(out[0].word, " Hello");
  EXPECT_EQ(out[1].word, " ");
  EXPECT_TRUE(merge({}).empty());
}

std::vector<int> sortedTokens(const std::vector<WordTiming>& words) {
  std::vector<int> all;
  for (const auto& w : words) all.insert(all.end(), w.tokens.begin(), w.tokens.end());
  return all;
}

TEST(WordPlacement, DropsTimestampWordsAndMovesShortWordsAfterGaps) {
  const SegmentSeeker seeker;
  const auto tokenizer = wordTokenizer();
  TranscriptionSegment first{.start = 10.0F, .end = 12.0F, .tokens = {T, kHello, kWorld, kAgain, T + 100}};
  // A timestamp-only word, a normal word, a short word after a gap, a short word right after.
  const std::vector<WordTiming> words = {word("<|0.00|>", 0, 0.1F, {T}), word(" Hello", 0.0F, 0.5F, {kHello}),
                                         word(" world", 1.0F, 1.05F, {kWorld}),
                                         word(" again", 1.05F, 1.1F, {kAgain, T + 100})};
  const auto out = seeker.updateSegmentsWithWordTimings({first}, words, 160000, 0.0F, 0.4F, 0.8F, *tokenizer);
  ASSERT_EQ(out.size(), 1U);
  ASSERT_TRUE(out[0].words);
  const std::vector<WordTiming>& placed = *out[0].words;
  ASSERT_EQ(placed.size(), 3U);
  EXPECT_EQ(sortedTokens(placed), (std::vector<int>{kHello, kWorld, kAgain}));
  EXPECT_EQ(placed[2].word, " again");  // decoded again without its timestamp token
  EXPECT_FLOAT_EQ(placed[0].start, 10.0F);
  // " world" (0.05 s < 0.1 s) after a 0.5 s gap moves back by half the median.
  EXPECT_FLOAT_EQ(placed[1].start, 10.8F);
  EXPECT_FLOAT_EQ(placed[1].end, 11.05F);
  // " again" starts where " world" ends: no gap, no move.
  EXPECT_FLOAT_EQ(placed[2].start, 11.05F);
  EXPECT_FLOAT_EQ(placed[0].probability, 0.9F);
  // The segment takes its first word's start and, as 12 + 0.5 is not before 11.1, its last
  // word's end.
  EXPECT_FLOAT_EQ(out[0].start, 10.0F);
  EXPECT_FLOAT_EQ(out[0].end, 11.1F);
}

TEST(WordPlacement, ShortFirstWordMovesTowardThePreviousSegmentButNeverBeforeIt) {
  const SegmentSeeker seeker;
  const auto tokenizer = wordTokenizer();
  const std::vector<TranscriptionSegment> segments = {
      TranscriptionSegment{.start = 0.0F, .end = 1.0F, .tokens = {kHello}},
      TranscriptionSegment{.start = 1.0F, .end = 2.0F, .tokens = {kWorld}}};
  // The first word of the first segment has no previous end: it is never moved.
  const auto out = seeker.updateSegmentsWithWordTimings(
      segments, {word(" Hello", 0.5F, 0.55F, {kHello}), word(" world", 1.2F, 1.25F, {kWorld})}, 0, 0.0F, 1.0F, 2.0F,
      *tokenizer);
  ASSERT_EQ(out.size(), 2U);
  EXPECT_FLOAT_EQ((*out[0].words)[0].start, 0.5F);
  // Segment 0 ends at its word's end 0.55; " world" moves back by min(0.5, 1.2 - 0.55).
  EXPECT_FLOAT_EQ(out[0].end, 0.55F);
  EXPECT_FLOAT_EQ((*out[1].words)[0].start, 0.7F);
}

TEST(WordPlacement, LongPauseRuleAndSegmentBoundaries) {
  const SegmentSeeker seeker;
  const auto tokenizer = wordTokenizer();
  // After a pause of more than 4 medians an overlong first word (3 s > max 1 s) is cut to the
  // max, its start pulled to max(lastSpeech, end - max); the overlong second word shares a
  // boundary with it.
  TranscriptionSegment segment{.start = 5.0F, .end = 9.0F, .tokens = {kHello, kWorld, kAgain}};
  const auto out = seeker.updateSegmentsWithWordTimings(
      {segment},
      {word(" Hello", 4.0F, 7.0F, {kHello}), word(" world", 7.0F, 8.6F, {kWorld}),
       word(" again", 8.6F, 9.0F, {kAgain})},
      0, 1.0F, 0.5F, 1.0F, *tokenizer);
  const std::vector<WordTiming>& w = *out[0].words;
  // boundary = max(8.6 * 0.5, 8.6 - 1) = 7.6
  EXPECT_FLOAT_EQ(w[0].end, 7.6F);
  EXPECT_FLOAT_EQ(w[1].start, 7.6F);
  EXPECT_FLOAT_EQ(w[0].start, 6.6F);
  EXPECT_FLOAT_EQ(out[0].start, 6.6F);
  EXPECT_FLOAT_EQ(out[0].end, 9.0F);

  // A segment that starts more than 0.5 s after its first word pulls the word's start to it;
  // a last word running more than 0.5 s past the segment's end is cut to it (at least a
  // median long).
  const auto kept = seeker.updateSegmentsWithWordTimings(
      {TranscriptionSegment{.start = 5.0F, .end = 6.0F, .tokens = {kHello, kWorld}}},
      {word(" Hello", 4.0F, 5.5F, {kHello}), word(" world", 5.6F, 7.0F, {kWorld})}, 0, 5.0F, 0.5F, 1.0F, *tokenizer);
  const std::vector<WordTiming>& k = *kept[0].words;
  EXPECT_FLOAT_EQ(k[0].start, 5.0F);
  EXPECT_FLOAT_EQ(k[1].end, 6.1F);
  EXPECT_FLOAT_EQ(kept[0].start, 5.0F);
  EXPECT_FLOAT_EQ(kept[0].end, 6.0F);
}

TEST(WordTimestamps, FewerThanTwoWordsOrNothingToAlignGiveNoWordTimings) {
  const SegmentSeeker seeker;
  const auto tokenizer = wordTokenizer();
  const std::vector<TranscriptionSegment> segments = {
      TranscriptionSegment{.start = 1.0F, .end = 2.0F, .tokens = {T, kHello, T + 50}}};
  const auto run = [&](const std::vector<TranscriptionSegment>& input, const MultiArray& weights) {
    return seeker.addWordTimestamps(input, weights, *tokenizer, 0, 480000, Constants::defaultPrependPunctuations,
                                    Constants::defaultAppendPunctuations, 0.0F, DecodingOptions{},
                                    TranscriptionTimings{});
  };
  // One word only; a segment without tokens; weights without columns.
  for (const auto& [input, weights] :
       {std::pair{std::vector<TranscriptionSegment>{TranscriptionSegment{.start = 1, .end = 2, .tokens = {kHello}}},
                  MultiArray({224, 8}, DataType::float16)},
        std::pair{std::vector<TranscriptionSegment>{TranscriptionSegment{.start = 1, .end = 2}},
                  MultiArray({224, 8}, DataType::float16)},
        std::pair{segments, MultiArray({224, 0}, DataType::float16)}}) {
    const auto out = run(input, weights);
    ASSERT_EQ(out.size(), 1U);
    ASSERT_TRUE(out[0].words);
    EXPECT_TRUE(out[0].words->empty());
    EXPECT_EQ(out[0].start, input[0].start);
    EXPECT_EQ(out[0].end, input[0].end);
  }
  try {
    run(segments, MultiArray({}, DataType::float16));
    ADD_FAILURE() << "a shapeless array was accepted";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.errorCase(), WhisperError::Case::segmentingFailed);
    EXPECT_EQ(error.message(), "Invalid shape in alignmentWeights");
  }
}

// One-hot alignment rows: row k has its weight at frames[k].
MultiArray oneHotRows(std::int64_t rows, std::int64_t width, const std::vector<int>& frames, DataType type) {
  MultiArray weights({rows, width}, type);
  for (std::size_t k = 0; k < frames.size(); ++k) weights.setFloat(static_cast<std::int64_t>(k) * width + frames[k], 1);
  return weights;
}

std::vector<TranscriptionSegment> withLogProbs(std::vector<TranscriptionSegment> segments) {
  for (auto& s : segments) {
    s.tokenLogProbs.clear();
    for (int token : s.tokens) s.tokenLogProbs.push_back({{token, -0.1F}});
  }
  return segments;
}

// Two segments with two words and one word, and the frames of one-hot rows for their seven
// tokens.
std::vector<TranscriptionSegment> twoSegments() {
  return withLogProbs({TranscriptionSegment{.start = 0, .end = 2, .tokens = {T, kHello, kWorld, T + 100}},
                       TranscriptionSegment{.start = 2, .end = 3, .tokens = {T + 100, kAgain, T + 150}}});
}
const std::vector<int> kTwoSegmentFrames = {0, 10, 40, 99, 99, 120, 149};

std::vector<TranscriptionSegment> withWordTimings(const std::vector<TranscriptionSegment>& segments,
                                                  const MultiArray& weights) {
  return SegmentSeeker().addWordTimestamps(segments, weights, *wordTokenizer(), 0, 480000,
                                           Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
                                           0.0F, DecodingOptions{}, TranscriptionTimings{});
}

TEST(WordTimestamps, HalfPrecisionWeightsAreCopiedRowByRowWithoutOverrun) {
  const auto segments = twoSegments();
  const auto run = [&](const MultiArray& weights) { return withWordTimings(segments, weights); };
  // The decoder's [M, W] half-precision array, and the same weights as float32 with exactly
  // one row per token: the word timings must not depend on the element type.
  const auto half = run(oneHotRows(224, 150, kTwoSegmentFrames, DataType::float16));
  const auto single = run(oneHotRows(7, 150, kTwoSegmentFrames, DataType::float32));
  ASSERT_EQ(half, single);
  ASSERT_TRUE(half[0].words && half[1].words);
  ASSERT_EQ(half[0].words->size(), 2U);
  ASSERT_EQ(half[1].words->size(), 1U);
  EXPECT_EQ((*half[0].words)[0].word, " Hello");
  EXPECT_EQ((*half[1].words)[0].word, " again");
  // Fewer rows than tokens: the missing rows read as 0 and nothing is read past the array.
  const auto shortRows = run(oneHotRows(3, 150, {0, 10, 40}, DataType::float16));
  ASSERT_EQ(shortRows.size(), 2U);
  EXPECT_TRUE(shortRows[0].words);
}

TEST(WordTimestamps, LeadingDimensionsOfTheWeightsFlattenIntoRows) {
  const auto segments = twoSegments();
  const auto dense = withWordTimings(segments, oneHotRows(8, 150, kTwoSegmentFrames, DataType::float32));
  ASSERT_TRUE(dense[0].words);
  ASSERT_EQ(dense[0].words->size(), 2U);
  // The same eight rows as [1, 8, W], [2, 4, W] and [8, 1, W], each as a view of an [8, W]
  // array and as an array of its own. Every array lies in row-major order (views included), so
  // row r of the leading dimensions starts at element r x W.
  for (const platform::ml::Shape& shape :
       {platform::ml::Shape{1, 8, 150}, platform::ml::Shape{2, 4, 150}, platform::ml::Shape{8, 1, 150}}) {
    SCOPED_TRACE(platform::ml::shapeText(shape));
    const MultiArray view = oneHotRows(8, 150, kTwoSegmentFrames, DataType::float32).reshaped(shape);
    ASSERT_EQ(view.strides(), platform::ml::rowMajorStrides(shape));
    EXPECT_EQ(withWordTimings(segments, view), dense);
    MultiArray own(shape, DataType::float32);
    for (std::size_t k = 0; k < kTwoSegmentFrames.size(); ++k) {
      own.setFloat(static_cast<std::int64_t>(k) * 150 + kTwoSegmentFrames[k], 1);
    }
    EXPECT_EQ(withWordTimings(segments, own), dense);
  }
}

TEST(WordTimestamps, AWordRemovedAtTheEndOfASegmentDoesNotShiftLaterWords) {
  const SegmentSeeker seeker;
  const auto tokenizer = wordTokenizer();
  // The first segment ends in a lone "(" that no word takes: the clean-up removes it, and the
  // next segment's word must stay in the next segment.
  const auto segments =
      withLogProbs({TranscriptionSegment{.start = 0, .end = 2, .tokens = {T, kHello, kParen, T + 100}},
                    TranscriptionSegment{.start = 2, .end = 3, .tokens = {T + 100, kWorld, T + 150}}});
  const auto out =
      seeker.addWordTimestamps(segments, oneHotRows(224, 150, {0, 20, 60, 99, 100, 120, 149}, DataType::float16),
                               *tokenizer, 0, 480000, Constants::defaultPrependPunctuations,
                               Constants::defaultAppendPunctuations, 0.0F, DecodingOptions{}, TranscriptionTimings{});
  ASSERT_EQ(out.size(), 2U);
  ASSERT_TRUE(out[0].words && out[1].words);
  ASSERT_EQ(out[0].words->size(), 1U);
  EXPECT_EQ((*out[0].words)[0].word, " Hello");
  ASSERT_EQ(out[1].words->size(), 1U);
  EXPECT_EQ((*out[1].words)[0].word, " world");
  EXPECT_EQ((*out[1].words)[0].tokens, (std::vector<int>{kWorld}));
  EXPECT_GE((*out[1].words)[0].start, (*out[0].words)[0].end);
}

}  // namespace
}  // namespace vostrane
