#include "core/early_stop_actor.hpp"

namespace noxtal {

void EarlyStopActor::set(bool value, const platform::sync::Uuid& uuid) {
  mutex_.withLock([&] { shouldStop_[uuid] = value; });
}

bool EarlyStopActor::get(const platform::sync::Uuid& uuid) const {
  return mutex_.withLock([&] {
    const auto it = shouldStop_.find(uuid);
    return it != shouldStop_.end() && it->second;
  });
}

std::optional<bool> EarlyStopActor::remove(const platform::sync::Uuid& uuid) {
  return mutex_.withLock([&]() -> std::optional<bool> {
    const auto it = shouldStop_.find(uuid);
    if (it == shouldStop_.end()) return std::nullopt;
    const bool value = it->second;
    shouldStop_.erase(it);
    return value;
  });
}

std::size_t EarlyStopActor::count() const {
  return mutex_.withLock([&] { return shouldStop_.size(); });
}

}  // namespace noxtal
