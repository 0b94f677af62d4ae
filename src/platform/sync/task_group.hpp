// A bounded task group: runs one body per index on a fixed, small set of threads and waits for
// all of them, the stand-in for a structured group of child tasks. Used where an operation
// works on many independent items at once (loading several audio files, transcribing several
// arrays) and where a few workers run side by side (a producer and its consumers).
//
// The helper threads are started through a replaceable ThreadStarter, so tests can make thread
// creation fail; a group whose threads cannot all be started runs none of its bodies and throws
// ThreadStartError.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace platform::sync {

// Starts one helper thread of a task group; the default makes a std::jthread running `body`.
// A starter returns a joinable thread that runs `body` once, or throws; it never runs `body` on
// the calling thread.
using ThreadStarter = std::function<std::jthread(std::function<void()>)>;

// Replaces the starter of every task group started while the guard lives. Process-wide; meant
// for tests (nesting restores the previous one; guards end in the reverse order of their
// creation). An empty `starter` stands for the default one. Thread-safe.
class ScopedThreadStarter {
 public:
  explicit ScopedThreadStarter(ThreadStarter starter);
  ~ScopedThreadStarter();
  ScopedThreadStarter(const ScopedThreadStarter&) = delete;
  ScopedThreadStarter& operator=(const ScopedThreadStarter&) = delete;

 private:
  ThreadStarter previous_;
};

// Thrown by runConcurrently when a helper thread cannot be started (derives from
// std::runtime_error, like CancellationError); what() names the cause: "Could not start a
// thread of a task group: " followed by the starter's error text.
class ThreadStartError : public std::runtime_error {
 public:
  explicit ThreadStartError(const std::string& cause);
};

namespace detail {
// Starts `helpers` threads with the current starter, then runs `work` on each of them and on the
// calling thread, and joins them. `work` starts nowhere before every thread has started: when one
// cannot be started, the started ones end without running it, are joined, and ThreadStartError
// is thrown.
void runOnHelpers(std::size_t helpers, const std::function<void()>& work);
}  // namespace detail

// Calls body(index, stopToken) once for every index in [0, count), on at most `maxThreads`
// threads at a time (the calling thread is one of them; 0 counts as 1), taking indexes in
// increasing order, and returns when every call has returned. Each thread takes a new index only
// once its previous call has returned, so with count <= maxThreads no index waits behind a
// blocked call, and the bodies may wait for one another. The token handed to `body` is
// triggered when `stopToken` is, and when a call throws; `body` decides what a stopped index
// means (every index is still visited, so each can record its outcome). The first exception a
// call throws is rethrown after all threads are joined.
//
// Every helper thread is started before any call is made. When one cannot be started, no call
// is made at all: the threads already started are joined and ThreadStartError is thrown (the
// bodies never run on fewer threads than asked for, which could deadlock bodies that wait for
// one another). Thread-safe as far as `body` is.
template <class Body>
void runConcurrently(std::size_t count, std::size_t maxThreads, Body&& body, std::stop_token stopToken = {}) {
  if (count == 0) return;
  std::stop_source groupStop;
  std::stop_callback forward(stopToken, [&groupStop] { groupStop.request_stop(); });
  std::atomic<std::size_t> next{0};
  std::mutex errorMutex;
  std::exception_ptr firstError;  // guarded by errorMutex

  auto work = [&] {
    const std::stop_token token = groupStop.get_token();
    for (std::size_t index = next++; index < count; index = next++) {
      try {
        body(index, token);
      } catch (...) {
        {
          std::lock_guard<std::mutex> guard(errorMutex);
          if (!firstError) firstError = std::current_exception();
        }
        groupStop.request_stop();
      }
    }
  };

  const std::size_t threads = std::min(count, std::max<std::size_t>(maxThreads, 1));
  if (threads == 1) {
    work();
  } else {
    detail::runOnHelpers(threads - 1, work);
  }
  if (firstError) std::rethrow_exception(firstError);
}

}  // namespace platform::sync
