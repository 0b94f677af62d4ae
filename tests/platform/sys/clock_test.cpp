#include "platform/sys/clock.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace platform::sys {
namespace {

using std::chrono::system_clock;

system_clock::time_point unixSeconds(std::int64_t seconds) {
  return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(std::chrono::seconds(seconds)));
}

TEST(Clock, AbsoluteTimeCountsFromTheFirstOf2001) {
  EXPECT_DOUBLE_EQ(absoluteTime(unixSeconds(978'307'200)), 0.0);
  EXPECT_DOUBLE_EQ(absoluteTime(unixSeconds(978'307'200 + 86'400)), 86'400.0);
  EXPECT_DOUBLE_EQ(absoluteTime(unixSeconds(0)), -978'307'200.0);
  const double before = absoluteTimeNow();
  EXPECT_GT(before, 25.0 * 365 * 86'400);  // well after 2026 began
  EXPECT_GE(absoluteTimeNow(), before);
}

TEST(Clock, DateDescriptionIsUtcWithTheFixedZone) {
  EXPECT_EQ(dateDescription(unixSeconds(978'307'200)), "2001-01-01 00:00:00 +0000");
  EXPECT_EQ(dateDescription(unixSeconds(0)), "1970-01-01 00:00:00 +0000");
  // 2024-02-29 23:59:59, a leap day, with a fraction of a second that is dropped.
  EXPECT_EQ(dateDescription(unixSeconds(1'709'251'199) + std::chrono::milliseconds(999)), "2024-02-29 23:59:59 +0000");
  EXPECT_EQ(dateDescription(unixSeconds(-1)), "1969-12-31 23:59:59 +0000");
  EXPECT_TRUE(std::regex_match(dateDescriptionNow(), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \+0000)")));
}

}  // namespace
}  // namespace platform::sys
