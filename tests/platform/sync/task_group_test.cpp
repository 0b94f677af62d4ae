// TaskGroup: every task runs and is joined, the first failure stops the others and is
// rethrown, and a stopped parent token stops the group.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "platform/sync/task_group.hpp"

namespace platform::sync {
namespace {

void waitForStop(const std::stop_token& token) {
  while (!token.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(TaskGroup, RunsEveryTaskAndJoinsThem) {
  std::vector<int> slots(6, 0);
  runConcurrently(slots.size(), [&slots](std::size_t index, std::stop_token) { slots[index] = static_cast<int>(index) + 1; });
  EXPECT_EQ(slots, (std::vector<int>{1, 2, 3, 4, 5, 6}));
  runConcurrently(0, [](std::size_t, std::stop_token) { FAIL() << "no task expected"; });
}

TEST(TaskGroup, FirstFailureStopsTheOthersAndIsRethrown) {
  std::atomic<int> stoppedPeers{0};
  try {
    runConcurrently(4, [&stoppedPeers](std::size_t index, std::stop_token token) {
      if (index == 2) throw std::runtime_error("task 2 failed");
      waitForStop(token);
      ++stoppedPeers;
      throw std::logic_error("later failure");
    });
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "task 2 failed");
  }
  EXPECT_EQ(stoppedPeers.load(), 3);
}

TEST(TaskGroup, ParentStopAndCancelAllReachEveryTask) {
  std::stop_source parent;
  std::atomic<int> stopped{0};
  {
    TaskGroup group(parent.get_token());
    for (int i = 0; i < 3; ++i) {
      group.spawn([&stopped](std::stop_token token) {
        waitForStop(token);
        ++stopped;
      });
    }
    parent.request_stop();
    group.wait();
  }
  EXPECT_EQ(stopped.load(), 3);

  TaskGroup own;
  own.spawn([&stopped](std::stop_token token) {
    waitForStop(token);
    ++stopped;
  });
  own.cancelAll();
  own.wait();
  EXPECT_EQ(stopped.load(), 4);
  EXPECT_TRUE(own.stopToken().stop_requested());
}

TEST(TaskGroup, DestructorStopsAndJoinsRunningTasks) {
  std::atomic<bool> finished{false};
  {
    TaskGroup group;
    group.spawn([&finished](std::stop_token token) {
      waitForStop(token);
      finished = true;
    });
  }
  EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace platform::sync
