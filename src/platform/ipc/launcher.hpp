// Starting the worker executable on demand, and keeping account of what was started.
//
// spawnWorker() starts $VELMORIA_WORKER_PATH (default: "transcriber-worker" beside the calling
// executable, else found on PATH) with the caller's environment, and a reaper thread waits for
// the child, logs its exit status and keeps it. waitForLaunchedWorkers() gives the records.
// Thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace platform::ipc {

struct LaunchedWorker {
  pid_t pid = 0;
  std::optional<int> waitStatus;  // the raw waitpid status once the child has ended
  bool ended() const { return waitStatus.has_value(); }
};

// The executable to start: $VELMORIA_WORKER_PATH, else "transcriber-worker" beside
// /proc/self/exe when it exists there, else the bare name (looked up on PATH at spawn).
std::filesystem::path workerExecutable();

// Starts the worker; returns its pid, or absent (after logging why) when it cannot be started.
std::optional<pid_t> spawnWorker();

// True once the child `pid` started by spawnWorker() has ended (been reaped).
bool launchedWorkerEnded(pid_t pid);

// Waits until every child started so far has ended or `timeout` passed; returns all records
// (ended or not), in spawn order.
std::vector<LaunchedWorker> waitForLaunchedWorkers(std::chrono::milliseconds timeout);

}  // namespace platform::ipc
