#include "platform/ml/float16.hpp"

#include <bit>
#include <cmath>

#include "platform/ml/ml_error.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace platform::ml {

// binary32 layout: sign 1, exponent 8 (bias 127), mantissa 23.
// binary16 layout: sign 1, exponent 5 (bias 15), mantissa 10.
Float16 float16FromFloat(float value) {
  const std::uint32_t x = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((x >> 16) & 0x8000u);
  const std::uint32_t magnitude = x & 0x7fffffffu;
  if (magnitude >= 0x7f800000u) {
    if (magnitude > 0x7f800000u) {
      // NaN: quiet, keeping the high payload bits.
      return {static_cast<std::uint16_t>(sign | 0x7e00u | ((magnitude >> 13) & 0x3ffu))};
    }
    return {static_cast<std::uint16_t>(sign | 0x7c00u)};
  }
  // 65520 is halfway between 65504 (odd mantissa) and the next power of two: ties to infinity.
  if (magnitude >= 0x477ff000u) return {static_cast<std::uint16_t>(sign | 0x7c00u)};
  if (magnitude < 0x38800000u) {
    // Below the smallest normal half (2^-14): a subnormal half in units of 2^-24.
    const std::uint32_t exponent = magnitude >> 23;
    const std::uint32_t mantissa = (magnitude & 0x7fffffu) | 0x800000u;
    const std::uint32_t shift = 126u - exponent;
    if (exponent == 0 || shift > 24) return {sign};
    std::uint32_t q = mantissa >> shift;
    const std::uint32_t rest = mantissa & ((1u << shift) - 1u);
    const std::uint32_t half = 1u << (shift - 1u);
    if (rest > half || (rest == half && (q & 1u))) ++q;  // may carry into the smallest normal
    return {static_cast<std::uint16_t>(sign | q)};
  }
  const std::uint32_t exponent = (magnitude >> 23) - 127u + 15u;
  const std::uint32_t mantissa = magnitude & 0x7fffffu;
  std::uint32_t q = (exponent << 10) | (mantissa >> 13);
  const std::uint32_t rest = mantissa & 0x1fffu;
  if (rest > 0x1000u || (rest == 0x1000u && (q & 1u))) ++q;  // a carry moves into the exponent
  return {static_cast<std::uint16_t>(sign | q)};
}

float float16ToFloat(Float16 value) {
  const std::uint32_t h = value.bits;
  const std::uint32_t sign = (h & 0x8000u) << 16;
  std::uint32_t exponent = (h >> 10) & 0x1fu;
  std::uint32_t mantissa = h & 0x3ffu;
  std::uint32_t bits = 0;
  if (exponent == 0) {
    if (mantissa == 0) {
      bits = sign;
    } else {
      // Subnormal half: normalise into a float.
      int e = 1;
      while ((mantissa & 0x400u) == 0) {
        mantissa <<= 1;
        --e;
      }
      mantissa &= 0x3ffu;
      bits = sign | (static_cast<std::uint32_t>(e + 112) << 23) | (mantissa << 13);
    }
  } else if (exponent == 31) {
    bits = sign | 0x7f800000u | (mantissa << 13);
    if (mantissa != 0) bits |= 0x400000u;  // quiet NaN
  } else {
    bits = sign | ((exponent + 112u) << 23) | (mantissa << 13);
  }
  return std::bit_cast<float>(bits);
}

Float16 float16FromDouble(double value) {
  if (std::isnan(value)) return float16FromFloat(static_cast<float>(value));
  const std::uint16_t sign = std::signbit(value) ? 0x8000u : 0u;
  const double magnitude = std::fabs(value);
  if (magnitude >= 65520.0) return {static_cast<std::uint16_t>(sign | 0x7c00u)};
  // Rounding through float can round twice; compare the candidate with its neighbour on the
  // side of the exact value and keep the nearer one (ties to the even bit pattern).
  Float16 candidate = float16FromFloat(static_cast<float>(magnitude));
  if ((candidate.bits & 0x7c00u) == 0x7c00u) candidate.bits = 0x7bffu;
  const double v = float16ToFloat(candidate);
  if (v != magnitude) {
    const std::uint16_t otherBits = magnitude > v ? candidate.bits + 1 : candidate.bits - 1;
    if ((otherBits & 0x7c00u) != 0x7c00u) {
      const double other = float16ToFloat(Float16{otherBits});
      const double dv = std::fabs(magnitude - v);
      const double dother = std::fabs(magnitude - other);
      if (dother < dv || (dother == dv && (otherBits & 1u) == 0)) candidate.bits = otherBits;
    }
  }
  return {static_cast<std::uint16_t>(sign | candidate.bits)};
}

#if defined(__x86_64__)
namespace {

bool hasF16c() {
  // F16C through CPUID leaf 1 (clang 14's __builtin_cpu_supports does not know "f16c").
  static const bool supported = [] {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_F16C) != 0;
  }();
  return supported;
}

__attribute__((target("avx,f16c"))) void halfToFloatF16c(const Float16* source, float* destination, std::size_t count) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    _mm256_storeu_ps(destination + i, _mm256_cvtph_ps(h));
  }
  for (; i < count; ++i) destination[i] = float16ToFloat(source[i]);
}

__attribute__((target("avx,f16c"))) void floatToHalfF16c(const float* source, Float16* destination, std::size_t count) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 f = _mm256_loadu_ps(source + i);
    const __m128i h = _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), h);
  }
  for (; i < count; ++i) destination[i] = float16FromFloat(source[i]);
}

}  // namespace
#endif

void convertFloat16ToFloat32(std::span<const Float16> source, std::span<float> destination) {
  requireThat(source.size() == destination.size(), "convertFloat16ToFloat32: size mismatch");
#if defined(__x86_64__)
  if (hasF16c()) {
    halfToFloatF16c(source.data(), destination.data(), source.size());
    return;
  }
#endif
  for (std::size_t i = 0; i < source.size(); ++i) destination[i] = float16ToFloat(source[i]);
}

void convertFloat32ToFloat16(std::span<const float> source, std::span<Float16> destination) {
  requireThat(source.size() == destination.size(), "convertFloat32ToFloat16: size mismatch");
#if defined(__x86_64__)
  if (hasF16c()) {
    floatToHalfF16c(source.data(), destination.data(), source.size());
    return;
  }
#endif
  for (std::size_t i = 0; i < source.size(); ++i) destination[i] = float16FromFloat(source[i]);
}

}  // namespace platform::ml
