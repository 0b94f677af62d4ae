// Stop flags of running decoding loops, keyed by the run's identifier.
//
// A decoding loop sets its flag to false when it starts, reads it once per step and removes it
// when it ends; a caller that wants the run to stop early sets it to true. A missing entry reads
// as false, so a stale or never-made entry is harmless. All members are thread-safe (one lock,
// held only for the table access).
#pragma once

#include <cstddef>
#include <optional>
#include <unordered_map>

#include "platform/sync/mutex.hpp"
#include "platform/sync/uuid.hpp"

namespace noxtal {

class EarlyStopActor {
 public:
  EarlyStopActor() = default;
  EarlyStopActor(const EarlyStopActor&) = delete;
  EarlyStopActor& operator=(const EarlyStopActor&) = delete;

  // Inserts or overwrites the flag of `uuid`.
  void set(bool value, const platform::sync::Uuid& uuid);
  // The flag of `uuid`, or false when it has none.
  bool get(const platform::sync::Uuid& uuid) const;
  // Removes the entry of `uuid` and returns its flag; absent when there was none.
  std::optional<bool> remove(const platform::sync::Uuid& uuid);
  // Number of flags held (runs not yet ended).
  std::size_t count() const;

 private:
  mutable platform::sync::Mutex mutex_;
  std::unordered_map<platform::sync::Uuid, bool> shouldStop_;  // guarded by mutex_
};

}  // namespace noxtal
