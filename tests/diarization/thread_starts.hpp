// Thread starts that fail, for the tests of the diarization library's task groups: while a
// FailingThreadStarts lives, the first `working` helper threads start and every later start
// fails as it does when the system has no threads left (EAGAIN).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/sync/task_group.hpp"

namespace dellomar::testing {

class FailingThreadStarts {
 public:
  explicit FailingThreadStarts(int working = 0)
      : starts_(std::make_shared<std::atomic<int>>(0)),
        guard_([starts = starts_, working](std::function<void()> body) -> std::jthread {
          if (starts->fetch_add(1) >= working) {
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
          }
          return std::jthread(std::move(body));
        }) {}

  // Starts tried so far, failed ones included.
  int starts() const { return starts_->load(); }

 private:
  std::shared_ptr<std::atomic<int>> starts_;
  platform::sync::ScopedThreadStarter guard_;
};

}  // namespace dellomar::testing
