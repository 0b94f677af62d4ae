// A blocking, optionally bounded queue that carries a stream of values from producers to
// consumers: the stand-in for an asynchronous stream.
//
// Producers push values and end the stream with finish() or finish(error). Consumers pop until
// they get no value. There may be several consumers: each value goes to exactly one of them,
// and the end of the stream ends every consumer (those waiting are woken; the buffered values
// are still handed out first). A stream finished with an error rethrows that error once the
// buffered values are drained, to exactly one consumer; the others see the end. A consumer ends
// the stream early with cancel(). The termination callback runs exactly once, on the thread
// that ends the stream (finish, cancel or destruction), never under the channel's lock. All
// members are thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "platform/sync/cancellation.hpp"

namespace platform::sync {

template <class T>
class Channel {
 public:
  enum class Termination { finished, cancelled };

  // capacity 0 means unbounded; otherwise push() waits while `capacity` values are buffered.
  explicit Channel(std::size_t capacity = 0) : capacity_(capacity) {}
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  ~Channel() { terminate(Termination::cancelled); }

  // Sets the callback run once when the stream ends. Runs immediately when it already ended.
  void onTermination(std::function<void(Termination)> callback) {
    std::optional<Termination> already;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (terminated_) {
        already = termination_;
      } else {
        onTermination_ = std::move(callback);
      }
    }
    if (already && callback) callback(*already);
  }

  // Appends a value. Waits for room in a bounded channel. Returns false (and drops the value)
  // when the stream has ended or the token was stopped while waiting.
  bool push(T value, std::stop_token token = {}) {
    std::unique_lock<std::mutex> lock(m_);
    if (capacity_ > 0) {
      // A stop request only matters while there is no room: a value that fits is accepted.
      const auto room = [&] { return closed_ || buffer_.size() < capacity_; };
      if (!room()) {
        const Waiting waiting(waiting_);
        if (!notFull_.wait(lock, token, room)) return false;
      }
    }
    if (closed_) return false;
    buffer_.push_back(std::move(value));
    // One value wakes one consumer: a woken consumer always takes a buffered value (also
    // under a stopped token), so no wake-up is lost.
    notEmpty_.notify_one();
    return true;
  }

  // Ends the stream normally; buffered values stay readable.
  void finish() { close(nullptr); }

  // Ends the stream with an error that pop() rethrows after the buffered values.
  void finish(std::exception_ptr error) { close(std::move(error)); }

  // Consumer side: ends the stream and drops buffered values; producers see push() fail.
  void cancel() {
    {
      std::lock_guard<std::mutex> guard(m_);
      closed_ = true;
      buffer_.clear();
      error_ = nullptr;
      notifyAll();
    }
    terminate(Termination::cancelled);
  }

  // Next value; absent at the end of a finished stream. Rethrows the finishing error once the
  // buffer is drained. Throws CancellationError when `token` is stopped while waiting.
  std::optional<T> pop(std::stop_token token = {}) {
    std::unique_lock<std::mutex> lock(m_);
    const auto ready = [&] { return !buffer_.empty() || closed_; };
    if (!ready()) {
      const Waiting waiting(waiting_);
      notEmpty_.wait(lock, token, ready);
    }
    if (!buffer_.empty()) {
      T value = std::move(buffer_.front());
      buffer_.pop_front();
      // One free slot lets one producer in; a woken producer pushes whenever there is room.
      notFull_.notify_one();
      return value;
    }
    if (token.stop_requested() && !closed_) throw CancellationError();
    if (error_) {
      auto error = std::exchange(error_, nullptr);
      std::rethrow_exception(error);
    }
    return std::nullopt;
  }

  bool isClosed() const {
    std::lock_guard<std::mutex> guard(m_);
    return closed_;
  }

  std::size_t bufferedCount() const {
    std::lock_guard<std::mutex> guard(m_);
    return buffer_.size();
  }

  // Callers blocked in push() or pop() right now (waiting for room or a value), for diagnostics
  // and for tests that must know a caller is waiting.
  std::size_t waitingCount() const {
    std::lock_guard<std::mutex> guard(m_);
    return waiting_;
  }

 private:
  // Counts one waiting caller for a scope; used with m_ held.
  struct Waiting {
    explicit Waiting(std::size_t& count) : count_(count) { ++count_; }
    ~Waiting() { --count_; }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;
    std::size_t& count_;
  };

  // Wakes every waiting producer and consumer; used with m_ held.
  void notifyAll() {
    notEmpty_.notify_all();
    notFull_.notify_all();
  }

  void close(std::exception_ptr error) {
    {
      std::lock_guard<std::mutex> guard(m_);
      if (closed_) return;
      closed_ = true;
      error_ = std::move(error);
      notifyAll();
    }
    terminate(Termination::finished);
  }

  void terminate(Termination how) {
    std::function<void(Termination)> callback;
    {
      std::lock_guard<std::mutex> guard(m_);
      if (terminated_) return;
      terminated_ = true;
      termination_ = how;
      closed_ = true;
      callback = std::move(onTermination_);
      notifyAll();
    }
    if (callback) callback(how);
  }

  const std::size_t capacity_;
  mutable std::mutex m_;
  std::condition_variable_any notEmpty_;  // consumers wait here for a value or the end
  std::condition_variable_any notFull_;   // producers wait here for room or the end
  // guarded by m_:
  std::deque<T> buffer_;
  bool closed_ = false;
  bool terminated_ = false;
  Termination termination_ = Termination::finished;
  std::exception_ptr error_;
  std::function<void(Termination)> onTermination_;
  std::size_t waiting_ = 0;
};

}  // namespace platform::sync
