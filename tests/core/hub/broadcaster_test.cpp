#include "core/hub/broadcaster.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace noxtal {
namespace {

TEST(Broadcaster, SubscribersStartFromTheLatestOrTheInitialValue) {
  Broadcaster<int> b([] { return std::optional<int>(-1); });
  auto early = b.subscribe();
  b.broadcast(5);
  auto late = b.subscribe();
  b.broadcast(6);
  EXPECT_EQ(early.next(), -1);
  EXPECT_EQ(early.next(), 5);
  EXPECT_EQ(early.next(), 6);
  EXPECT_EQ(late.next(), 5);
  EXPECT_EQ(late.next(), 6);
  b.resetLatest();
  auto fresh = b.subscribe();
  EXPECT_EQ(fresh.next(), -1);
}

TEST(Broadcaster, NoInitialValueMeansNothingQueued) {
  Broadcaster<int> b([] { return std::optional<int>(); });
  auto s = b.subscribe();
  EXPECT_EQ(s.pending(), 0u);
}

TEST(Broadcaster, DestroyedSubscriptionUnsubscribesAndDestroyedBroadcasterEndsStreams) {
  Broadcaster<int>::Subscription survivor;
  {
    Broadcaster<int> b([] { return std::optional<int>(); });
    { auto gone = b.subscribe(); }
    EXPECT_EQ(b.subscriberCount(), 0u);
    survivor = b.subscribe();
    b.broadcast(1);
  }
  EXPECT_EQ(survivor.next(), 1);
  EXPECT_EQ(survivor.next(), std::nullopt);
}

TEST(Broadcaster, ConcurrentSubscribersSeeEveryLaterValueInOrder) {
  Broadcaster<int> b([] { return std::optional<int>(); });
  constexpr int kValues = 2000;
  std::vector<Broadcaster<int>::Subscription> subs;
  for (int i = 0; i < 4; ++i) subs.push_back(b.subscribe());
  std::jthread producer([&] {
    for (int v = 0; v < kValues; ++v) b.broadcast(v);
  });
  std::vector<std::jthread> consumers;
  std::vector<int> last(subs.size(), -1);
  for (std::size_t i = 0; i < subs.size(); ++i) {
    consumers.emplace_back([&, i] {
      for (int v = 0; v < kValues; ++v) {
        auto got = subs[i].next();
        if (!got || *got != last[i] + 1) return;
        last[i] = *got;
      }
    });
  }
  consumers.clear();
  for (int l : last) EXPECT_EQ(l, kValues - 1);
}

}  // namespace
}  // namespace noxtal
