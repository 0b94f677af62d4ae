#include "platform/log/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.hpp"

namespace platform::log {
namespace {

class LogTest : public ::testing::Test {
 protected:
  // Every record the sink receives; restores the sink and the minimum level afterwards.
  testsupport::LogCapture capture_;
};

TEST_F(LogTest, MinimumLevelFiltersBeforeTheSink) {
  setMinimumLevel(Level::error);
  const Logger logger("com.example.test", "Tests");
  logger.debug("d");
  logger.info("i");
  logger.notice("n");
  logger.error("e");
  logger.fault("f");
  ASSERT_EQ(capture_.records().size(), 2u);
  EXPECT_EQ(capture_.records()[0].level, Level::error);
  EXPECT_EQ(capture_.records()[0].subsystem, "com.example.test");
  EXPECT_EQ(capture_.records()[0].category, "Tests");
  EXPECT_EQ(capture_.records()[0].message, "e");
  EXPECT_EQ(capture_.records()[1].level, Level::fault);
  EXPECT_FALSE(logger.isEnabled(Level::notice));
  EXPECT_TRUE(isEnabled(Level::fault));
}

TEST_F(LogTest, LevelNames) {
  EXPECT_EQ(levelName(Level::debug), "debug");
  EXPECT_EQ(levelName(Level::notice), "notice");
  EXPECT_EQ(levelName(Level::fault), "fault");
}

TEST_F(LogTest, SignpostIntervalLogsBeginAndEndOnce) {
  setMinimumLevel(Level::debug);
  const Logger logger("s", "c");
  double seconds = -1;
  {
    SignpostInterval interval(logger, "decode");
    seconds = interval.end();
    EXPECT_EQ(interval.end(), seconds);
  }
  EXPECT_GE(seconds, 0.0);
  ASSERT_EQ(capture_.records().size(), 2u);
  EXPECT_EQ(capture_.records()[0].message, "begin decode");
  EXPECT_EQ(capture_.records()[1].message.rfind("end decode (", 0), 0u);
  EXPECT_EQ(capture_.records()[1].message.back(), ')');
}

}  // namespace
}  // namespace platform::log
