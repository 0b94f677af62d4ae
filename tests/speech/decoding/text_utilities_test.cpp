#include "speech/decoding/text_utilities.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/crypto/deflate.hpp"
#include "speech/model/log_capture.hpp"

namespace vostrane {
namespace {

TEST(CompressionRatio, RepetitionCompressesFarBetterThanDistinctTokens) {
  const std::vector<int> repeated(200, 50364);
  std::vector<int> distinct;
  for (int i = 0; i < 200; ++i) distinct.push_back(1000 + i * 37);
  const float repeatedRatio = TextUtilities::compressionRatio(repeated);
  const float distinctRatio = TextUtilities::compressionRatio(distinct);
  EXPECT_GT(repeatedRatio, 10.0F);
  EXPECT_GT(repeatedRatio, 4 * distinctRatio);
}

TEST(CompressionRatio, TokensCountFourLittleEndianBytesEach) {
  const std::vector<int> tokens{1, 258, -1, 50257};
  const std::vector<std::uint8_t> bytes{1, 0, 0, 0, 2, 1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x51, 0xC4, 0, 0};
  const std::optional<std::size_t> compressed = platform::crypto::deflatedSize(bytes);
  ASSERT_TRUE(compressed);
  EXPECT_FLOAT_EQ(TextUtilities::compressionRatio(tokens), 16.0F / static_cast<float>(*compressed));
  EXPECT_EQ(TextUtilities::compressionRatio(std::vector<int>{}), 0.0F);
}

TEST(CompressionRatio, TextFormAndItsFailures) {
  testing::LogCapture capture;
  EXPECT_EQ(TextUtilities::compressionRatio(std::string_view("")), INFINITY);
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(TextUtilities::compressionRatio(std::string_view("\xFF\xFE")), INFINITY);
  ASSERT_EQ(capture.lines().size(), 1U);
  EXPECT_NE(capture.lines()[0].find("String encoding error"), std::string::npos);
  const std::string text(300, 'a');
  const float ratio = TextUtilities::compressionRatio(std::string_view(text));
  EXPECT_GT(ratio, 20.0F);
  EXPECT_TRUE(std::isfinite(ratio));
}

}  // namespace
}  // namespace vostrane
