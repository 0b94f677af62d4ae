// The log of the connection layer (internal to platform::ipc), subsystem "platform", category
// "ipc". Never destroyed: connection threads and the worker reaper may log while the process
// exits.
#pragma once

#include "platform/log/log.hpp"

namespace platform::ipc {

const log::Logger& ipcLogger();

}  // namespace platform::ipc
