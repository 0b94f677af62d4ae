// The platform's wall-clock readings in the forms the libraries log and record: the absolute
// time (seconds since 1 January 2001, 00:00:00 UTC, the reference date of the original
// platform's clock) and the date description "yyyy-MM-dd HH:mm:ss +0000" (UTC).
//
// All functions are thread-safe and never throw.
#pragma once

#include <chrono>
#include <string>

namespace platform::sys {

// Seconds between 1 January 1970 and 1 January 2001, both at 00:00:00 UTC.
inline constexpr double kUnixTimeOfReferenceDate = 978'307'200.0;

// Seconds since 1 January 2001 00:00:00 UTC of `time` (negative before it).
double absoluteTime(std::chrono::system_clock::time_point time);
// The same for now.
double absoluteTimeNow();

// "yyyy-MM-dd HH:mm:ss +0000" of `time` in UTC, seconds truncated ("2026-12-09 02:35:01 +0000").
std::string dateDescription(std::chrono::system_clock::time_point time);
// The same for now.
std::string dateDescriptionNow();

}  // namespace platform::sys
