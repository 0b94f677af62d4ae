#include "platform/sys/checked_number.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace platform::sys {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(CheckedFloatCastTest, RoundsLikeTheHardwareUpToTheOverflowThreshold) {
  EXPECT_EQ(checkedFloatCast(0.1), 0.1F);
  EXPECT_EQ(checkedFloatCast(static_cast<double>(FLT_MAX)), FLT_MAX);
  // The shortest text of FLT_MAX reads as a double slightly above FLT_MAX.
  EXPECT_EQ(checkedFloatCast(3.4028235e38), FLT_MAX);
  EXPECT_EQ(checkedFloatCast(-3.4028235e38), -FLT_MAX);
  EXPECT_EQ(checkedFloatCast(std::nextafter(kFloatOverflowThreshold, 0.0)), FLT_MAX);
  EXPECT_EQ(checkedFloatCast(kFloatOverflowThreshold), std::nullopt);
  EXPECT_EQ(checkedFloatCast(-kFloatOverflowThreshold), std::nullopt);
  EXPECT_EQ(checkedFloatCast(1e300), std::nullopt);
  EXPECT_EQ(checkedFloatCast(DBL_MAX), std::nullopt);
}

TEST(CheckedFloatCastTest, DenormalsZerosAndNonFiniteValues) {
  const float smallest = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(checkedFloatCast(1e-45), smallest);  // the shortest text of the smallest denormal
  EXPECT_EQ(checkedFloatCast(static_cast<double>(smallest) * 0.25), 0.0F);
  const auto negativeZero = checkedFloatCast(-0.0);
  ASSERT_TRUE(negativeZero.has_value());
  EXPECT_TRUE(std::signbit(*negativeZero));
  EXPECT_TRUE(std::signbit(*checkedFloatCast(-1e-60)));
  EXPECT_EQ(checkedFloatCast(kInf), std::numeric_limits<float>::infinity());
  EXPECT_EQ(checkedFloatCast(-kInf), -std::numeric_limits<float>::infinity());
  const auto nan = checkedFloatCast(std::nan(""));
  ASSERT_TRUE(nan.has_value());
  EXPECT_TRUE(std::isnan(*nan));
}

TEST(ExactIntegerCastTest, AcceptsOnlyIntegralValuesInRange) {
  EXPECT_EQ(exactIntegerCast<int>(3.0), 3);
  EXPECT_EQ(exactIntegerCast<int>(-0.0), 0);
  EXPECT_EQ(exactIntegerCast<int>(3.5), std::nullopt);
  EXPECT_EQ(exactIntegerCast<int>(std::nan("")), std::nullopt);
  EXPECT_EQ(exactIntegerCast<int>(kInf), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::int32_t>(2147483647.0), INT32_MAX);
  EXPECT_EQ(exactIntegerCast<std::int32_t>(2147483648.0), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::int32_t>(-2147483648.0), INT32_MIN);
  EXPECT_EQ(exactIntegerCast<std::int32_t>(-2147483649.0), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::int32_t>(16777217.0), 16777217);
  // 2^63 is the first double past INT64_MAX (which a double cannot hold exactly).
  EXPECT_EQ(exactIntegerCast<std::int64_t>(9223372036854775808.0), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::int64_t>(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(exactIntegerCast<std::int64_t>(9223372036854774784.0), 9223372036854774784);
  EXPECT_EQ(exactIntegerCast<std::uint64_t>(18446744073709551616.0), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::uint64_t>(-1.0), std::nullopt);
  EXPECT_EQ(exactIntegerCast<std::uint8_t>(255.0), 255);
  EXPECT_EQ(exactIntegerCast<std::uint8_t>(256.0), std::nullopt);
}

TEST(CheckedIntegralCastTest, MixedSignednessAndWidths) {
  EXPECT_EQ(checkedIntegralCast<std::int64_t>(std::uint64_t{9223372036854775807ULL}), INT64_MAX);
  EXPECT_EQ(checkedIntegralCast<std::int64_t>(std::uint64_t{9223372036854775808ULL}), std::nullopt);
  EXPECT_EQ(checkedIntegralCast<int>(std::uint32_t{2147483648U}), std::nullopt);
  EXPECT_EQ(checkedIntegralCast<unsigned>(-1), std::nullopt);
  EXPECT_EQ(checkedIntegralCast<std::uint64_t>(std::int64_t{-1}), std::nullopt);
  EXPECT_EQ(checkedIntegralCast<std::int8_t>(-128), -128);
  EXPECT_EQ(checkedIntegralCast<std::int8_t>(128), std::nullopt);
  EXPECT_EQ(checkedIntegralCast<int>(std::int64_t{-2147483649LL}), std::nullopt);
}

}  // namespace
}  // namespace platform::sys
