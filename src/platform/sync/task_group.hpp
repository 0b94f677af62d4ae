// A bounded task group: runs one body per index on a fixed, small set of threads and waits for
// all of them, the stand-in for a structured group of child tasks. Used where an operation
// works on many independent items at once (loading several audio files, for example).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

namespace platform::sync {

// Calls body(index, stopToken) once for every index in [0, count), on at most `maxThreads`
// threads at a time (the calling thread is one of them; 0 counts as 1), taking indexes in
// increasing order, and returns when every call has returned. The token handed to `body` is
// triggered when `stopToken` is, and when a call throws; `body` decides what a stopped index
// means (every index is still visited, so each can record its outcome). The first exception a
// call throws is rethrown after all threads are joined. When no further thread can be started,
// the threads already running share the work. Thread-safe as far as `body` is.
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
  {
    std::vector<std::jthread> helpers;
    helpers.reserve(threads - 1);
    for (std::size_t i = 1; i < threads; ++i) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // the threads already started and this one do the rest
      }
    }
    work();
  }
  if (firstError) std::rethrow_exception(firstError);
}

}  // namespace platform::sync
