#include "platform/sync/channel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform::sync {
namespace {

using Termination = Channel<int>::Termination;

// Returns once `count` callers are blocked inside the channel's push() or pop().
template <class T>
void waitUntilBlocked(const Channel<T>& channel, std::size_t count = 1) {
  while (channel.waitingCount() < count) std::this_thread::yield();
}

TEST(ChannelTest, DeliversInOrderThenEndsAfterFinish) {
  Channel<int> channel;
  EXPECT_TRUE(channel.push(1));
  EXPECT_TRUE(channel.push(2));
  channel.finish();
  EXPECT_FALSE(channel.push(3));
  EXPECT_EQ(channel.pop(), 1);
  EXPECT_EQ(channel.pop(), 2);
  EXPECT_EQ(channel.pop(), std::nullopt);
  EXPECT_EQ(channel.pop(), std::nullopt);
}

TEST(ChannelTest, FinishingErrorIsRethrownAfterTheBufferDrains) {
  Channel<int> channel;
  channel.push(1);
  channel.push(2);
  channel.finish(std::make_exception_ptr(std::runtime_error("decoder failed")));
  channel.finish();  // a second end changes nothing
  EXPECT_EQ(channel.pop(), 1);
  EXPECT_EQ(channel.pop(), 2);
  EXPECT_THROW(channel.pop(), std::runtime_error);
  EXPECT_EQ(channel.pop(), std::nullopt);
}

TEST(ChannelTest, CancelDropsBufferedValuesAndRefusesPushes) {
  Channel<int> channel;
  std::vector<Termination> ends;
  channel.onTermination([&](Termination how) { ends.push_back(how); });
  channel.push(1);
  channel.cancel();
  EXPECT_FALSE(channel.push(2));
  EXPECT_EQ(channel.pop(), std::nullopt);
  EXPECT_TRUE(channel.isClosed());
  channel.finish();
  channel.cancel();
  EXPECT_EQ(ends, std::vector<Termination>{Termination::cancelled});
}

TEST(ChannelTest, TerminationCallbackRunsExactlyOnce) {
  std::vector<Termination> ends;
  {
    Channel<int> channel;
    channel.onTermination([&](Termination how) { ends.push_back(how); });
    channel.finish();
    channel.finish(std::make_exception_ptr(std::runtime_error("late")));
    channel.cancel();
  }
  EXPECT_EQ(ends, std::vector<Termination>{Termination::finished});

  // Destruction ends an open stream as cancelled.
  ends.clear();
  {
    Channel<int>(0).onTermination([&](Termination how) { ends.push_back(how); });
  }
  EXPECT_EQ(ends, std::vector<Termination>{Termination::cancelled});

  // A callback set after the end runs at once.
  Channel<int> ended;
  ended.finish();
  ends.clear();
  ended.onTermination([&](Termination how) { ends.push_back(how); });
  EXPECT_EQ(ends, std::vector<Termination>{Termination::finished});
}

TEST(ChannelTest, BoundedPushWaitsForRoom) {
  Channel<int> channel(1);
  ASSERT_TRUE(channel.push(1));
  std::atomic<bool> pushed{false};
  std::jthread producer([&] {
    EXPECT_TRUE(channel.push(2));
    pushed = true;
  });
  waitUntilBlocked(channel);
  EXPECT_FALSE(pushed.load());
  EXPECT_EQ(channel.bufferedCount(), 1u);
  EXPECT_EQ(channel.pop(), 1);
  producer.join();
  EXPECT_TRUE(pushed.load());
  EXPECT_EQ(channel.pop(), 2);
}

TEST(ChannelTest, BoundedPushGivesUpOnStopOrEnd) {
  Channel<int> channel(1);
  channel.push(1);
  std::stop_source stop;
  std::jthread producer([&] { EXPECT_FALSE(channel.push(2, stop.get_token())); });
  waitUntilBlocked(channel);
  stop.request_stop();
  producer.join();
  EXPECT_EQ(channel.bufferedCount(), 1u);

  std::jthread second([&] { EXPECT_FALSE(channel.push(3)); });
  waitUntilBlocked(channel);
  channel.cancel();
  second.join();
  EXPECT_EQ(channel.waitingCount(), 0u) << "callers that gave up are no longer counted";
}

TEST(ChannelTest, StoppedTokenStillPushesWhenThereIsRoom) {
  Channel<int> channel(2);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_TRUE(channel.push(1, stop.get_token()));
  EXPECT_EQ(channel.pop(), 1);
}

TEST(ChannelTest, PopStopsWithCancellationError) {
  Channel<int> channel;
  std::stop_source stop;
  std::atomic<bool> cancelled{false};
  std::jthread consumer([&] {
    try {
      channel.pop(stop.get_token());
    } catch (const CancellationError&) {
      cancelled = true;
    }
  });
  waitUntilBlocked(channel);
  stop.request_stop();
  consumer.join();
  EXPECT_TRUE(cancelled.load());

  // A buffered value is still handed out under a stopped token.
  channel.push(5);
  EXPECT_EQ(channel.pop(stop.get_token()), 5);
  EXPECT_THROW(channel.pop(stop.get_token()), CancellationError);
}

TEST(ChannelTest, ManyProducersOneConsumerLoseNothing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  Channel<int> channel(16);
  long sum = 0;
  int count = 0;
  std::jthread consumer([&] {
    while (auto value = channel.pop()) {
      sum += *value;
      ++count;
    }
  });
  {
    std::vector<std::jthread> producers;
    for (int t = 0; t < kThreads; ++t) {
      producers.emplace_back([&] {
        for (int i = 1; i <= kPerThread; ++i) channel.push(i);
      });
    }
  }
  channel.finish();
  consumer.join();
  EXPECT_EQ(count, kThreads * kPerThread);
  EXPECT_EQ(sum, static_cast<long>(kThreads) * kPerThread * (kPerThread + 1) / 2);
}

TEST(ChannelTest, SeveralConsumersReceiveEachValueExactlyOnce) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 5;
  constexpr int kPerProducer = 3000;
  Channel<int> channel(kConsumers + 1);
  std::mutex mutex;
  std::vector<int> received;  // guarded by mutex
  std::vector<int> perConsumer(kConsumers, 0);
  {
    std::vector<std::jthread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
      consumers.emplace_back([&, c] {
        std::vector<int> mine;
        while (auto value = channel.pop()) mine.push_back(*value);
        perConsumer[static_cast<std::size_t>(c)] = static_cast<int>(mine.size());
        const std::lock_guard lock(mutex);
        received.insert(received.end(), mine.begin(), mine.end());
      });
    }
    {
      std::vector<std::jthread> producers;
      for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
          for (int i = 0; i < kPerProducer; ++i) EXPECT_TRUE(channel.push(p * kPerProducer + i));
        });
      }
    }
    channel.finish();  // ends every consumer once the buffer is drained
  }
  std::sort(received.begin(), received.end());
  std::vector<int> expected(kProducers * kPerProducer);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(received, expected) << "every value once, none lost or duplicated";
  EXPECT_EQ(std::accumulate(perConsumer.begin(), perConsumer.end(), 0), kProducers * kPerProducer);
}

