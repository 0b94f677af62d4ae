// The threads that run the service calls of one connection: one thread per call, at most a
// fixed number at a time, so that one client cannot start threads until the process fails.
//
// start() runs the work on a new detached thread and returns true, or returns false at once
// when `limit` calls are still running or no thread can be started (the caller then answers
// the call with the "too many calls in flight" record). Whatever the work throws is caught and
// logged. The bookkeeping is shared with the running threads, so it outlives this object.
// Thread-safe.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace velmoria {

class ServiceCallThreads {
 public:
  static constexpr std::size_t kDefaultLimit = 64;

  explicit ServiceCallThreads(std::size_t limit = kDefaultLimit);

  bool start(std::function<void()> work);
  // Calls running now.
  std::size_t running() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace velmoria
