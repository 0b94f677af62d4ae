#include "platform/ipc/launcher.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/ipc/ipc_log.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/mutex.hpp"

extern char** environ;

namespace platform::ipc {
namespace {

const log::Logger& logger() { return ipcLogger(); }

struct Registry {
  sync::Mutex mutex;
  std::condition_variable_any changed;
  std::vector<LaunchedWorker> workers;  // guarded by mutex
};

Registry& registry() {
  // Never destroyed: reaper threads may finish while the process exits.
  static Registry* r = new Registry();
  return *r;
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "killed by signal " + std::to_string(WTERMSIG(status));
  return "ended with wait status " + std::to_string(status);
}

void reap(pid_t pid) {
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) status = -1;
  logger().info("worker pid=" + std::to_string(pid) + " " + describeStatus(status));
  auto& reg = registry();
  {
    std::lock_guard<sync::Mutex> guard(reg.mutex);
    for (auto& w : reg.workers) {
      if (w.pid == pid) w.waitStatus = status;
    }
  }
  reg.changed.notify_all();
}

}  // namespace

std::filesystem::path workerExecutable() {
  if (const char* v = std::getenv("VELMORIA_WORKER_PATH"); v && *v) return v;
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const auto beside = self.parent_path() / "transcriber-worker";
    if (::access(beside.c_str(), X_OK) == 0) return beside;
  }
  return "transcriber-worker";
}

std::optional<pid_t> spawnWorker() {
  const std::string path = workerExecutable().string();
  char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
  pid_t pid = 0;
  auto& reg = registry();
  int rc;
  {
    // Registered under the lock so that the reaper always finds the record.
    std::lock_guard<sync::Mutex> guard(reg.mutex);
    const bool searchPath = path.find('/') == std::string::npos;
    rc = searchPath ? ::posix_spawnp(&pid, path.c_str(), nullptr, nullptr, argv, environ)
                    : ::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ);
    if (rc == 0) reg.workers.push_back(LaunchedWorker{pid, std::nullopt});
  }
  if (rc != 0) {
    logger().error("cannot start worker " + path + ": " + std::strerror(rc));
    return std::nullopt;
  }
  logger().info("started worker " + path + " pid=" + std::to_string(pid));
  std::thread([pid] {
    try {
      reap(pid);
    } catch (const std::exception& e) {
      logger().error("worker pid=" + std::to_string(pid) + " not reaped: " + e.what());
    }
  }).detach();
  return pid;
}

bool launchedWorkerEnded(pid_t pid) {
  auto& reg = registry();
  std::lock_guard<sync::Mutex> guard(reg.mutex);
  return std::any_of(reg.workers.begin(), reg.workers.end(),
                     [&](const LaunchedWorker& w) { return w.pid == pid && w.ended(); });
}

std::vector<LaunchedWorker> waitForLaunchedWorkers(std::chrono::milliseconds timeout) {
  auto& reg = registry();
  std::unique_lock<sync::Mutex> lock(reg.mutex);
  reg.changed.wait_for(lock, timeout, [&] {
    return std::all_of(reg.workers.begin(), reg.workers.end(), [](const LaunchedWorker& w) { return w.ended(); });
  });
  return reg.workers;
}

}  // namespace platform::ipc
