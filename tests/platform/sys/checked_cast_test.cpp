#include "platform/sys/checked_cast.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace platform::sys {
namespace {

TEST(CheckedCastTest, RefusesWhatAPlainCastWouldMakeUndefined) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(checkedIntegerCast<int>(2.9), 2);
  EXPECT_EQ(checkedIntegerCast<int>(-2.9), -2);
  EXPECT_EQ(checkedIntegerCast<int>(nan), std::nullopt);
  EXPECT_EQ(checkedIntegerCast<int>(inf), std::nullopt);
  EXPECT_EQ(checkedIntegerCast<int>(2147483648.0), std::nullopt);
  EXPECT_EQ(checkedIntegerCast<int>(-2147483648.0), std::numeric_limits<int>::min());
  EXPECT_EQ(checkedIntegerCast<std::uint8_t>(-0.5), 0);
  EXPECT_EQ(checkedIntegerCast<std::uint8_t>(-1.0), std::nullopt);
  EXPECT_EQ(checkedIntegerCast<std::int64_t>(9.3e18), std::nullopt);
  EXPECT_EQ(checkedIntegerCast<std::uint64_t>(1.8e19), static_cast<std::uint64_t>(1.8e19));

  EXPECT_EQ(saturatingIntegerCast<int>(nan), 0);
  EXPECT_EQ(saturatingIntegerCast<int>(inf), std::numeric_limits<int>::max());
  EXPECT_EQ(saturatingIntegerCast<int>(-1e20f), std::numeric_limits<int>::min());
  EXPECT_EQ(saturatingIntegerCast<std::uint16_t>(70000.0), 65535);
  EXPECT_EQ(saturatingIntegerCast<int>(41.99), 41);
}

}  // namespace
}  // namespace platform::sys
