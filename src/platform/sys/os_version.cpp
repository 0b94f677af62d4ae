#include "platform/sys/os_version.hpp"

namespace platform::sys {

std::string OperatingSystemVersion::description() const {
  return std::to_string(majorVersion) + "." + std::to_string(minorVersion) + "." + std::to_string(patchVersion);
}

OperatingSystemVersion operatingSystemVersion() { return {15, 0, 0}; }

}  // namespace platform::sys
