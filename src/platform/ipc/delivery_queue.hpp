// The delivery of one connection (connection.cpp): its tasks, from any number of producers,
// run in order by the connection's one delivery thread. Internal to platform::ipc.
//
// While it has nothing to run, the delivery thread waits in waitForWork(): in poll() on an
// eventfd and, when it holds the reading turn of its session, on the session's socket, which it
// then reads and handles itself, so that a message needs no hand-over between threads.
// Producers signal the eventfd only when that thread sleeps, after letting go of the lock.
//
// The delivery thread also publishes when a task starts and whether one runs, so that the
// stand-by reader of a session can tell that it is held up in one task and read in its place.
// `turnMutex` guards the reading turn of the sessions of this connection and `turnChanged`
// wakes their stand-by readers.
//
// Thread-safe, except where a member says "the delivery thread only".
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

#include "platform/fs/unique_fd.hpp"

namespace platform::ipc {

using Task = std::function<void()>;

class DeliveryQueue {
 public:
  // Without an eventfd (descriptors exhausted) the delivery thread cannot wait on a socket:
  // canPoll() is false and a separate thread reads (logged).
  DeliveryQueue();
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // False (and the task dropped) once finished.
  bool push(Task task);
  // Makes the delivery thread look again at the reading turn: wakes it when it waits, or
  // keeps it from waiting once.
  void kick();
  // Ends the queue; what is queued is still delivered.
  void finish();
  std::size_t bufferedCount() const;

  // The next task, if any. The delivery thread only.
  std::optional<Task> tryPop();
  // Finished and nothing left to run.
  bool drained() const;
  // Whether the delivery thread can wait on a socket.
  bool canPoll() const { return wake_.valid(); }
  // Waits until a task is queued, the queue is finished, kick() is called or, when `socket`
  // is not -1, the socket has something to read (or has ended). True in the last case. The
  // delivery thread only.
  bool waitForWork(int socket);
  // Runs `task`, publishing its start. What the task throws is logged and goes no further. The
  // delivery thread only.
  void run(Task& task);

  // Read by the stand-by readers: `running` first, then `started`. A task that runs at two
  // looks with no start between them is the same task.
  bool running() const { return running_.load(); }
  std::uint64_t started() const { return started_.load(); }
  // A stand-by reader that waits for the next task start counts itself here (under turnMutex).
  std::atomic<int>& parkedWatchers() { return parkedWatchers_; }

  std::mutex turnMutex;
  std::condition_variable turnChanged;

 private:
  void signal();

  const platform::fs::UniqueFd wake_;
  mutable std::mutex m_;
  std::condition_variable cv_;  // waits when there is no wake_
  // guarded by m_:
  std::deque<Task> tasks_;
  bool finished_ = false;
  bool sleeping_ = false;
  bool kicked_ = false;

  std::atomic<std::uint64_t> started_{0};
  std::atomic<bool> running_{false};
  std::atomic<int> parkedWatchers_{0};
};

}  // namespace platform::ipc
