#include "platform/sync/task_group.hpp"

#include <condition_variable>
#include <utility>

namespace platform::sync {
namespace {

ThreadStarter defaultThreadStarter() {
  return [](std::function<void()> body) { return std::jthread(std::move(body)); };
}

// The starter in force, process-wide.
struct StarterSlot {
  std::mutex mutex;
  ThreadStarter starter = defaultThreadStarter();  // guarded by mutex
};

StarterSlot& starterSlot() {
  static StarterSlot slot;
  return slot;
}

ThreadStarter currentThreadStarter() {
  StarterSlot& slot = starterSlot();
  std::lock_guard<std::mutex> guard(slot.mutex);
  return slot.starter;
}

// Holds the helper threads of one group until every one of them has started.
class StartGate {
 public:
  // Blocks until open() or fail(); true when the gate was opened.
  bool pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return state_ != State::closed; });
    return state_ == State::opened;
  }
  void open() { settle(State::opened); }
  // No effect once the gate is open.
  void fail() { settle(State::failed); }

 private:
  enum class State { closed, opened, failed };
  void settle(State state) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (state_ == State::closed) state_ = state;
    }
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::closed;  // guarded by mutex_
};

}  // namespace

ScopedThreadStarter::ScopedThreadStarter(ThreadStarter starter) {
  StarterSlot& slot = starterSlot();
  std::lock_guard<std::mutex> guard(slot.mutex);
  previous_ = std::exchange(slot.starter, starter ? std::move(starter) : defaultThreadStarter());
}

ScopedThreadStarter::~ScopedThreadStarter() {
  StarterSlot& slot = starterSlot();
  std::lock_guard<std::mutex> guard(slot.mutex);
  slot.starter = std::move(previous_);
}

ThreadStartError::ThreadStartError(const std::string& cause)
    : std::runtime_error("Could not start a thread of a task group: " + cause) {}

namespace detail {

void runOnHelpers(std::size_t helpers, const std::function<void()>& work) {
  const ThreadStarter start = currentThreadStarter();
  StartGate gate;
  std::vector<std::jthread> threads;
  threads.reserve(helpers);
  // Whichever way this function is left, the gate is settled before the threads are joined.
  struct Release {
    StartGate& gate;
    ~Release() { gate.fail(); }
  } release{gate};

  std::string failure;
  for (std::size_t i = 0; i < helpers && failure.empty(); ++i) {
    try {
      std::jthread thread = start([&gate, &work] {
        if (gate.pass()) work();
      });
      if (thread.joinable()) {
        threads.push_back(std::move(thread));
      } else {
        failure = "the thread starter returned no thread";
      }
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "unknown error";
    }
  }
  if (!failure.empty()) {
    gate.fail();
    threads.clear();
    throw ThreadStartError(failure);
  }
  gate.open();
  work();
}

}  // namespace detail
}  // namespace platform::sync
