#include "platform/ipc/delivery_queue.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/ipc/ipc_log.hpp"
#include "platform/log/log.hpp"
#include "platform/sys/error_description.hpp"

namespace platform::ipc {

DeliveryQueue::DeliveryQueue() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_)
    ipcLogger().error("no event descriptor for the delivery thread; a separate thread reads");
}

bool DeliveryQueue::push(Task task) {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(m_);
    if (finished_) return false;
    tasks_.push_back(std::move(task));
    wake = std::exchange(sleeping_, false);
  }
  if (wake) signal();
  return true;
}

void DeliveryQueue::kick() {
  bool wake;
  {
    std::lock_guard<std::mutex> guard(m_);
    kicked_ = true;
    wake = std::exchange(sleeping_, false);
  }
  if (wake) signal();
}

void DeliveryQueue::finish() {
  {
    std::lock_guard<std::mutex> guard(m_);
    finished_ = true;
    sleeping_ = false;
  }
  signal();
}

std::size_t DeliveryQueue::bufferedCount() const {
  std::lock_guard<std::mutex> guard(m_);
  return tasks_.size();
}

std::optional<Task> DeliveryQueue::tryPop() {
  std::lock_guard<std::mutex> guard(m_);
  if (tasks_.empty()) return std::nullopt;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  return task;
}

bool DeliveryQueue::drained() const {
  std::lock_guard<std::mutex> guard(m_);
  return finished_ && tasks_.empty();
}

bool DeliveryQueue::waitForWork(int socket) {
  {
    std::unique_lock<std::mutex> lock(m_);
    if (!tasks_.empty() || finished_ || std::exchange(kicked_, false)) return false;
    sleeping_ = true;
    if (!wake_) {
      cv_.wait(lock, [&] { return !sleeping_; });
      kicked_ = false;
      return false;
    }
  }
  pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {socket, POLLIN, 0}};
  int r;
  do {
    r = ::poll(fds, socket >= 0 ? 2 : 1, -1);
  } while (r < 0 && errno == EINTR);
  {
    std::lock_guard<std::mutex> guard(m_);
    sleeping_ = false;
    kicked_ = false;
  }
  if (r > 0 && (fds[0].revents & POLLIN)) {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
  }
  return socket >= 0 && r > 0 && fds[1].revents != 0;
}

void DeliveryQueue::run(Task& task) {
  started_.fetch_add(1);
  running_.store(true);
  if (parkedWatchers_.load() > 0) {
    { std::lock_guard<std::mutex> guard(turnMutex); }
    turnChanged.notify_all();
  }
  try {
    task();
  } catch (...) {
    // A completion or handler that throws ends neither this thread nor the connection.
    ipcLogger().error("a completion or handler failed: " + sys::describeError(std::current_exception()));
  }
  running_.store(false);
}

void DeliveryQueue::signal() {
  if (!wake_) {
    cv_.notify_all();
    return;
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
}

}  // namespace platform::ipc
