#include "platform/log/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::log {
namespace {

struct Seen {
  Level level;
  std::string subsystem, category, message;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = minimumLevel();
    setSink([this](const Record& r) {
      seen_.push_back({r.level, std::string(r.subsystem), std::string(r.category), std::string(r.message)});
    });
  }
  void TearDown() override {
    setSink(nullptr);
    setMinimumLevel(previous_);
  }
  std::vector<Seen> seen_;
  Level previous_ = Level::info;
};

TEST_F(LogTest, MinimumLevelFiltersBeforeTheSink) {
  setMinimumLevel(Level::error);
  const Logger logger("com.example.test", "Tests");
  logger.debug("d");
  logger.info("i");
  logger.notice("n");
  logger.error("e");
  logger.fault("f");
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].level, Level::error);
  EXPECT_EQ(seen_[0].subsystem, "com.example.test");
  EXPECT_EQ(seen_[0].category, "Tests");
  EXPECT_EQ(seen_[0].message, "e");
  EXPECT_EQ(seen_[1].level, Level::fault);
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
  ASSERT_EQ(seen_.size(), 2u);
  EXPECT_EQ(seen_[0].message, "begin decode");
  EXPECT_EQ(seen_[1].message.rfind("end decode (", 0), 0u);
  EXPECT_EQ(seen_[1].message.back(), ')');
}

}  // namespace
}  // namespace platform::log
