#include "core/hub/network_monitor.hpp"

#include <gtest/gtest.h>

#include "scoped_environment.hpp"

namespace noxtal {
namespace {

TEST(NetworkStateTest, OfflineDecisionTable) {
  struct Row {
    std::optional<std::string> ciVariable;
    std::optional<bool> reportedSatisfied;  // nullopt: no report yet
    bool offline;
  };
  const Row rows[] = {
      {std::nullopt, std::nullopt, false},
      {std::nullopt, false, true},
      {std::nullopt, true, false},
      {"1", false, false},
      {"true", false, true},
      {"01", false, true},
      {"", false, true},
  };
  for (const auto& row : rows) {
    testing::ScopedEnvironment env;
    if (row.ciVariable) env.set("CI_DISABLE_NETWORK_MONITOR", *row.ciVariable);
    NetworkStateActor state;
    if (row.reportedSatisfied) state.update({*row.reportedSatisfied, false, false});
    EXPECT_EQ(state.shouldUseOfflineMode(), row.offline)
        << row.ciVariable.value_or("(unset)") << " " << (row.reportedSatisfied ? *row.reportedSatisfied : -1);
  }
}

TEST(NetworkStateTest, MonitorFollowsInjectedPathReports) {
  testing::ScopedEnvironment env;
  auto source = std::make_unique<platform::net::ManualPathSource>();
  auto* manual = source.get();
  auto monitor = NetworkMonitor::create(std::move(source));
  monitor->startMonitoring();
  monitor->startMonitoring();  // idempotent
  EXPECT_FALSE(monitor->state().shouldUseOfflineMode());
  manual->report({false, true, true});
  EXPECT_TRUE(monitor->state().shouldUseOfflineMode());
  EXPECT_TRUE(monitor->state().isExpensive());
  EXPECT_TRUE(monitor->state().isConstrained());
  manual->report({true, false, false});
  EXPECT_FALSE(monitor->state().shouldUseOfflineMode());
  monitor.reset();
  manual = nullptr;  // stopped and destroyed with the monitor
}

TEST(NetworkStateTest, SharedMonitorTakesAnInjectedSource) {
  testing::ScopedEnvironment env;
  auto shared = NetworkMonitor::shared();
  EXPECT_EQ(shared, NetworkMonitor::shared());
  auto source = std::make_unique<platform::net::ManualPathSource>();
  auto* manual = source.get();
  shared->usePathSource(std::move(source));
  manual->report({false, false, false});
  EXPECT_TRUE(NetworkMonitor::shared()->state().shouldUseOfflineMode());
  shared->usePathSource(std::make_unique<platform::net::ManualPathSource>());
  EXPECT_FALSE(NetworkMonitor::shared()->state().shouldUseOfflineMode());
}

}  // namespace
}  // namespace noxtal
