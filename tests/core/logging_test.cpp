#include "core/logging.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/log.hpp"

#include "support/log_capture.hpp"

namespace noxtal {
namespace {

using Level = platform::log::Level;
using LogLevel = Logging::LogLevel;

// Captures what reaches the callback and the platform sink; restores the global state after.
class LoggingTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Logging::updateLogLevel(LogLevel::none);
    Logging::updateCallback(nullptr);
  }
  void captureWithCallback() {
    Logging::updateCallback([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(mutex_);
      delivered_.push_back(text);
    });
  }

  std::mutex mutex_;
  std::vector<std::string> delivered_;
  testsupport::LogCapture log_{Level::debug};  // what reaches the platform sink
};

TEST_F(LoggingTest, LevelDecidesWhichTypesAreDelivered) {
  struct Case {
    LogLevel level;
    Level type;
    bool delivered;
  };
  const Case cases[] = {
      {LogLevel::error, Level::debug, false},  {LogLevel::error, Level::info, false},
      {LogLevel::error, Level::notice, false}, {LogLevel::error, Level::error, true},
      {LogLevel::error, Level::fault, true},   {LogLevel::info, Level::debug, false},
      {LogLevel::info, Level::notice, true},   {LogLevel::info, Level::info, true},
      {LogLevel::debug, Level::debug, true},   {LogLevel::debug, Level::fault, true},
      {LogLevel::none, Level::error, false},   {LogLevel::none, Level::fault, false},
  };
  captureWithCallback();
  for (const auto& c : cases) {
    delivered_.clear();
    Logging::updateLogLevel(c.level);
    Logging::shared().log(c.type, "message");
    EXPECT_EQ(delivered_.size(), c.delivered ? 1u : 0u)
        << "level " << static_cast<int>(c.level) << " type " << platform::log::levelName(c.type);
  }
}

TEST_F(LoggingTest, EnabledQueries) {
  Logging::updateLogLevel(LogLevel::none);
  EXPECT_FALSE(Logging::isLoggingEnabled());
  EXPECT_FALSE(Logging::isLoggingEnabled(LogLevel::error));
  Logging::updateLogLevel(LogLevel::debug);
  EXPECT_TRUE(Logging::isLoggingEnabled(LogLevel::debug));
  Logging::shared().setLogLevel(LogLevel::info);
  EXPECT_EQ(Logging::shared().logLevel(), LogLevel::info);
  EXPECT_FALSE(Logging::isLoggingEnabled(LogLevel::debug));
  EXPECT_TRUE(Logging::isLoggingEnabled(LogLevel::error));
}

TEST_F(LoggingTest, ItemsAreJoinedWithoutDecoration) {
  captureWithCallback();
  Logging::updateLogLevel(LogLevel::debug);
  Logging::info(1, "a", 2.5);
  Logging::debug(true, std::string("s"), 3.0, 0.1f, -7L, 'c');
  Logging::error();
  Logging::shared().log(Logging::Format{", ", "\n"}, Level::error, "x", 2u);
  Logging::info(1e6, 1e6f, 0.0001, 1e-5f, 1.5e10f, 9007199254740992.0, 1e16);
  ASSERT_EQ(delivered_.size(), 5u);
  EXPECT_EQ(delivered_[0], "1 a 2.5");
  EXPECT_EQ(delivered_[1], "true s 3.0 0.1 -7 c");
  EXPECT_EQ(delivered_[2], "");
  EXPECT_EQ(delivered_[3], "x, 2\n");
  EXPECT_EQ(delivered_[4], "1000000.0 1000000.0 0.0001 1e-05 1.5e+10 9.007199254740992e+15 1e+16");
}

struct CountsFormatting {
  int* count;
};
std::ostream& operator<<(std::ostream& out, const CountsFormatting& item) {
  ++*item.count;
  return out << "formatted";
}

TEST_F(LoggingTest, DroppedMessagesBuildNoText) {
  captureWithCallback();
  int formatted = 0;
  Logging::updateLogLevel(LogLevel::error);
  Logging::info(CountsFormatting{&formatted});
  EXPECT_EQ(formatted, 0);
  Logging::error(CountsFormatting{&formatted});
  EXPECT_EQ(formatted, 1);
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0], "formatted");
}

