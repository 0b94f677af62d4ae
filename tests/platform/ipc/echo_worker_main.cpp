// The echo worker: a service process like the transcription worker, serving EchoService.
// It counts its connections and ends with status 0 when the last one is invalidated.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "echo_service.hpp"
#include "platform/ipc/listener.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/mutex.hpp"

int main() {
  const platform::log::Logger logger("echo", "EchoWorker");
  std::unique_ptr<platform::ipc::Listener> listener;
  try {
    listener = platform::ipc::Listener::service("echo");
  } catch (const std::exception& e) {
    logger.error(std::string("cannot listen: ") + e.what());
    return 1;
  }
  if (!listener) return 0;
  static platform::sync::Locked<std::int64_t> count{0};
  listener->setDelegate([&logger](const std::shared_ptr<platform::ipc::Connection>& connection) {
    count.withLock([](std::int64_t& c) { ++c; });
    echo::configureServiceSide(connection);
    connection->setInvalidationHandler([&logger] {
      const std::int64_t left = count.withLock([](std::int64_t& c) { return --c; });
      if (left == 0) {
        logger.info("echo worker exiting pid=" + std::to_string(::getpid()) + " (no active connections)");
        ::_exit(0);
      }
    });
    connection->resume();
    return true;
  });
  listener->resume();
  return 0;
}
