#include "speech/decoding/logits_filters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "speech/model/log_capture.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr int kVocabulary = 60;

// A small vocabulary: text 0..39, control tokens 40..49, timestamps 50..59.
SpecialTokens smallTokens() {
  return SpecialTokens{.endToken = 40,
                       .englishToken = 42,
                       .noSpeechToken = 48,
                       .noTimestampsToken = 49,
                       .specialTokenBegin = 40,
                       .startOfPreviousToken = 47,
                       .startOfTranscriptToken = 41,
                       .timeTokenBegin = 50,
                       .transcribeToken = 46,
                       .translateToken = 45,
                       .whitespaceToken = 3};
}

// Text logits 0 and timestamp logits -10 (text wins the probability test), or the reverse.
MultiArray logits(bool timestampsLikely, int vocabulary = kVocabulary) {
  MultiArray array({1, 1, vocabulary}, DataType::float32);
  auto values = array.span<float>();
  for (int i = 0; i < vocabulary; ++i) values[static_cast<std::size_t>(i)] = (i >= 50) == timestampsLikely ? 0.0F : -10.0F;
  return array;
}

std::set<int> masked(const MultiArray& array) {
  std::set<int> ids;
  const auto values = array.span<float>();
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i] == -std::numeric_limits<float>::infinity()) ids.insert(static_cast<int>(i));
  }
  return ids;
}

std::set<int> range(int begin, int end) {
  std::set<int> ids;
  for (int i = begin; i < end; ++i) ids.insert(i);
  return ids;
}

std::set<int> operator+(std::set<int> a, const std::set<int>& b) {
  a.insert(b.begin(), b.end());
  return a;
}

struct FilterCase {
  const char* name;
  std::function<std::shared_ptr<const LogitsFiltering>()> filter;
  std::vector<int> tokens;
  bool timestampsLikely;
  std::set<int> expectedMasked;
};

std::shared_ptr<const LogitsFiltering> timestampRules(int sampleBegin, bool multilingual) {
  return std::make_shared<TimestampRulesFilter>(smallTokens(), sampleBegin, std::nullopt, multilingual);
}

TEST(LogitsFilters, MaskTheTokensTheRulesForbid) {
  const std::set<int> none;
  const std::set<int> noTimestamps{49};
  const std::vector<FilterCase> cases = {
      {"suppression list skips negative and out-of-range ids",
       [] { return std::make_shared<SuppressTokensFilter>(std::vector<int>{-1, 5, 7, 100}); }, {41}, false, {5, 7}},
      {"blank filter at the first sampled position",
       [] { return std::make_shared<SuppressBlankFilter>(smallTokens(), 2); }, {41, 50}, false, {3, 40}},
      {"blank filter one position later", [] { return std::make_shared<SuppressBlankFilter>(smallTokens(), 2); },
       {41, 50, 7}, false, none},
      {"English-only, nothing sampled, text likelier", [] { return timestampRules(2, false); }, {41, 50}, false,
       noTimestamps},
      {"English-only, nothing sampled, timestamps likelier", [] { return timestampRules(2, false); }, {41, 50}, true,
       noTimestamps + range(0, 50)},
      {"before the sample begin nothing changes", [] { return timestampRules(3, false); }, {41, 50}, true, none},
      {"multilingual: the sample begins after the task token", [] { return timestampRules(0, true); },
       {41, 42, 46, 50, 7}, false, noTimestamps + std::set<int>{50}},
      {"multilingual: a later sampleBegin wins", [] { return timestampRules(5, true); }, {41, 42, 46, 50, 7}, false,
       noTimestamps},
      {"multilingual without a task token in the first three", [] { return timestampRules(1, true); },
       {47, 5, 6, 41, 42, 46}, true, none},
      {"one timestamp sampled: no second timestamp yet", [] { return timestampRules(1, false); }, {41, 52}, false,
       noTimestamps + range(50, 60)},
      {"text then timestamp t: text masked, timestamps below t masked", [] { return timestampRules(1, false); },
       {41, 10, 53}, false, noTimestamps + range(0, 40) + range(50, 53)},
      {"timestamps t, u: every timestamp masked", [] { return timestampRules(1, false); }, {41, 51, 53}, false,
       noTimestamps + range(50, 60)},
      {"timestamp t then text: timestamps up to t masked", [] { return timestampRules(1, false); }, {41, 52, 10},
       false, noTimestamps + range(50, 53)},
      {"language filter once the count reaches sampleBegin",
       [] { return std::make_shared<LanguageLogitsFilter>(std::set<int>{42, 43, 44}, kVocabulary, 1); }, {41}, false,
       range(0, 42) + range(45, 60)},
      {"language filter before sampleBegin",
       [] { return std::make_shared<LanguageLogitsFilter>(std::set<int>{42, 43, 44}, kVocabulary, 1); }, {}, false,
       none},
  };
  for (const FilterCase& c : cases) {
    SCOPED_TRACE(c.name);
    MultiArray input = logits(c.timestampsLikely);
    const MultiArray output = c.filter()->filterLogits(input, c.tokens);
    EXPECT_TRUE(output.sharesStorageWith(input));
    EXPECT_EQ(masked(output), c.expectedMasked);
  }
}

