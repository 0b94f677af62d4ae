// The operating-system version that version-dependent defaults are chosen by.
//
// The libraries pick model variants by thresholds of the original platform's release numbers
// (14.0.0, 15.0.0). On Linux there is no such release, so the query reports the newest level the
// libraries know, 15.0.0, and every default takes its most capable branch. Pure; thread-safe.
#pragma once

#include <compare>
#include <string>

namespace platform::sys {

struct OperatingSystemVersion {
  int majorVersion = 0;
  int minorVersion = 0;
  int patchVersion = 0;

  // Ordered by major, then minor, then patch.
  auto operator<=>(const OperatingSystemVersion&) const = default;
  // True when this version is `other` or later.
  bool isAtLeast(const OperatingSystemVersion& other) const { return *this >= other; }
  // "15.0.0".
  std::string description() const;
};

// The running system's version as the version-dependent defaults see it: 15.0.0 on Linux.
OperatingSystemVersion operatingSystemVersion();

}  // namespace platform::sys
