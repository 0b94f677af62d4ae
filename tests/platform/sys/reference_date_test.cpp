#include "platform/sys/reference_date.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace platform::sys {
namespace {

TEST(ReferenceDate, AbsoluteTimesBecomeClockTimesAndBack) {
  EXPECT_EQ(dateDescription(*dateFromAbsoluteTime(0)), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(dateDescription(*dateFromAbsoluteTime(-978'307'200)), "1970-01-01 00:00:00 +0000");
  EXPECT_EQ(dateDescription(*dateFromAbsoluteTime(786'931'200.5)), "2025-12-09 00:00:00 +0000");
  EXPECT_EQ(dateFromAbsoluteTime(-978'307'200)->time_since_epoch().count(), 0);
  for (const double seconds : {0.0, 1.25, -1.25, 786'931'200.125, -2'000'000'000.0, 4'000'000'000.5}) {
    EXPECT_DOUBLE_EQ(absoluteTime(*dateFromAbsoluteTime(seconds)), seconds) << seconds;
  }
  EXPECT_DOUBLE_EQ(unixTimeFromAbsoluteTime(0), 978'307'200.0);
  EXPECT_DOUBLE_EQ(absoluteTimeFromUnixTime(978'307'200.0 + 60), 60.0);
  EXPECT_DOUBLE_EQ(absoluteTimeFromUnixTime(unixTimeFromAbsoluteTime(-3.5)), -3.5);
}

TEST(ReferenceDate, TimesTheClockCannotHoldAreAbsent) {
  EXPECT_FALSE(dateFromAbsoluteTime(std::nan("")));
  EXPECT_FALSE(dateFromAbsoluteTime(std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(dateFromAbsoluteTime(-std::numeric_limits<double>::infinity()));
  EXPECT_FALSE(dateFromAbsoluteTime(1e300));
  EXPECT_FALSE(dateFromAbsoluteTime(-1e12));  // about 31,700 years before 1970: past the clock's range
  EXPECT_TRUE(dateFromAbsoluteTime(8e9));     // the year 2254 still fits in 64-bit nanoseconds
}

}  // namespace
}  // namespace platform::sys