TEST(LogitsFilters, NegativeSuppressionIdsAreReportedOnceAtCreation) {
  testing::LogCapture capture;
  const SuppressTokensFilter filter({-1, 5});
  ASSERT_EQ(capture.lines().size(), 1U);
  EXPECT_NE(capture.lines()[0].find("the -1 sentinel (suppress default non-speech tokens) is not supported"),
            std::string::npos);
  MultiArray input = logits(false);
  filter.filterLogits(input, std::vector<int>{41});
  EXPECT_EQ(capture.lines().size(), 1U);
  EXPECT_EQ(filter.suppressTokenIndexes(), (TokenIndexes{{0, 0, -1}, {0, 0, 5}}));
}

TEST(LogitsFilters, LanguageFilterListsEveryNonLanguageIndex) {
  std::set<int> languages;
  for (int id = 50259; id < 50359; ++id) languages.insert(id);
  const LanguageLogitsFilter filter(languages, 51866, 0);
  EXPECT_EQ(filter.nonLanguageTokenIndexes().size(), 51866U - 100U);
  EXPECT_EQ(filter.nonLanguageTokenIndexes().front(), (std::vector<std::int64_t>{0, 0, 0}));
}

// A tokenizer whose special ids lie beyond the model's vocabulary (a mismatched folder): ranges
// are clamped to the logits and the probability test does not hold.
TEST(LogitsFilters, SpecialIdsBeyondTheVocabularyStayInsideTheLogits) {
  const SpecialTokens whisper;  // endToken 50257, timeTokenBegin 50364
  const TimestampRulesFilter rules(whisper, 1, std::nullopt, false);
  MultiArray textThenTimestamp = logits(false, 100);
  rules.filterLogits(textThenTimestamp, std::vector<int>{50258, 10, 50370});
  EXPECT_EQ(masked(textThenTimestamp), range(0, 100));

  MultiArray first = logits(true, 100);
  rules.filterLogits(first, std::vector<int>{50258});
  EXPECT_TRUE(masked(first).empty());
  EXPECT_FALSE(timestampsOutweighText(first.span<float>(), 50364));

  MultiArray blank = logits(false, 100);
  SuppressBlankFilter(whisper, 1).filterLogits(blank, std::vector<int>{50258});
  EXPECT_TRUE(masked(blank).empty());
}

TEST(LogitsFilters, OtherElementTypesAreFilteredAsFloat32AndOtherShapesLeftAlone) {
  const MultiArray half = logits(false).converted(DataType::float16);
  const MultiArray output = SuppressTokensFilter({5}).filterLogits(half, std::vector<int>{});
  ASSERT_EQ(output.dataType(), DataType::float32);
  EXPECT_EQ(masked(output), (std::set<int>{5}));

  MultiArray wide({2, kVocabulary}, DataType::float32);
  const MultiArray untouched = SuppressTokensFilter({5}).filterLogits(wide, std::vector<int>{});
  EXPECT_TRUE(masked(untouched).empty());
}

// Reference: the log-softmax in double precision, then log-sum-exp over the timestamps against
// the largest other log-probability.
bool referenceOutweighs(const std::vector<float>& logits, std::size_t timeBegin) {
  double m = -INFINITY;
  for (float v : logits) m = std::max(m, static_cast<double>(v));
  double sum = 0;
  for (float v : logits) sum += std::exp(static_cast<double>(v) - m);
  const double lse = m + std::log(sum);
  double tsMax = -INFINITY;
  for (std::size_t i = timeBegin; i < logits.size(); ++i) tsMax = std::max(tsMax, logits[i] - lse);
  double tsSum = 0;
  for (std::size_t i = timeBegin; i < logits.size(); ++i) tsSum += std::exp(logits[i] - lse - tsMax);
  const double timestamps = tsMax + std::log(tsSum);
  double text = -INFINITY;
  for (std::size_t i = 0; i < timeBegin; ++i) text = std::max(text, logits[i] - lse);
  return timestamps > text;
}

TEST(LogitsFilters, ProbabilityTestAgreesWithADoublePrecisionReference) {
  std::mt19937 random(17);
  int decided = 0;
  for (std::size_t size : {2U, 3U, 31U, 257U, 1501U}) {
    for (int trial = 0; trial < 40; ++trial) {
      std::uniform_int_distribution<std::size_t> split(1, size - 1);
      const std::size_t timeBegin = split(random);
      std::normal_distribution<float> noise(0.0F, 3.0F);
      std::vector<float> values(size);
      for (float& v : values) v = noise(random);
      // Shift the timestamps so both outcomes occur.
      const float shift = std::uniform_real_distribution<float>(-6.0F, 2.0F)(random);
      for (std::size_t i = timeBegin; i < size; ++i) values[i] += shift;
      const bool expected = referenceOutweighs(values, timeBegin);
      EXPECT_EQ(timestampsOutweighText(values, static_cast<int>(timeBegin)), expected)
          << "size " << size << " timeBegin " << timeBegin;
      decided += expected ? 1 : 0;
    }
  }
  EXPECT_GT(decided, 10);
  EXPECT_LT(decided, 190);
}

}  // namespace
}  // namespace vostrane
