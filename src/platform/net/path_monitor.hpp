// Network path monitoring: the stand-in for the platform's network path monitor.
//
// A PathSource reports the machine's network path (usable or not, expensive, constrained)
// whenever it changes. The Linux source listens to rtnetlink link, address and route events
// on one thread and re-evaluates the interfaces with getifaddrs(3): the path is satisfied when
// a non-loopback interface is up and running with an IPv4 address outside 169.254/16 or an
// IPv6 address outside fe80::/10. Linux knows no expensive or constrained interfaces, so those
// flags are always false. Tests inject a ManualPathSource and report paths by hand.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace platform::net {

struct NetworkPath {
  bool satisfied = false;
  bool isExpensive = false;
  bool isConstrained = false;

  bool operator==(const NetworkPath&) const = default;
};

using PathHandler = std::function<void(const NetworkPath&)>;

// Reports network paths. start() and stop() are called by one owner; the handler runs on a
// thread of the source (or the reporting thread) and must not call start()/stop().
class PathSource {
 public:
  virtual ~PathSource() = default;
  // Starts reporting to `handler`: the current path soon after start, then every change.
  // Calling start() while started replaces the handler.
  virtual void start(PathHandler handler) = 0;
  // Stops reporting; once it returns the handler is no longer running and is not called again.
  virtual void stop() = 0;
};

// The Linux source described above. When the netlink socket cannot be opened it reports the
// getifaddrs evaluation once and then nothing (logged at error level).
std::unique_ptr<PathSource> makeSystemPathSource();

// A source whose paths are reported by hand; for tests. Thread-safe.
class ManualPathSource final : public PathSource {
 public:
  void start(PathHandler handler) override;
  void stop() override;
  // Calls the handler with `path` on the calling thread when started; otherwise drops it.
  void report(const NetworkPath& path);

 private:
  std::mutex mutex_;  // guards handler_ and serialises reports
  PathHandler handler_;
};

// Evaluates the interfaces once with getifaddrs(3) as described above.
NetworkPath evaluateSystemPath();

}  // namespace platform::net
