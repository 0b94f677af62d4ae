#include "host/worker_host.hpp"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/transcriber_service.hpp"
#include "platform/ipc/listener.hpp"
#include "platform/log/log.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/sys/error_description.hpp"
#include "platform/sys/system.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace velmoria {
namespace {

using platform::ipc::Connection;

constexpr std::chrono::milliseconds kDefaultIdlePeriod{30000};

const platform::log::Logger& hostLogger() {
  static const platform::log::Logger l("com.velmoria.transcriber", "TranscriberXPCHost");
  return l;
}

// `text` with its "%d" replaced by the worker's own process id.
std::string withPid(std::string_view text) {
  std::string line(text);
  const auto at = line.find("%d");
  if (at != std::string::npos) line.replace(at, 2, std::to_string(::getpid()));
  return line;
}

// The process-wide state of the worker: the connection counter and the listener.
struct WorkerState {
  std::mutex mutex;
  std::int64_t count = 0;                        // guarded by mutex: connections not yet invalidated
  std::int64_t accepted = 0;                     // guarded by mutex: connections ever accepted
  platform::ipc::Listener* listener = nullptr;   // guarded by mutex: set while accepting
};

WorkerState& workerState() {
  static WorkerState s;
  return s;
}

// Ends the process: no connection is left. Called with the state's mutex held, which is never
// released, so no connection is accepted or counted meanwhile.
[[noreturn]] void exitWithNoConnections(WorkerState& state) {
  try {
    if (state.listener) state.listener->close();
    hostLogger().info(withPid("XPC host exiting pid=%d (no active connections)"));
  } catch (...) {
    // On its way out: the exit itself must still happen.
  }
  ::_exit(0);
}

void countDown() {
  auto& state = workerState();
  std::unique_lock<std::mutex> lock(state.mutex);
  --state.count;
  if (state.count == 0) exitWithNoConnections(state);
}

// How long a worker without any connection waits before it exits.
std::chrono::milliseconds idlePeriod() {
  const char* text = std::getenv("VELMORIA_WORKER_IDLE_SECONDS");
  if (!text || !*text) return kDefaultIdlePeriod;
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text, &end);
  std::optional<std::int64_t> ms;
  if (errno == 0 && end && *end == '\0' && std::isfinite(seconds) && seconds >= 0) {
    ms = platform::sys::checkedIntegerCast<std::int64_t>(std::ceil(seconds * 1000.0));
  }
  if (!ms) {
    hostLogger().notice(std::string("VELMORIA_WORKER_IDLE_SECONDS is not a number of seconds: ") + text +
                        "; using 30");
    return kDefaultIdlePeriod;
  }
  return std::chrono::milliseconds(*ms);
}

void startIdleWatch() {
  const auto period = idlePeriod();
  std::thread([period] {
    std::this_thread::sleep_for(period);
    auto& state = workerState();
    std::unique_lock<std::mutex> lock(state.mutex);
    if (state.accepted == 0 && state.listener) exitWithNoConnections(state);
  }).detach();
}

bool acceptConnection(const TranscriptionEngineFactory& factory, const std::shared_ptr<Connection>& connection) {
  auto& state = workerState();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    ++state.count;
    ++state.accepted;
  }
  hostLogger().info(withPid("Accepted new XPC connection pid=%d"));
  try {
    connection->setExportedInterface(transcriberServiceInterface());
    connection->setRemoteObjectInterface(transcriberStatusReportingInterface());
    std::shared_ptr<TranscriptionEngine> engine = factory();
    if (!engine) throw std::runtime_error("no engine for it");
    auto service = std::make_shared<TranscriberService>(std::move(engine), connection);
    connection->setExportedObject(std::make_shared<TranscriberServiceExporter>(std::move(service)));
    connection->setInterruptionHandler(
        [] { hostLogger().info(withPid("Service-side connection interrupted pid=%d")); });
    connection->setInvalidationHandler([] {
      hostLogger().info(withPid("Service-side connection invalidated pid=%d"));
      countDown();
    });
  } catch (...) {
    hostLogger().error("cannot serve the new connection: " +
                       platform::sys::describeError(std::current_exception(), "unknown failure"));
    // Refused: the listener closes it, and it counts as gone.
    countDown();
    return false;
  }
  // What resume() throws reaches the listener, which invalidates the connection: the
  // invalidation handler counts it down.
  connection->resume();
  return true;
}

}  // namespace

int runWorker(TranscriptionEngineFactory factory) {
  if (::chdir("/") != 0) hostLogger().error(std::string("cannot change to /: ") + std::strerror(errno));
  // Every call runs on a thread of its own. With the allocator's adaptive defaults each of them
  // maps and zeroes the models' working buffers afresh, which doubles a request's time; blocks
  // up to this size stay in the heap instead (unloadModels hands them back).
  constexpr std::size_t kHeapKeptBlockBytes = std::size_t{256} << 20;
  if (!platform::sys::keepLargeAllocationsInHeap(kHeapKeptBlockBytes)) {
    hostLogger().info("the allocator keeps its default thresholds");
  }
  hostLogger().info(withPid("XPC host process started pid=%d"));
  std::unique_ptr<platform::ipc::Listener> listener;
  try {
    listener = platform::ipc::Listener::service(kTranscriberServiceName);
  } catch (const std::exception& e) {
    hostLogger().error(std::string("cannot listen: ") + e.what());
    return 1;
  }
  if (!listener) return 0;  // another worker serves this service
  auto& state = workerState();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    state.listener = listener.get();
  }
  startIdleWatch();
  listener->setDelegate(
      [&factory](const std::shared_ptr<Connection>& connection) { return acceptConnection(factory, connection); });
  listener->resume();
  {
    // While the worker exits, the exiting thread holds the mutex until the process ends.
    std::lock_guard<std::mutex> guard(state.mutex);
    state.listener = nullptr;
  }
  hostLogger().info(withPid("Listener resumed pid=%d"));
  return 0;
}

}  // namespace velmoria
