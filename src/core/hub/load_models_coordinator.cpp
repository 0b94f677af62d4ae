#include "core/hub/load_models_coordinator.hpp"

#include <utility>

#include "platform/sync/cancellation.hpp"

namespace noxtal {

LoadModelsCoordinator::~LoadModelsCoordinator() {
  std::jthread worker;
  std::shared_ptr<Flight> flight;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    worker = std::move(worker_);
    flight = std::move(workerFlight_);
  }
  if (worker.joinable()) {
    worker.request_stop();
    worker.join();
  }
}

std::size_t LoadModelsCoordinator::callerCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return callers_;
}

bool LoadModelsCoordinator::isRunning() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return inflightLoad_ != nullptr;
}

std::jthread LoadModelsCoordinator::makeWorker(Flight* flight, Operation operation) {
  return std::jthread(
      [this, flight, operation = std::move(operation)](std::stop_token workerToken) {
        std::exception_ptr error;
        try {
          operation(workerToken);
        } catch (...) {
          error = std::current_exception();
        }
        {
          std::lock_guard<std::mutex> guard(mutex_);
          if (inflightLoad_.get() == flight) inflightLoad_.reset();
        }
        {
          std::lock_guard<std::mutex> guard(flight->mutex);
          flight->error = std::move(error);
          flight->done = true;
        }
        flight->finished.notify_all();
      });
}

void LoadModelsCoordinator::run(Operation operation, std::stop_token stopToken) {
  std::shared_ptr<Flight> flight;
  std::shared_ptr<Flight> previousFlight;  // declared before `previous`: released after the join
  std::jthread previous;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++callers_;
    if (inflightLoad_) {
      flight = inflightLoad_;
    } else {
      flight = std::make_shared<Flight>();
      inflightLoad_ = flight;
      // The previous run has already cleared inflightLoad_, so its thread is about to end.
      previous = std::move(worker_);
      previousFlight = std::move(workerFlight_);
      try {
        worker_ = makeWorker(flight.get(), std::move(operation));
        workerFlight_ = flight;
      } catch (...) {
        inflightLoad_.reset();
        --callers_;
        throw;
      }
    }
  }
  if (previous.joinable()) previous.join();
  previousFlight.reset();

  std::exception_ptr error;
  bool done = false;
  {
    std::unique_lock<std::mutex> lock(flight->mutex);
    done = flight->finished.wait(lock, stopToken, [&] { return flight->done; });
    error = flight->error;
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    --callers_;
  }
  if (!done) throw platform::sync::CancellationError();
  if (error) std::rethrow_exception(error);
}

}  // namespace noxtal
