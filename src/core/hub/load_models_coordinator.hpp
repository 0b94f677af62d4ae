// LoadModelsCoordinator: the single-flight guard behind ModelManager::ensureModelsLoaded().
//
// The first caller of run() starts the operation on a thread owned by the coordinator; callers
// that arrive while it runs join it instead of starting another, and every caller receives its
// outcome (its error, rethrown, included). Once the operation has finished, the next run()
// starts a new one. Only the model manager uses it.
//
// Thread-safety: every member is thread-safe. No lock is held while the operation runs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace noxtal {

class LoadModelsCoordinator {
 public:
  // The coordinated work. It receives the coordinator's stop token, which is triggered only
  // when the coordinator is destroyed.
  using Operation = std::function<void(std::stop_token)>;

  LoadModelsCoordinator() = default;
  // Asks a running operation to stop (through its token) and waits for it to end.
  ~LoadModelsCoordinator();
  LoadModelsCoordinator(const LoadModelsCoordinator&) = delete;
  LoadModelsCoordinator& operator=(const LoadModelsCoordinator&) = delete;

  // Runs `operation` unless an earlier one is still in flight, in which case `operation` is
  // dropped and that one is joined. Blocks until the operation it waits on has finished, then
  // returns or rethrows that operation's exception (the same exception object for every joined
  // caller). `stopToken` ends only this caller's wait (throwing
  // platform::sync::CancellationError); the operation itself runs on for the other callers.
  void run(Operation operation, std::stop_token stopToken = {});

  // True while an operation is in flight.
  bool isRunning() const;
  // Number of callers currently inside run() (starters and joiners), for diagnostics and tests.
  std::size_t callerCount() const;

 private:
  // Outcome of one coordinated run, shared by its waiters.
  struct Flight {
    std::mutex mutex;
    std::condition_variable_any finished;
    bool done = false;         // guarded by mutex
    std::exception_ptr error;  // guarded by mutex; written before done
  };

  // Starts the thread that runs `operation` and publishes its outcome in `flight`.
  std::jthread makeWorker(Flight* flight, Operation operation);

  mutable std::mutex mutex_;
  std::shared_ptr<Flight> inflightLoad_;  // guarded by mutex_; null when idle
  std::jthread worker_;                   // guarded by mutex_; the thread of the latest run
  // Keeps the latest run's flight alive until its thread has been joined. The thread itself holds
  // no reference: the flight, and the error it carries, are released by a waiter or by the thread
  // that joins, never by the worker after the waiters have read the error.
  std::shared_ptr<Flight> workerFlight_;  // guarded by mutex_
  std::size_t callers_ = 0;               // guarded by mutex_
};

}  // namespace noxtal
