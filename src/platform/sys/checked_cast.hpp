// The one checked conversion from floating point to integers.
//
// A plain static_cast of a NaN or out-of-range double to an integer is undefined behaviour.
// Every such conversion in the project goes through these helpers.
#pragma once

#include <cmath>
#include <limits>
#include <optional>
#include <type_traits>

namespace platform::sys {

// `value` truncated toward zero, or absent when it is NaN or outside the range of I.
template <class I, class F>
std::optional<I> checkedIntegerCast(F value) {
  static_assert(std::is_integral_v<I> && std::is_floating_point_v<F>);
  if (std::isnan(value)) return std::nullopt;
  const long double t = std::trunc(static_cast<long double>(value));
  if (t < static_cast<long double>(std::numeric_limits<I>::min()) ||
      t > static_cast<long double>(std::numeric_limits<I>::max())) {
    return std::nullopt;
  }
  return static_cast<I>(t);
}

// `value` truncated toward zero and clamped to the range of I; NaN gives 0.
template <class I, class F>
I saturatingIntegerCast(F value) {
  static_assert(std::is_integral_v<I> && std::is_floating_point_v<F>);
  if (std::isnan(value)) return 0;
  const long double t = std::trunc(static_cast<long double>(value));
  if (t <= static_cast<long double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
  if (t >= static_cast<long double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
  return static_cast<I>(t);
}

}  // namespace platform::sys
