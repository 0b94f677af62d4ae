#include "platform/sys/reference_date.hpp"

#include <cmath>
#include <cstdint>

#include "platform/sys/checked_cast.hpp"

namespace platform::sys {

std::optional<std::chrono::system_clock::time_point> dateFromAbsoluteTime(double absolute) {
  using Clock = std::chrono::system_clock;
  if (!std::isfinite(absolute)) return std::nullopt;
  constexpr double ticksPerSecond = static_cast<double>(Clock::period::den) / static_cast<double>(Clock::period::num);
  const double ticks = std::round((absolute + kUnixTimeOfReferenceDate) * ticksPerSecond);
  const auto count = checkedIntegerCast<Clock::rep>(ticks);
  if (!count) return std::nullopt;
  return Clock::time_point(Clock::duration(*count));
}

}  // namespace platform::sys
