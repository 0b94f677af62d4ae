#include "platform/sys/clock.hpp"

#include <cstdio>
#include <ctime>

namespace platform::sys {

double absoluteTime(std::chrono::system_clock::time_point time) {
  const std::chrono::duration<double> sinceUnixEpoch = time.time_since_epoch();
  return sinceUnixEpoch.count() - kUnixTimeOfReferenceDate;
}

double absoluteTimeNow() { return absoluteTime(std::chrono::system_clock::now()); }

std::string dateDescription(std::chrono::system_clock::time_point time) {
  // floor, not truncation, so a time before 1970 still names the second it falls in.
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const std::chrono::year_month_day date{std::chrono::floor<std::chrono::days>(seconds)};
  const std::chrono::hh_mm_ss clock{seconds - std::chrono::floor<std::chrono::days>(seconds)};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d +0000", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return buffer;
}

std::string dateDescriptionNow() { return dateDescription(std::chrono::system_clock::now()); }

}  // namespace platform::sys
