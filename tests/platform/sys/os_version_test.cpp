// The operating-system version query and its ordering.
#include <gtest/gtest.h>

#include "platform/sys/os_version.hpp"

namespace platform::sys {
namespace {

TEST(OperatingSystemVersion, LinuxReportsTheNewestKnownLevelAndOrdersByParts) {
  const OperatingSystemVersion running = operatingSystemVersion();
  EXPECT_EQ(running.description(), "15.0.0");
  EXPECT_TRUE(running.isAtLeast({15, 0, 0}));
  EXPECT_TRUE(running.isAtLeast({14, 0, 0}));
  EXPECT_FALSE(running.isAtLeast({15, 0, 1}));
  const OperatingSystemVersion v13{13, 6, 9};
  EXPECT_FALSE(v13.isAtLeast({14, 0, 0}));
  EXPECT_TRUE((OperatingSystemVersion{14, 0, 0}).isAtLeast({13, 99, 99}));
  EXPECT_LT((OperatingSystemVersion{14, 2, 0}), (OperatingSystemVersion{14, 10, 0}));
}

}  // namespace
}  // namespace platform::sys
