#include "platform/ipc/ipc_log.hpp"

namespace platform::ipc {

const log::Logger& ipcLogger() {
  static const log::Logger* logger = new log::Logger("platform", "ipc");
  return *logger;
}

}  // namespace platform::ipc
