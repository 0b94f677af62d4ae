#include "speech/model/decoding_records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

TEST(DecodingFallbackTest, TestsRunInOrderWithStrictComparisons) {
  const DecodingOptions defaults;
  DecodingOptions none;
  none.compressionRatioThreshold.reset();
  none.logProbThreshold.reset();
  none.firstTokenLogProbThreshold.reset();
  none.noSpeechThreshold.reset();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Row {
    const DecodingOptions* options;
    bool firstTokenTooLow;
    float noSpeech, compression, avgLogProb;
    std::optional<std::pair<bool, std::string>> expected;
  };
  const Row rows[] = {
      {&defaults, false, 0.7F, 3.0F, 0.0F, std::pair{false, std::string("silence")}},
      {&defaults, false, 0.6F, 2.4F, -1.0F, std::nullopt},
      {&defaults, true, 1.0F, 0.0F, 0.0F, std::pair{true, std::string("firstTokenLogProbThreshold")}},
      {&defaults, false, 0.1F, 2.5F, -5.0F, std::pair{true, std::string("compressionRatioThreshold")}},
      {&defaults, false, 0.1F, 1.0F, -1.01F, std::pair{true, std::string("logProbThreshold")}},
      {&defaults, false, nan, nan, nan, std::nullopt},
      {&none, false, 1.0F, 100.0F, -100.0F, std::nullopt},
  };
  for (const Row& row : rows) {
    const auto verdict =
        DecodingFallback::evaluate(*row.options, row.firstTokenTooLow, row.noSpeech, row.compression, row.avgLogProb);
    ASSERT_EQ(verdict.has_value(), row.expected.has_value());
    if (verdict) {
      EXPECT_EQ(verdict->needsFallback, row.expected->first);
      EXPECT_EQ(verdict->fallbackReason, row.expected->second);
    }
  }
}

DecodingInputs makeInputs(int context) {
  MultiArray keyCache({1, 4, 1, context}, DataType::float16);
  keyCache.fill(7.0);
  MultiArray padding({1, context}, DataType::float16);
  padding.fill(3.0);
  MultiArray update({1, context}, DataType::float16);
  update.fill(3.0);
  return DecodingInputs({50258}, MultiArray({1}, DataType::int32), MultiArray({1}, DataType::int32), keyCache,
                        MultiArray({1, 4, 1, context}, DataType::float16), MultiArray({1, 4}, DataType::float16),
                        update, padding);
}

TEST(DecodingInputsTest, ResetPreparesTheMasksWithoutTouchingTheCaches) {
  DecodingInputs inputs = makeInputs(224);
  const MultiArray keyCacheBefore = inputs.keyCache();
  inputs.cacheLength().setDouble(0, 17);
  inputs.reset(224);
  EXPECT_EQ(inputs.cacheLength().doubleAt(0), 0.0);
  EXPECT_EQ(inputs.kvCacheUpdateMask().doubleAt(0), 1.0);
  EXPECT_EQ(inputs.decoderKeyPaddingMask().doubleAt(0), 0.0);
  for (int i = 1; i < 224; ++i) {
    ASSERT_EQ(inputs.kvCacheUpdateMask().doubleAt(i), 0.0) << i;
    ASSERT_EQ(inputs.decoderKeyPaddingMask().doubleAt(i), -10000.0) << i;
  }
  EXPECT_TRUE(inputs.keyCache().sharesStorageWith(keyCacheBefore));
  for (std::int64_t i = 0; i < keyCacheBefore.count(); ++i) ASSERT_EQ(inputs.keyCache().doubleAt(i), 7.0);
  EXPECT_EQ(inputs.initialPrompt(), std::vector<int>{50258});
}

TEST(DecodingInputsTest, ResetWithOneAndOutOfRangeContexts) {
  DecodingInputs inputs = makeInputs(8);
  inputs.reset(1);
  EXPECT_EQ(inputs.kvCacheUpdateMask().doubleAt(0), 1.0);
  EXPECT_EQ(inputs.kvCacheUpdateMask().doubleAt(1), 3.0);  // untouched
  EXPECT_THROW(inputs.reset(0), std::invalid_argument);
  EXPECT_THROW(inputs.reset(9), std::invalid_argument);
  EXPECT_EQ(inputs.decoderKeyPaddingMask().doubleAt(7), 3.0);  // nothing written by a refused reset
}

TEST(DecodingResultTest, EmptyResultsAreFreshValues) {
  DecodingResult first = DecodingResult::emptyResults();
  EXPECT_TRUE(first.text.empty());
  EXPECT_TRUE(first.tokens.empty());
  EXPECT_FALSE(first.timings.has_value());
  first.tokens.push_back(1);
  EXPECT_TRUE(DecodingResult::emptyResults().tokens.empty());
}

}  // namespace
}  // namespace vostrane
