// The one set of checked numeric conversions: every narrowing of a number read from outside
// (JSON records, configuration values) goes through these, so that no reader has its own
// range rules and none performs a conversion whose result C++ leaves undefined.
//
//   checkedFloatCast(double)         -> float, absent when a finite value overflows the float range
//   exactIntegerCast<I>(double)      -> I, absent unless the value is integral and within I
//   checkedIntegralCast<I>(integer)  -> I, absent unless the value is within I (signed/unsigned mixes
//                                       included)
//
// All functions are pure and thread-safe. Truncating conversions of computed floating values
// (frame counts, sample offsets) use checkedIntegerCast in checked_cast.hpp.
#pragma once

#include <cfloat>
#include <cmath>
#include <concepts>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/sys/checked_cast.hpp"

namespace platform::sys {

// FLT_MAX plus half an ulp (2^128 - 2^103): the smallest magnitude that round-to-nearest
// takes to an infinity (FLT_MAX's last significand bit is odd, so the tie goes up).
inline constexpr double kFloatOverflowThreshold = 0x1.ffffffp127;

// The float nearest to `value`, as IEEE round-to-nearest-even gives it: finite magnitudes
// below kFloatOverflowThreshold give a finite float (those above FLT_MAX give FLT_MAX), values
// below the smallest denormal round to a zero of the same sign. Infinities and NaN carry over
// unchanged. Absent when a finite value would round to an infinity.
inline std::optional<float> checkedFloatCast(double value) {
  if (!std::isfinite(value)) return static_cast<float>(value);
  const double magnitude = std::fabs(value);
  if (magnitude >= kFloatOverflowThreshold) return std::nullopt;
  // Between FLT_MAX and the threshold the double is outside the float range, where the
  // language does not define the conversion: give the rounded result explicitly.
  if (magnitude > static_cast<double>(FLT_MAX)) return value > 0 ? FLT_MAX : -FLT_MAX;
  return static_cast<float>(value);
}

// `value` as I when it is an integer that I holds exactly (3.0 -> 3, -0.0 -> 0); absent for
// fractions, NaN, infinities and values outside I's range. The bounds are powers of two, so
// the range test is exact for 64-bit types too.
template <std::integral I>
requires(!std::same_as<I, bool>) std::optional<I> exactIntegerCast(double value) {
  if (!std::isfinite(value) || std::trunc(value) != value) return std::nullopt;
  const double upper = std::ldexp(1.0, std::numeric_limits<I>::digits);  // one past the maximum
  const double lower = std::is_signed_v<I> ? -upper : 0.0;
  if (value < lower || value >= upper) return std::nullopt;
  return static_cast<I>(value);
}

// `value` as To when To holds it (negative values never fit an unsigned type; unsigned values
// above To's maximum never fit); absent otherwise.
template <std::integral To, std::integral From>
requires(!std::same_as<To, bool> && !std::same_as<From, bool>) std::optional<To> checkedIntegralCast(From value) {
  if (!std::in_range<To>(value)) return std::nullopt;
  return static_cast<To>(value);
}

}  // namespace platform::sys
