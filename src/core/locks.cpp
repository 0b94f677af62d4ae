#include "core/locks.hpp"

#include "platform/sys/system.hpp"

namespace noxtal {

int ConcurrencyUtilities::activeProcessorCount() { return platform::sys::activeProcessorCount(); }

}  // namespace noxtal
