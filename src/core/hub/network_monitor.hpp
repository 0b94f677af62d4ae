// Network state of the hub client: the current picture of the machine's network path and the
// monitor that keeps it up to date.
//
// NetworkMonitor::shared() is the one process-wide monitor; the snapshot's offline decision
// reads its state. Every HubApi refers to that same monitor, so copies of a client never start
// threads of their own. The path reports come from a platform::net::PathSource (rtnetlink on
// Linux); tests put a ManualPathSource in its place with usePathSource().
#pragma once

#include <memory>
#include <mutex>

#include "platform/net/path_monitor.hpp"

namespace noxtal {

// The current picture. All members are thread-safe (one lock).
class NetworkStateActor {
 public:
  bool isConnected() const;
  void setIsConnected(bool value);
  bool isExpensive() const;
  void setIsExpensive(bool value);
  bool isConstrained() const;
  void setIsConstrained(bool value);

  // Takes the three flags from a path report: connected when the path is satisfied.
  void update(const platform::net::NetworkPath& path);

  // False when the environment holds CI_DISABLE_NETWORK_MONITOR with exactly the value "1";
  // otherwise true when the last report was not satisfied. False before the first report.
  bool shouldUseOfflineMode() const;

 private:
  mutable std::mutex mutex_;  // guards the three flags
  bool isConnected_ = true;
  bool isExpensive_ = false;
  bool isConstrained_ = false;
};

class NetworkMonitor : public std::enable_shared_from_this<NetworkMonitor> {
 public:
  // A monitor over `source` (the system source when null). Call startMonitoring() to start it.
  static std::shared_ptr<NetworkMonitor> create(std::unique_ptr<platform::net::PathSource> source = nullptr);
  // The process-wide monitor, created (and started) on first use. Thread-safe.
  static std::shared_ptr<NetworkMonitor> shared();

  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;
  // Stops the path source.
  ~NetworkMonitor();

  // The state; shared so that a report running while the monitor goes away stays valid.
  NetworkStateActor& state() const { return *state_; }

  // Installs the path handler (holding the monitor weakly) and starts the source. Idempotent:
  // a started monitor stays as it is. Thread-safe.
  void startMonitoring();
  // Applies one path report to the state.
  void pathDidUpdate(const platform::net::NetworkPath& path);

  // For tests: stops the current source, resets the state to its initial values and starts
  // monitoring `source` instead. Thread-safe.
  void usePathSource(std::unique_ptr<platform::net::PathSource> source);

 private:
  explicit NetworkMonitor(std::unique_ptr<platform::net::PathSource> source);

  std::shared_ptr<NetworkStateActor> state_;
  std::mutex mutex_;  // guards source_ and started_
  std::unique_ptr<platform::net::PathSource> source_;
  bool started_ = false;
};

}  // namespace noxtal