TEST(ChannelTest, FinishWakesEveryWaitingConsumerAndTheErrorReachesOne) {
  constexpr int kConsumers = 4;
  for (const bool withError : {false, true}) {
    SCOPED_TRACE(withError ? "finish(error)" : "finish()");
    Channel<int> channel(2);
    std::atomic<int> ended{0};
    std::atomic<int> errors{0};
    std::atomic<int> values{0};
    {
      std::vector<std::jthread> consumers;
      for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&] {
          try {
            while (channel.pop()) ++values;
            ++ended;
          } catch (const std::runtime_error&) {
            ++errors;
          }
        });
      }
      waitUntilBlocked(channel, kConsumers);
      channel.push(7);
      if (withError) {
        channel.finish(std::make_exception_ptr(std::runtime_error("segmenter failed")));
      } else {
        channel.finish();
      }
    }
    EXPECT_EQ(values.load(), 1);
    EXPECT_EQ(errors.load(), withError ? 1 : 0);
    EXPECT_EQ(ended.load() + errors.load(), kConsumers);
    EXPECT_EQ(channel.waitingCount(), 0u);
  }
}

TEST(ChannelTest, StoppedConsumerLeavesTheValueToAnother) {
  Channel<int> channel;
  std::stop_source stop;
  std::atomic<bool> firstCancelled{false};
  std::jthread first([&] {
    try {
      channel.pop(stop.get_token());
    } catch (const CancellationError&) {
      firstCancelled = true;
    }
  });
  std::optional<int> got;
  std::jthread second([&] { got = channel.pop(); });
  waitUntilBlocked(channel, 2);
  stop.request_stop();
  first.join();
  EXPECT_TRUE(firstCancelled.load());
  channel.push(3);
  second.join();
  EXPECT_EQ(got, 3);
}

}  // namespace
}  // namespace platform::sync
