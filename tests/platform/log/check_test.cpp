#include "platform/log/check.hpp"

#include <gtest/gtest.h>

#include <cstdio>

#include <string>
#include <vector>

#include "platform/log/log.hpp"

namespace {

TEST(CheckTest, PassingConditionReturnsAndLogsNothing) {
  std::vector<std::string> lines;
  platform::log::setSink([&](const platform::log::Record& r) { lines.emplace_back(r.message); });
  platform::log::requireThat(true, "never shown");
  platform::log::setSink({});
  EXPECT_TRUE(lines.empty());
}

TEST(CheckDeathTest, FailedConditionLogsTheMessageWithItsPlaceAndAborts) {
  // The default sink writes to standard error, which the death test reads.
  EXPECT_DEATH(platform::log::requireThat(false, "index 7 outside 0..3"),
               "fault.*Precondition failed: index 7 outside 0..3 \\(.*check_test.cpp:[0-9]+\\)");
}

TEST(CheckDeathTest, GoesThroughAnInstalledSink) {
  EXPECT_DEATH(
      {
        platform::log::setSink([](const platform::log::Record& r) {
          if (r.level == platform::log::Level::fault && r.category == "check") {
            std::fputs("sink saw the check\n", stderr);
          }
        });
        platform::log::checkFailed("broken");
      },
      "sink saw the check");
}

}  // namespace
