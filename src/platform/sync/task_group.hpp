// TaskGroup: a bounded set of threads working for one operation.
//
// Each task runs on its own std::jthread and gets the group's stop token. The group's stop
// source is requested when the caller's token (if any) is stopped, when a task fails (the first
// failure stops the others) or when cancelAll() is called. wait() joins every thread and then
// rethrows the first failure, if any. The destructor requests stop and joins, so no task
// outlives its group.
//
// Thread-safety: spawn(), wait() and the destructor belong to the thread that owns the group;
// cancelAll() and stopToken() may be called from any thread, tasks included.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <vector>

namespace platform::sync {

class TaskGroup {
 public:
  // `parent` stopped stops the group.
  explicit TaskGroup(std::stop_token parent = {});
  ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts `task` on a new thread with the group's stop token. An exception it throws is kept
  // (the first one only) and stops the group.
  void spawn(std::function<void(std::stop_token)> task);
  // Joins every thread started so far, then rethrows the first failure. The group may be used
  // again after it returns (its stop state stays as it is).
  void wait();
  void cancelAll() noexcept { source_.request_stop(); }
  std::stop_token stopToken() const noexcept { return source_.get_token(); }

 private:
  void joinAll() noexcept;

  std::stop_source source_;
  std::optional<std::stop_callback<std::function<void()>>> parentLink_;
  std::vector<std::jthread> threads_;
  std::mutex errorMutex_;
  std::exception_ptr firstError_;  // guarded by errorMutex_
};

// Runs body(index, token) for index 0 ... count - 1, each on its own thread of one TaskGroup
// (count 1 runs on a thread as well, so the body never sees the caller's thread-local state),
// and rethrows the first failure after all have ended. count 0 does nothing.
void runConcurrently(std::size_t count, const std::function<void(std::size_t, std::stop_token)>& body,
                     std::stop_token parent = {});

}  // namespace platform::sync
