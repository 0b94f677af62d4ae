#include "host/service_call_threads.hpp"

#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "platform/log/log.hpp"

namespace velmoria {
namespace {

const platform::log::Logger& logger() {
  static const platform::log::Logger l("com.velmoria.transcriber", "TranscriberXPCHost");
  return l;
}

}  // namespace

struct ServiceCallThreads::State {
  std::size_t limit;
  mutable std::mutex mutex;
  std::size_t running = 0;  // guarded by mutex
};

ServiceCallThreads::ServiceCallThreads(std::size_t limit) : state_(std::make_shared<State>()) {
  state_->limit = limit;
}

bool ServiceCallThreads::start(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->running >= state_->limit) return false;
    ++state_->running;
  }
  try {
    std::thread([state = state_, work = std::move(work)] {
      try {
        work();
      } catch (const std::exception& e) {
        logger().error(std::string("service call failed: ") + e.what());
      } catch (...) {
        logger().error("service call failed with an unknown exception");
      }
      std::lock_guard<std::mutex> guard(state->mutex);
      --state->running;
    }).detach();
  } catch (const std::exception& e) {
    logger().error(std::string("no thread for a service call: ") + e.what());
    std::lock_guard<std::mutex> guard(state_->mutex);
    --state_->running;
    return false;
  }
  return true;
}

std::size_t ServiceCallThreads::running() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->running;
}

}  // namespace velmoria
