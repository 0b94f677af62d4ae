#include "core/progress.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace noxtal {
namespace {

TEST(Progress, ParentFractionWeighsChildrenByPendingUnits) {
  auto overall = Progress::make(4);
  auto a = Progress::makeChild(overall, 100, 1);
  auto b = Progress::makeChild(overall, 100, 3);
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 0.0);
  a->setCompletedUnitCount(50);
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 0.5 / 4);
  b->setCompletedUnitCount(25);
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), (0.5 + 0.75) / 4);
  EXPECT_EQ(overall->completedUnitCount(), 0);
}

TEST(Progress, FinishedChildAddsItsPendingUnitsOnceAndIsDetached) {
  auto overall = Progress::make(2);
  auto a = Progress::makeChild(overall, 100, 1);
  a->setCompletedUnitCount(100);
  a->setCompletedUnitCount(100);  // finishing twice counts once
  EXPECT_EQ(overall->completedUnitCount(), 1);
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 0.5);
  a->setCompletedUnitCount(10);  // a detached child no longer moves the parent
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 0.5);
  auto b = Progress::makeChild(overall, 100, 1);
  b->setCompletedUnitCount(100);
  EXPECT_TRUE(overall->isFinished());
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 1.0);
}

TEST(Progress, GrandchildrenPropagateAndEdgeCountsStayFinite) {
  auto root = Progress::make(1);
  auto mid = Progress::makeChild(root, 2, 1);
  auto leaf = Progress::makeChild(mid, 10, 2);
  leaf->setCompletedUnitCount(10);
  EXPECT_TRUE(mid->isFinished());
  EXPECT_TRUE(root->isFinished());

  auto empty = Progress::make(0);
  EXPECT_DOUBLE_EQ(empty->fractionCompleted(), 0.0);
  EXPECT_FALSE(empty->isFinished());
  auto over = Progress::make(10);
  over->setCompletedUnitCount(25);
  EXPECT_DOUBLE_EQ(over->fractionCompleted(), 1.0);
  over->setCompletedUnitCount(-3);
  EXPECT_EQ(over->completedUnitCount(), 0);
}

TEST(Progress, UserInfoHoldsThroughput) {
  auto p = Progress::make(1);
  EXPECT_FALSE(p->throughput());
  p->setThroughput(1.5e6);
  EXPECT_EQ(p->throughput(), 1.5e6);
  EXPECT_EQ(p->userInfo(Progress::throughputKey), 1.5e6);
  p->setThroughput(std::nullopt);
  EXPECT_FALSE(p->userInfo(Progress::throughputKey));
}

TEST(Progress, ConcurrentChildrenFinishExactlyTheParent) {
  constexpr int kChildren = 16;
  auto overall = Progress::make(kChildren);
  std::vector<std::shared_ptr<Progress>> children;
  for (int i = 0; i < kChildren; ++i) children.push_back(Progress::makeChild(overall, 100, 1));
  std::vector<std::jthread> threads;
  for (int i = 0; i < kChildren; ++i) {
    threads.emplace_back([&, i] {
      for (int u = 1; u <= 100; ++u) {
        children[i]->setCompletedUnitCount(u);
        children[i]->setThroughput(u);
        (void)overall->fractionCompleted();
      }
    });
  }
  threads.clear();
  EXPECT_EQ(overall->completedUnitCount(), kChildren);
  EXPECT_DOUBLE_EQ(overall->fractionCompleted(), 1.0);
}

TEST(Progress, DebugDescriptionNamesCountsChildrenAndThroughput) {
  auto overall = Progress::make(4);
  overall->setCompletedUnitCount(1);
  EXPECT_EQ(overall->debugDescription(), "Progress: fraction completed 0.2500 / completed 1 of 4");
  auto child = Progress::makeChild(overall, 2, 2);
  child->setCompletedUnitCount(1);
  child->setThroughput(1536.4);
  EXPECT_EQ(overall->debugDescription(), "Progress: fraction completed 0.5000 / completed 1 of 4 / children 1");
  EXPECT_EQ(child->debugDescription(), "Progress: fraction completed 0.5000 / completed 1 of 2 / throughput 1536 bytes/s");
  EXPECT_EQ(Progress::make(0)->debugDescription(), "Progress: fraction completed 0.0000 / completed 0 of 0");
}

}  // namespace
}  // namespace noxtal
