// A hierarchical, thread-safe progress object: the stand-in for the platform's progress type.
//
// A Progress counts completed units out of a total. Children are attached to a parent with a
// number of the parent's units they stand for (pending units); the parent's fraction counts each
// unfinished child's fraction times its pending units, and a child that finishes adds its pending
// units to the parent's completed count and is detached. A small user-information map carries
// numbers such as the throughput. The hub's snapshot and per-file download step report through it.
//
// Objects are shared (other threads read what one thread updates), so they are made by the
// static factories and held by std::shared_ptr. Every member is thread-safe; no lock is held
// while another Progress is consulted, and nothing calls back into user code.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sync/mutex.hpp"

namespace noxtal {

class Progress : public std::enable_shared_from_this<Progress> {
 public:
  // User-information key of the throughput in bytes per second.
  static constexpr std::string_view throughputKey = "throughput";

  // A root progress of `totalUnitCount` units (negative counts are treated as 0).
  static std::shared_ptr<Progress> make(std::int64_t totalUnitCount);
  // A progress of `totalUnitCount` units attached to `parent` for `pendingUnitCount` of the
  // parent's units. `parent` must not be null.
  static std::shared_ptr<Progress> makeChild(const std::shared_ptr<Progress>& parent, std::int64_t totalUnitCount,
                                             std::int64_t pendingUnitCount);

  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Attaches `child` (not null, not yet attached elsewhere, not this) for `pendingUnitCount`
  // units. A child that is already finished counts at once.
  void addChild(std::shared_ptr<Progress> child, std::int64_t pendingUnitCount);

  std::int64_t totalUnitCount() const;
  void setTotalUnitCount(std::int64_t count);
  std::int64_t completedUnitCount() const;
  // Sets the completed count (negative counts become 0). Reaching the total finishes the
  // progress: it is then reported to its parent once.
  void setCompletedUnitCount(std::int64_t count);

  // Completed share in [0, 1]: (completed units + unfinished children's fraction × pending
  // units) / total, capped at 1. A total of 0 gives 0; never NaN.
  double fractionCompleted() const;
  // True when the total is above 0 and the completed count has reached it.
  bool isFinished() const;

  void setUserInfo(std::string_view key, std::optional<double> value);  // absent removes it
  std::optional<double> userInfo(std::string_view key) const;
  void setThroughput(std::optional<double> bytesPerSecond) { setUserInfo(throughputKey, bytesPerSecond); }
  std::optional<double> throughput() const { return userInfo(throughputKey); }

  // One line for logs: "Progress: fraction completed 0.2500 / completed 1 of 4", followed by
  // " / children 2" when children are attached and " / throughput 1024 bytes/s" (rounded to
  // whole bytes) when a throughput is set. A snapshot; values read at different moments by
  // concurrent updates may not agree with one another.
  std::string debugDescription() const;

 private:
  explicit Progress(std::int64_t totalUnitCount);

  struct Child {
    std::shared_ptr<Progress> progress;
    std::int64_t pendingUnitCount;
  };
  struct State {
    std::int64_t total = 0;
    std::int64_t completed = 0;
    std::vector<Child> children;
    std::weak_ptr<Progress> parent;
    bool reportedToParent = false;
    std::map<std::string, double, std::less<>> userInfo;
  };

  // Called by a child that has just finished.
  void childFinished(const Progress* child);
  // Reports this progress to its parent when it has finished and has not reported yet.
  void reportIfFinished();

  platform::sync::Locked<State> state_;
};

}  // namespace noxtal
