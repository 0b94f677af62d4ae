#include "platform/sync/mutex.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace platform::sync {
namespace {

constexpr int kThreads = 8;

TEST(LockedTest, GetSetExchange) {
  Locked<std::string> value("a");
  EXPECT_EQ(value.get(), "a");
  value.set("b");
  EXPECT_EQ(value.exchange("c"), "b");
  EXPECT_EQ(value.get(), "c");
}

TEST(LockedTest, ModifyCommitsOnlyOnNormalReturn) {
  Locked<std::vector<int>> list(std::vector<int>{1});
  EXPECT_EQ(list.modify([](std::vector<int>& v) {
    v.push_back(2);
    return v.size();
  }),
            2u);
  EXPECT_THROW(list.modify([](std::vector<int>& v) {
    v.clear();
    throw std::runtime_error("abandoned");
  }),
               std::runtime_error);
  EXPECT_EQ(list.get(), (std::vector<int>{1, 2}));
  // The lock was released by the throwing body.
  list.withLock([](std::vector<int>& v) { v.push_back(3); });
  EXPECT_EQ(list.withLock([](const std::vector<int>& v) { return v.back(); }), 3);
}

TEST(LockedTest, ConcurrentModifyAndWithLockCountExactly) {
  constexpr int kPerThread = 5000;
  Locked<long> counter(0);
  Locked<std::vector<int>> list;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) {
          if (i % 2 == 0) {
            counter.modify([](long& v) { ++v; });
          } else {
            counter.withLock([](long& v) { ++v; });
          }
          if (i % 50 == 0) list.modify([&](std::vector<int>& v) { v.push_back(t); });
          (void)counter.get();
        }
      });
    }
  }
  EXPECT_EQ(counter.get(), kThreads * kPerThread);
  EXPECT_EQ(list.get().size(), static_cast<std::size_t>(kThreads * (kPerThread / 50)));
}

// A body that returns a reference into its working copy gets a copy back: the reference
// would otherwise dangle or reach the committed value outside the lock.
TEST(LockedTest, ModifyReturnsResultsByValue) {
  Locked<std::vector<int>> list(std::vector<int>{1, 2});
  auto&& first = list.modify([](std::vector<int>& v) -> int& {
    v.push_back(3);
    return v.front();
  });
  static_assert(std::is_same_v<decltype(first), int&&>);
  first = 10;
  EXPECT_EQ(list.get(), (std::vector<int>{1, 2, 3}));
}

TEST(MutexTest, WithLockReleasesOnThrow) {
  Mutex mutex;
  EXPECT_THROW(mutex.withLock([]() -> int { throw std::logic_error("x"); }), std::logic_error);
  EXPECT_TRUE(mutex.try_lock());
  mutex.unlock();
}

}  // namespace
}  // namespace platform::sync
