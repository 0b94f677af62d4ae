#include "core/locks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/early_stop_actor.hpp"
#include "platform/json/json.hpp"

namespace noxtal {
namespace {

using platform::json::Json;

constexpr int kThreads = 8;

struct Record {
  PropertyLock<std::string> text;
  PropertyLock<std::vector<int>> tokens;
  PropertyLock<float> temperature;
};

void to_json(Json& json, const Record& r) {
  json = Json::object();
  json["text"] = r.text;
  json["tokens"] = r.tokens;
  json["temperature"] = r.temperature;
}

void from_json(const Json& json, Record& r) {
  json.at("text").get_to(r.text);
  json.at("tokens").get_to(r.tokens);
  json.at("temperature").get_to(r.temperature);
}

TEST(UnfairLockTest, ThrowingBodyReleasesTheLock) {
  UnfairLock lock;
  EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  EXPECT_EQ(lock.withLock([] { return 7; }), 7);
  EXPECT_TRUE(lock.try_lock());
  lock.unlock();
}

TEST(PropertyLockTest, EncodesAndDecodesAsTheBareValue) {
  Record record;
  record.text = std::string("hi");
  record.tokens = std::vector<int>{1, 2};
  record.temperature = 0.1f;
  const std::string text = platform::json::dump(Json(record));
  EXPECT_EQ(text, R"({"text":"hi","tokens":[1,2],"temperature":0.1})");

  const Record decoded = platform::json::parse(text).get<Record>();
  EXPECT_EQ(decoded.text.get(), "hi");
  EXPECT_EQ(decoded.tokens.get(), (std::vector<int>{1, 2}));
  EXPECT_FLOAT_EQ(decoded.temperature.get(), 0.1f);
}

TEST(PropertyLockTest, EncodingRefusesNonFiniteAndDecodingReportsWrongTypes) {
  PropertyLock<float> nan(std::numeric_limits<float>::quiet_NaN());
  Json json;
  EXPECT_THROW(to_json(json, nan), platform::json::JsonError);
  PropertyLock<std::string> text;
  EXPECT_THROW(from_json(Json(12), text), platform::json::JsonError);
}

TEST(PropertyLockTest, CopyCarriesItsOwnValue) {
  PropertyLock<std::vector<int>> original(std::vector<int>{1});
  PropertyLock<std::vector<int>> copy = original;
  copy.modify([](std::vector<int>& v) { v.push_back(2); });
  EXPECT_EQ(original.get(), std::vector<int>{1});
  EXPECT_EQ(copy.get(), (std::vector<int>{1, 2}));
}

TEST(PropertyLockTest, ThrowingModifyLeavesTheValueUnchanged) {
  PropertyLock<std::vector<int>> list(std::vector<int>{1});
  EXPECT_THROW(list.modify([](std::vector<int>& v) {
    v.push_back(2);
    throw std::runtime_error("abandoned");
  }),
               std::runtime_error);
  EXPECT_EQ(list.get(), std::vector<int>{1});
  EXPECT_EQ(list.modify([](std::vector<int>& v) {
    v.push_back(3);
    return v.size();
  }),
            2u);

  // A reference into the working copy comes back as a copy.
  const auto reference = [](std::vector<int>& v) -> const int& { return v.back(); };
  static_assert(std::is_same_v<decltype(list.modify(reference)), int>);
  EXPECT_EQ(list.modify(reference), 3);
  Protected<std::vector<int>> shared(std::vector<int>{4});
  static_assert(std::is_same_v<decltype(shared.modify(reference)), int>);
  EXPECT_EQ(shared.modify(reference), 4);
}

// Two lock sections per append would lose elements here; modify() holds the lock throughout.
TEST(PropertyLockTest, ConcurrentAppendsAreNotLost) {
  constexpr int kPerThread = 500;
  PropertyLock<std::vector<int>> list;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kPerThread; ++i) list.modify([&](std::vector<int>& v) { v.push_back(t * kPerThread + i); });
      });
    }
  }
  auto values = list.get();
  ASSERT_EQ(values.size(), static_cast<std::size_t>(kThreads * kPerThread));
  std::sort(values.begin(), values.end());
  for (int i = 0; i < kThreads * kPerThread; ++i) EXPECT_EQ(values[i], i);
}

TEST(ProtectedTest, CopiesShareOneValue) {
  Protected<std::optional<int>> model;
  EXPECT_FALSE(model.get().has_value());
  Protected<std::optional<int>> copy = model;
  copy.set(5);
  EXPECT_EQ(model.get(), 5);
  EXPECT_TRUE(copy.sharesStateWith(model));
  EXPECT_EQ(model.exchange(std::nullopt), 5);
  EXPECT_FALSE(copy.get().has_value());
}

TEST(ProtectedTest, ConcurrentIncrementsThroughCopiesAreExact) {
  constexpr int kPerThread = 2000;
  Protected<long> counter(0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([copy = counter]() mutable {
        for (int i = 0; i < kPerThread; ++i) copy.modify([](long& v) { ++v; });
      });
    }
  }
  EXPECT_EQ(counter.get(), kThreads * kPerThread);
}

TEST(WeakSendableWrapperTest, ReadsAbsentOnceTheObjectIsFreed) {
  auto owner = std::make_shared<std::string>("owner");
  WeakSendableWrapper<std::string> weak(owner);
  ASSERT_NE(weak.value(), nullptr);
  EXPECT_EQ(*weak.value(), "owner");
  EXPECT_EQ(owner.use_count(), 1);  // the wrapper keeps nothing alive
  owner.reset();
  EXPECT_EQ(weak.value(), nullptr);

  auto other = std::make_shared<std::string>("other");
  weak.modify([&](std::shared_ptr<std::string>& strong) {
    EXPECT_EQ(strong, nullptr);
    strong = other;
  });
  EXPECT_EQ(weak.value(), other);
}

TEST(EarlyStopActorTest, FlagsFollowTheRunProtocol) {
  EarlyStopActor actor;
  const auto u = platform::sync::Uuid::random();
  EXPECT_FALSE(actor.get(u));
  EXPECT_EQ(actor.remove(u), std::nullopt);
  actor.set(false, u);
  EXPECT_FALSE(actor.get(u));
  actor.set(true, u);
  EXPECT_TRUE(actor.get(u));
  EXPECT_EQ(actor.remove(u), true);
  EXPECT_FALSE(actor.get(u));
  EXPECT_EQ(actor.remove(u), std::nullopt);
}

TEST(EarlyStopActorTest, ConcurrentRunsKeepTheirOwnFlags) {
  constexpr int kRunsPerThread = 200;
  EarlyStopActor actor;
  std::atomic<int> stoppedSeen{0};
  std::atomic<int> removedTrue{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < kRunsPerThread; ++i) {
          const auto run = platform::sync::Uuid::random();
          actor.set(false, run);
          if (actor.get(run)) return;
          actor.set(true, run);
          if (actor.get(run)) ++stoppedSeen;
          if (actor.remove(run) == true) ++removedTrue;
        }
      });
    }
  }
  EXPECT_EQ(stoppedSeen.load(), kThreads * kRunsPerThread);
  EXPECT_EQ(removedTrue.load(), kThreads * kRunsPerThread);
}

TEST(ConcurrencyUtilitiesTest, ReportsAtLeastOneProcessor) {
  EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

}  // namespace
}  // namespace noxtal
