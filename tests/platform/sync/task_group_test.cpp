// The bounded task group: every index visited once, the bound on threads running at once, the
// caller's stop token, a failing body and helper threads that cannot be started.
#include "platform/sync/task_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
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

// A starter that starts real threads for its first `working` calls and fails every later one as
// thread creation does when the system runs out of threads. It counts the threads it started
// and those whose body has returned.
struct FailingFromCall {
  std::size_t working = 0;
  std::atomic<std::size_t> calls{0};
  std::atomic<std::size_t> started{0};
  std::atomic<std::size_t> ended{0};

  ThreadStarter starter() {
    return [this](std::function<void()> body) -> std::jthread {
      if (calls++ >= working) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      ++started;
      return std::jthread([this, body = std::move(body)] {
        body();
        ++ended;
      });
    };
  }
};

TEST(TaskGroup, AHelperThatCannotStartRunsNoBodyAndReachesTheCaller) {
  static_assert(std::is_base_of_v<std::runtime_error, ThreadStartError>);
  const std::string cause = std::make_error_code(std::errc::resource_unavailable_try_again).message();
  // Index 0 waits for index 1, as a producer waits for its consumer: run one after the other on
  // the caller's thread they would never end.
  for (const std::size_t working : {0U, 2U}) {
    SCOPED_TRACE(working);
    FailingFromCall failing{working};
    ScopedThreadStarter guard(failing.starter());
    std::mutex mutex;
    std::condition_variable changed;
    bool secondRan = false;
    std::atomic<int> bodies{0};
    try {
      runConcurrently(4, 4, [&](std::size_t index, const std::stop_token&) {
        ++bodies;
        std::unique_lock<std::mutex> lock(mutex);
        if (index == 0) changed.wait(lock, [&] { return secondRan; });
        if (index == 1) secondRan = true;
        changed.notify_all();
      });
      ADD_FAILURE() << "expected ThreadStartError";
    } catch (const ThreadStartError& error) {
      EXPECT_NE(std::string(error.what()).find(cause), std::string::npos) << error.what();
    }
    EXPECT_EQ(bodies.load(), 0);
    EXPECT_EQ(failing.calls.load(), working + 1) << "no start is tried after the first failure";
    EXPECT_EQ(failing.started.load(), working);
    EXPECT_EQ(failing.ended.load(), working) << "every started thread is joined before the error is thrown";
  }
}

TEST(TaskGroup, StartersNestAndAOneThreadGroupStartsNone) {
  FailingFromCall outer{100};
  {
    ScopedThreadStarter outerGuard(outer.starter());
    {
      FailingFromCall inner{0};
      ScopedThreadStarter innerGuard(inner.starter());
      EXPECT_THROW(runConcurrently(3, 3, [](std::size_t, const std::stop_token&) {}), ThreadStartError);
      // One thread at most: the caller's alone, no start to fail.
      std::atomic<int> visits{0};
      runConcurrently(3, 1, [&](std::size_t, const std::stop_token&) { ++visits; });
      EXPECT_EQ(visits.load(), 3);
    }
    std::vector<std::atomic<int>> visits(3);
    runConcurrently(3, 3, [&](std::size_t index, const std::stop_token&) { ++visits[index]; });
    for (const auto& v : visits) EXPECT_EQ(v.load(), 1);
    EXPECT_EQ(outer.started.load(), 2U) << "the outer starter is back once the inner guard ends";
  }
  std::atomic<int> visits{0};
  runConcurrently(3, 3, [&](std::size_t, const std::stop_token&) { ++visits; });
  EXPECT_EQ(visits.load(), 3);
  EXPECT_EQ(outer.calls.load(), 2U) << "the default starter is back once the outer guard ends";
}

}  // namespace
}  // namespace platform::sync
