// The bounded task group: every index visited once, the bound on threads running at once, the
// caller's stop token and a failing body.
#include "platform/sync/task_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::sync {
namespace {

TEST(TaskGroup, VisitsEveryIndexOnceForAnyBound) {
  for (const std::size_t count : {0U, 1U, 7U, 64U}) {
    for (const std::size_t bound : {0U, 1U, 3U, 100U}) {
      std::vector<std::atomic<int>> visits(count);
      runConcurrently(count, bound, [&](std::size_t index, const std::stop_token&) { ++visits[index]; });
      for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(visits[i].load(), 1) << count << " " << bound << " " << i;
    }
  }
}

TEST(TaskGroup, NeverRunsMoreBodiesAtOnceThanTheBound) {
  // Every body waits until `bound` bodies run at once (or all remaining ones have started), so
  // a group with too many threads would push the peak over the bound.
  constexpr std::size_t kBound = 3;
  constexpr std::size_t kCount = 12;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t running = 0;
  std::size_t started = 0;
  std::size_t peak = 0;
  std::set<std::thread::id> threads;
  runConcurrently(kCount, kBound, [&](std::size_t, const std::stop_token&) {
    std::unique_lock<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
    ++running;
    ++started;
    peak = std::max(peak, running);
    changed.notify_all();
    const std::size_t batchEnd = ((started - 1) / kBound + 1) * kBound;
    changed.wait(lock, [&] { return started >= std::min(batchEnd, kCount); });
    --running;
  });
  EXPECT_EQ(started, kCount);
  EXPECT_EQ(peak, kBound);
  EXPECT_EQ(threads.size(), kBound);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 1U) << "the caller works too";
}

TEST(TaskGroup, CallersStopReachesEveryBodyAndRemainingIndexesSeeIt) {
  // Stopped before the call: every body on every thread sees it.
  std::stop_source early;
  early.request_stop();
  std::atomic<int> stoppedVisits{0};
  runConcurrently(
      20, 4, [&](std::size_t, const std::stop_token& token) { stoppedVisits += token.stop_requested() ? 1 : 0; },
      early.get_token());
  EXPECT_EQ(stoppedVisits.load(), 20);

  // Stopped during the run (one thread, so the order is fixed): every later index sees it.
  std::stop_source caller;
  std::vector<int> stoppedIndexes;
  runConcurrently(
      20, 1,
      [&](std::size_t index, const std::stop_token& token) {
        if (token.stop_requested()) stoppedIndexes.push_back(static_cast<int>(index));
        if (index == 4) caller.request_stop();
      },
      caller.get_token());
  ASSERT_EQ(stoppedIndexes.size(), 15u);
  EXPECT_EQ(stoppedIndexes.front(), 5);
  EXPECT_EQ(stoppedIndexes.back(), 19);
}

TEST(TaskGroup, FirstErrorIsRethrownAfterTheOthersStop) {
  std::atomic<int> sawStop{0};
  try {
    runConcurrently(50, 1, [&](std::size_t index, const std::stop_token& token) {
      if (token.stop_requested()) ++sawStop;
      if (index == 10) throw std::runtime_error("ten");
      if (index == 20) throw std::runtime_error("twenty");
    });
    FAIL() << "expected the body's error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "ten");
  }
  EXPECT_EQ(sawStop.load(), 39);
}

}  // namespace
}  // namespace platform::sync
