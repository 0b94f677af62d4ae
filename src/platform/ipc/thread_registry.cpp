#include "platform/ipc/thread_registry.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/ipc/ipc_log.hpp"
#include "platform/log/log.hpp"
#include "platform/sys/error_description.hpp"

namespace platform::ipc {
namespace {

const log::Logger& logger() { return ipcLogger(); }

struct Registry {
  std::mutex mutex;
  std::condition_variable changed;
  // guarded by mutex:
  std::set<std::thread::id> running;
  std::vector<std::thread> handedOff;  // joinable; joined once their id has left `running`
  std::function<void()> stop;
};

// Joins the handed-off threads that have ended. Never under the registry's mutex.
void joinEnded(Registry& r) {
  std::vector<std::thread> ended;
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    auto split = std::partition(r.handedOff.begin(), r.handedOff.end(),
                                [&](const std::thread& t) { return r.running.count(t.get_id()) != 0; });
    ended.assign(std::make_move_iterator(split), std::make_move_iterator(r.handedOff.end()));
    r.handedOff.erase(split, r.handedOff.end());
  }
  for (auto& t : ended) t.join();
}

bool stopAndJoin(Registry& r, std::chrono::milliseconds patience) {
  std::function<void()> stop;
  {
    std::lock_guard<std::mutex> guard(r.mutex);
    stop = r.stop;
  }
  if (stop) stop();
  const auto self = std::this_thread::get_id();
  bool all;
  {
    std::unique_lock<std::mutex> lock(r.mutex);
    all = r.changed.wait_for(lock, patience, [&] {
      return r.running.empty() || (r.running.size() == 1 && r.running.count(self) == 1);
    });
  }
  joinEnded(r);
  if (!all) logger().error("threads of a connection still run after " + std::to_string(patience.count()) + " ms");
  return all;
}

struct AtExit {
  explicit AtExit(Registry& r) : registry(r) {
    // Made first, destroyed after this step: the log state the threads write to.
    (void)log::minimumLevel();
    (void)logger();
  }
  ~AtExit() { stopAndJoin(registry, kExitPatience); }
  Registry& registry;
};

Registry& registry() {
  static Registry* r = new Registry();
  static AtExit atExit(*r);
  return *r;
}

}  // namespace

std::thread startThread(std::function<void()> body) {
  auto& r = registry();
  joinEnded(r);
  // Created under the lock, so the thread is counted before it can count itself ended.
  std::lock_guard<std::mutex> guard(r.mutex);
  std::thread t([&r, body = std::move(body)]() mutable {
    try {
      auto run = std::move(body);
      run();
    } catch (...) {
      // The threads' bodies handle their own failures; this keeps a miss from ending the process.
      logger().error("a thread of a connection failed: " + sys::describeError(std::current_exception()));
    }
    {
      std::lock_guard<std::mutex> g(r.mutex);
      r.running.erase(std::this_thread::get_id());
    }
    r.changed.notify_all();
  });
  r.running.insert(t.get_id());
  return t;
}

void handOver(std::thread& t) {
  if (!t.joinable()) return;
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.handedOff.push_back(std::move(t));
}

void joinOrHandOff(std::thread& t) {
  if (!t.joinable()) return;
  if (t.get_id() == std::this_thread::get_id()) {
    handOver(t);
    return;
  }
  t.join();
  joinEnded(registry());
}

void setStopAtExit(std::function<void()> stop) {
  auto& r = registry();
  std::lock_guard<std::mutex> guard(r.mutex);
  r.stop = std::move(stop);
}

ThreadCounts threadCounts() {
  auto& r = registry();
  joinEnded(r);
  std::lock_guard<std::mutex> guard(r.mutex);
  return ThreadCounts{r.running.size(), r.handedOff.size()};
}

bool stopAndJoinThreads(std::chrono::milliseconds patience) { return stopAndJoin(registry(), patience); }

}  // namespace platform::ipc
