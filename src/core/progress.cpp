#include "core/progress.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace noxtal {

Progress::Progress(std::int64_t totalUnitCount) {
  state_.withLock([&](State& s) { s.total = std::max<std::int64_t>(totalUnitCount, 0); });
}

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
  return std::shared_ptr<Progress>(new Progress(totalUnitCount));
}

std::shared_ptr<Progress> Progress::makeChild(const std::shared_ptr<Progress>& parent, std::int64_t totalUnitCount,
                                              std::int64_t pendingUnitCount) {
  assert(parent);
  auto child = make(totalUnitCount);
  parent->addChild(child, pendingUnitCount);
  return child;
}

void Progress::addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount) {
  assert(child && child.get() != this);
  child->state_.withLock([&](State& s) {
    assert(s.parent.expired());
    s.parent = weak_from_this();
  });
  state_.withLock([&](State& s) { s.children.push_back(Child{child, std::max<std::int64_t>(pendingUnitCount, 0)}); });
  child->reportIfFinished();
}

std::int64_t Progress::totalUnitCount() const {
  return state_.withLock([](const State& s) { return s.total; });
}

void Progress::setTotalUnitCount(std::int64_t count) {
  state_.withLock([&](State& s) { s.total = std::max<std::int64_t>(count, 0); });
  reportIfFinished();
}

std::int64_t Progress::completedUnitCount() const {
  return state_.withLock([](const State& s) { return s.completed; });
}

void Progress::setCompletedUnitCount(std::int64_t count) {
  state_.withLock([&](State& s) { s.completed = std::max<std::int64_t>(count, 0); });
  reportIfFinished();
}

bool Progress::isFinished() const {
  return state_.withLock([](const State& s) { return s.total > 0 && s.completed >= s.total; });
}

double Progress::fractionCompleted() const {
  std::int64_t total = 0;
  std::int64_t completed = 0;
  std::vector<Child> children;
  state_.withLock([&](const State& s) {
    total = s.total;
    completed = s.completed;
    children = s.children;
  });
  if (total <= 0) return 0.0;
  double units = static_cast<double>(completed);
  // Children are consulted without this object's lock held.
  for (const Child& c : children) units += c.progress->fractionCompleted() * static_cast<double>(c.pendingUnitCount);
  return std::clamp(units / static_cast<double>(total), 0.0, 1.0);
}

void Progress::setUserInfo(std::string_view key, std::optional<double> value) {
  state_.withLock([&](State& s) {
    if (value) {
      s.userInfo.insert_or_assign(std::string(key), *value);
    } else if (auto it = s.userInfo.find(key); it != s.userInfo.end()) {
      s.userInfo.erase(it);
    }
  });
}

std::optional<double> Progress::userInfo(std::string_view key) const {
  return state_.withLock([&](const State& s) -> std::optional<double> {
    auto it = s.userInfo.find(key);
    if (it == s.userInfo.end()) return std::nullopt;
    return it->second;
  });
}

void Progress::reportIfFinished() {
  std::shared_ptr<Progress> parent;
  state_.withLock([&](State& s) {
    if (s.reportedToParent || s.total <= 0 || s.completed < s.total) return;
    parent = s.parent.lock();
    if (parent) s.reportedToParent = true;
  });
  if (parent) parent->childFinished(this);
}

void Progress::childFinished(const Progress* child) {
  state_.withLock([&](State& s) {
    auto it =
        std::find_if(s.children.begin(), s.children.end(), [&](const Child& c) { return c.progress.get() == child; });
    if (it == s.children.end()) return;
    s.completed += it->pendingUnitCount;
    s.children.erase(it);
  });
  reportIfFinished();
}

std::string Progress::debugDescription() const {
  const double fraction = fractionCompleted();
  const auto [total, completed, children, throughputValue] = state_.withLock([](const State& s) {
    const auto found = s.userInfo.find(throughputKey);
    return std::tuple{s.total, s.completed, s.children.size(),
                      found == s.userInfo.end() ? std::optional<double>() : std::optional<double>(found->second)};
  });
  char buffer[160];
  std::snprintf(buffer, sizeof buffer, "Progress: fraction completed %.4f / completed %lld of %lld", fraction,
                static_cast<long long>(completed), static_cast<long long>(total));
  std::string text = buffer;
  if (children > 0) text += " / children " + std::to_string(children);
  if (throughputValue && std::isfinite(*throughputValue)) {
    std::snprintf(buffer, sizeof buffer, " / throughput %.0f bytes/s", *throughputValue);
    text += buffer;
  }
  return text;
}

}  // namespace noxtal
