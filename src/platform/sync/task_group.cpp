#include "platform/sync/task_group.hpp"

#include <utility>

namespace platform::sync {

TaskGroup::TaskGroup(std::stop_token parent) {
  if (parent.stop_possible()) {
    parentLink_.emplace(std::move(parent), std::function<void()>([this] { source_.request_stop(); }));
  }
}

TaskGroup::~TaskGroup() {
  source_.request_stop();
  joinAll();
}

void TaskGroup::spawn(std::function<void(std::stop_token)> task) {
  threads_.emplace_back([this, task = std::move(task)] {
    try {
      task(source_.get_token());
    } catch (...) {
      {
        const std::lock_guard lock(errorMutex_);
        if (!firstError_) firstError_ = std::current_exception();
      }
      source_.request_stop();
    }
  });
}

void TaskGroup::joinAll() noexcept {
  for (std::jthread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
}

void TaskGroup::wait() {
  joinAll();
  std::exception_ptr error;
  {
    const std::lock_guard lock(errorMutex_);
    error = std::exchange(firstError_, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

void runConcurrently(std::size_t count, const std::function<void(std::size_t, std::stop_token)>& body,
                     std::stop_token parent) {
  if (count == 0) return;
  TaskGroup group(std::move(parent));
  for (std::size_t index = 0; index < count; ++index) {
    group.spawn([&body, index](std::stop_token token) { body(index, std::move(token)); });
  }
  group.wait();
}

}  // namespace platform::sync
