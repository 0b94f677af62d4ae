// Dates as the worker's records carry them: seconds since the reference date, 1 January 2001
// 00:00:00 UTC (the absolute time of clock.hpp), and back to the system clock.
//
// Used by the transcript records (creation dates in their JSON form). Pure functions:
// thread-safe, never throw.
#pragma once

#include <chrono>
#include <optional>

#include "platform/sys/clock.hpp"

namespace platform::sys {

// Seconds since 1 January 1970 of a time given in seconds since the reference date.
constexpr double unixTimeFromAbsoluteTime(double absolute) { return absolute + kUnixTimeOfReferenceDate; }
// Seconds since the reference date of a time given in seconds since 1 January 1970.
constexpr double absoluteTimeFromUnixTime(double unixTime) { return unixTime - kUnixTimeOfReferenceDate; }

// The system-clock time `absolute` seconds after the reference date (negative: before it),
// rounded to the clock's resolution. Absent when `absolute` is not finite or the time lies
// outside the clock's range.
std::optional<std::chrono::system_clock::time_point> dateFromAbsoluteTime(double absolute);

}  // namespace platform::sys
