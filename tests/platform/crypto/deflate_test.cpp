#include "platform/crypto/deflate.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace platform::crypto {
namespace {

TEST(DeflatedSize, IsARawStreamThatShrinksRepetitionOnly) {
  // An empty raw stream is one final block of two bytes (no zlib header or checksum).
  EXPECT_EQ(deflatedSize({}), 2U);
  const std::vector<std::uint8_t> repeated(100000, 'a');
  const auto small = deflatedSize(repeated);
  ASSERT_TRUE(small);
  EXPECT_LT(*small, 1000U);

  std::mt19937 random(3);
  std::vector<std::uint8_t> noise(100000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(random());
  const auto large = deflatedSize(noise);
  ASSERT_TRUE(large);
  // Incompressible data is stored: its own size plus a few bytes of block headers.
  EXPECT_GE(*large, noise.size());
  EXPECT_LT(*large, noise.size() + 100);
}

}  // namespace
}  // namespace platform::crypto
