#include "core/hub/network_monitor.hpp"

#include <cstdlib>
#include <cstring>

namespace noxtal {

bool NetworkStateActor::isConnected() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return isConnected_;
}
void NetworkStateActor::setIsConnected(bool value) {
  std::lock_guard<std::mutex> guard(mutex_);
  isConnected_ = value;
}
bool NetworkStateActor::isExpensive() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return isExpensive_;
}
void NetworkStateActor::setIsExpensive(bool value) {
  std::lock_guard<std::mutex> guard(mutex_);
  isExpensive_ = value;
}
bool NetworkStateActor::isConstrained() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return isConstrained_;
}
void NetworkStateActor::setIsConstrained(bool value) {
  std::lock_guard<std::mutex> guard(mutex_);
  isConstrained_ = value;
}

void NetworkStateActor::update(const platform::net::NetworkPath& path) {
  std::lock_guard<std::mutex> guard(mutex_);
  isConnected_ = path.satisfied;
  isExpensive_ = path.isExpensive;
  isConstrained_ = path.isConstrained;
}

bool NetworkStateActor::shouldUseOfflineMode() const {
  const char* disabled = std::getenv("CI_DISABLE_NETWORK_MONITOR");
  if (disabled && std::strcmp(disabled, "1") == 0) return false;
  return !isConnected();
}

NetworkMonitor::NetworkMonitor(std::unique_ptr<platform::net::PathSource> source)
    : state_(std::make_shared<NetworkStateActor>()),
      source_(source ? std::move(source) : platform::net::makeSystemPathSource()) {}

NetworkMonitor::~NetworkMonitor() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (source_) source_->stop();
}

std::shared_ptr<NetworkMonitor> NetworkMonitor::create(std::unique_ptr<platform::net::PathSource> source) {
  return std::shared_ptr<NetworkMonitor>(new NetworkMonitor(std::move(source)));
}

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared() {
  static const std::shared_ptr<NetworkMonitor> instance = [] {
    auto monitor = create();
    monitor->startMonitoring();
    return monitor;
  }();
  return instance;
}

void NetworkMonitor::startMonitoring() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (started_) return;
  started_ = true;
  // The handler holds the monitor weakly and the state strongly: it never extends the
  // monitor's life, so the monitor is never destroyed on the source's own thread.
  std::weak_ptr<NetworkMonitor> weak = weak_from_this();
  std::shared_ptr<NetworkStateActor> state = state_;
  source_->start([weak, state](const platform::net::NetworkPath& path) {
    if (weak.expired()) return;
    state->update(path);
  });
}

void NetworkMonitor::pathDidUpdate(const platform::net::NetworkPath& path) { state_->update(path); }

void NetworkMonitor::usePathSource(std::unique_ptr<platform::net::PathSource> source) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (source_) source_->stop();
    source_ = std::move(source);
    started_ = false;
    state_->update(platform::net::NetworkPath{true, false, false});
  }
  startMonitoring();
}

}  // namespace noxtal
