#include "platform/ml/float16.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace platform::ml {
namespace {

struct Case {
  float value;
  std::uint16_t bits;
};

TEST(Float16, ConversionTable) {
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {0.0f, 0x0000},
      {-0.0f, 0x8000},
      {1.0f, 0x3c00},
      {-2.0f, 0xc000},
      {0.1f, 0x2e66},      // rounds down (0.0999755859375)
      {65504.0f, 0x7bff},  // largest finite
      {65519.0f, 0x7bff},  // below the halfway point
      {65520.0f, 0x7c00},  // halfway: ties to even = infinity
      {-65520.0f, 0xfc00},
      {1e9f, 0x7c00},
      {-10000.0f, 0xf0e2},                     // exact
      {std::ldexp(1.0f, -14), 0x0400},         // smallest normal
      {std::ldexp(1.0f, -24), 0x0001},         // smallest subnormal
      {std::ldexp(1.0f, -25), 0x0000},         // half of it: ties to even (0)
      {std::ldexp(1.5f, -25), 0x0001},         // above half: rounds up
      {std::ldexp(3.0f, -25), 0x0002},         // 1.5 units: ties to even (2)
      {std::ldexp(1023.0f, -24), 0x03ff},      // largest subnormal
      {std::ldexp(2047.0f, -25), 0x0400},      // rounds up into the smallest normal
      {1.0f + std::ldexp(1.0f, -11), 0x3c00},  // tie: stays even
      {1.0f + std::ldexp(3.0f, -11), 0x3c02},  // tie: goes up to even
      {std::ldexp(1.0f, -30), 0x0000},
      {inf, 0x7c00},
      {-inf, 0xfc00},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float16FromFloat(c.value).bits, c.bits) << "value " << c.value;
    EXPECT_EQ(float16FromDouble(c.value).bits, c.bits) << "value " << c.value;
  }
  EXPECT_EQ(float16ToFloat(Float16{0xf0e2}), -10000.0f);
  EXPECT_EQ(float16ToFloat(Float16{0x0001}), std::ldexp(1.0f, -24));
  EXPECT_EQ(float16ToFloat(Float16{0x7bff}), 65504.0f);
  EXPECT_EQ(float16ToFloat(Float16{0xfc00}), -inf);
}

TEST(Float16, NaNStaysNaN) {
  const Float16 half = float16FromFloat(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(half.bits & 0x7c00, 0x7c00);
  EXPECT_NE(half.bits & 0x03ff, 0);
  EXPECT_TRUE(std::isnan(float16ToFloat(half)));
  EXPECT_TRUE(std::isnan(float16ToFloat(Float16{0x7c01})));  // signalling half NaN reads as NaN
  EXPECT_TRUE(std::isnan(float16ToFloat(float16FromDouble(std::nan("")))));
}

TEST(Float16, EveryHalfRoundTripsThroughFloat) {
  for (std::uint32_t bits = 0; bits <= 0xffff; ++bits) {
    const Float16 half{static_cast<std::uint16_t>(bits)};
    const float value = float16ToFloat(half);
    if (std::isnan(value)) continue;
    ASSERT_EQ(float16FromFloat(value).bits, half.bits) << std::hex << bits;
  }
}

TEST(Float16, DoubleIsRoundedOnce) {
  // Through float this would first become the tie 1 + 2^-11 and then round to even (0x3c00).
  const double value = 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40);
  EXPECT_EQ(float16FromDouble(value).bits, 0x3c01);
  EXPECT_EQ(float16FromDouble(65519.99999999).bits, 0x7bff);
  EXPECT_EQ(float16FromDouble(-65520.0).bits, 0xfc00);
}

TEST(Float16, BulkConversionsMatchScalarOnes) {
  // Every half value, at lengths that leave a scalar tail after the vector blocks.
  std::vector<Float16> halves;
  for (std::uint32_t bits = 0; bits <= 0xffff; ++bits) halves.push_back(Float16{static_cast<std::uint16_t>(bits)});
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{9}, halves.size()}) {
    std::vector<float> floats(length + 1, 123.0f);  // one guard element
    convertFloat16ToFloat32(std::span(halves).first(length), std::span(floats).first(length));
    for (std::size_t i = 0; i < length; ++i) {
      const float expected = float16ToFloat(halves[i]);
      if (std::isnan(expected)) {
        ASSERT_TRUE(std::isnan(floats[i]));
      } else {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(floats[i]), std::bit_cast<std::uint32_t>(expected)) << i;
      }
    }
    EXPECT_EQ(floats[length], 123.0f);
  }
  // Floats around every rounding boundary class: a sweep of bit patterns.
  std::vector<float> sweep;
  for (std::uint64_t bits = 0; bits <= 0xffffffffu; bits += 0x1003) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isnan(f)) sweep.push_back(f);
  }
  sweep.push_back(65520.0f);
  std::vector<Float16> converted(sweep.size() + 1, Float16{0x1234});
  convertFloat32ToFloat16(sweep, std::span(converted).first(sweep.size()));
  for (std::size_t i = 0; i < sweep.size(); ++i) {
    ASSERT_EQ(converted[i].bits, float16FromFloat(sweep[i]).bits) << sweep[i];
  }
  EXPECT_EQ(converted.back().bits, 0x1234);
}

}  // namespace
}  // namespace platform::ml