TEST_F(LoggingTest, CallbackWinsOverThePlatformLog) {
  Logging::updateLogLevel(LogLevel::info);
  Logging::info("[Test] to the sink");
  Logging::shared().log(Level::fault, "fault");
  ASSERT_EQ(log_.records().size(), 2u);
  EXPECT_EQ(log_.records()[0].message, "[Test] to the sink");
  EXPECT_EQ(log_.records()[0].level, Level::info);
  EXPECT_EQ(log_.records()[0].subsystem, "com.velmoria.noxtal");
  EXPECT_EQ(log_.records()[0].category, "Noxtal");
  EXPECT_EQ(log_.records()[1].level, Level::fault);  // the message's own type, not the mapped level

  captureWithCallback();
  Logging::info("to the callback");
  EXPECT_EQ(log_.records().size(), 2u);
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0], "to the callback");

  Logging::updateCallback(nullptr);
  Logging::info("back to the sink");
  EXPECT_EQ(log_.records().size(), 3u);
}

TEST_F(LoggingTest, RawValues) {
  EXPECT_EQ(Logging::logLevelFromRawValue(0), std::nullopt);
  EXPECT_EQ(Logging::logLevelFromRawValue(5), std::nullopt);
  EXPECT_EQ(Logging::logLevelFromRawValue(-1), std::nullopt);
  EXPECT_EQ(Logging::logLevelFromRawValue(2), LogLevel::info);
  EXPECT_EQ(static_cast<int>(LogLevel::info), 2);
  EXPECT_LT(LogLevel::debug, LogLevel::none);
}

TEST_F(LoggingTest, MemoryUsageReport) {
  const auto mebibytes = Logging::getMemoryUsage();
  EXPECT_GT(mebibytes, 0u);
  captureWithCallback();
  Logging::updateLogLevel(LogLevel::info);
  Logging::logCurrentMemoryUsage("Loaded audio");
  EXPECT_TRUE(delivered_.empty());
  Logging::updateLogLevel(LogLevel::debug);
  Logging::logCurrentMemoryUsage("Loaded audio");
  ASSERT_EQ(delivered_.size(), 1u);
  EXPECT_EQ(delivered_[0].rfind("Loaded audio - Memory usage: ", 0), 0u);
  EXPECT_EQ(delivered_[0].substr(delivered_[0].size() - 3), " MB");
}

// Messages from several threads while another thread swaps the level and the callback: every
// delivered message is whole, and a callback stays alive while it runs even after it has been
// replaced (run under ThreadSanitizer as well).
TEST_F(LoggingTest, ConcurrentLoggingWhileLevelAndCallbackChange) {
  constexpr int kThreads = 6;
  constexpr int kPerThread = 400;
  std::atomic<int> delivered{0};
  std::atomic<bool> malformed{false};
  const auto makeCallback = [&] {
    return [&delivered, &malformed](const std::string& text) {
      if (text.rfind("[Worker] ", 0) != 0 || text.size() < 12) malformed = true;
      ++delivered;
    };
  };
  Logging::updateLogLevel(LogLevel::debug);
  Logging::updateCallback(makeCallback());
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kPerThread; ++i) Logging::error("[Worker]", t, "message", i);
      });
    }
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        Logging::updateLogLevel(i % 2 == 0 ? LogLevel::info : LogLevel::debug);
        Logging::updateCallback(makeCallback());
      }
    });
  }
  EXPECT_FALSE(malformed.load());
  // Error messages pass at every level used here, and a callback was always installed.
  EXPECT_EQ(delivered.load(), kThreads * kPerThread);
  EXPECT_TRUE(log_.records().empty());
}

TEST(LoggingFormatTest, TimeWithPercentage) {
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 10, 2000), "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%");
  EXPECT_EQ(Logging::formatTimeWithPercentage(1.0, 0, 1000), " 1000.00 ms /      0 runs (    0.00 ms/run) 100.00%");
  // Values wider than any fixed buffer still come out whole.
  const std::string huge = Logging::formatTimeWithPercentage(1e300, 1, 1);
  EXPECT_GT(huge.size(), 600u);
  EXPECT_NE(huge.find(" ms/run) "), std::string::npos);
  EXPECT_EQ(huge.back(), '%');
}

}  // namespace
}  // namespace noxtal
