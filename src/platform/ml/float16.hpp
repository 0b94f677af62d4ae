// IEEE 754 binary16 ("half precision") values and conversions.
//
// The conversions are our own so that results are identical on every machine: float to half
// rounds to nearest, ties to even; values from 65520 upwards become infinity; subnormal halves
// are produced and read exactly; NaN stays NaN (quiet, sign and high payload bits kept).
// Bulk conversions use the processor's F16C instructions when present, with the same results.
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace platform::ml {

// One binary16 value, held as its bit pattern. Distinct from std::uint16_t so that typed views
// of multi-arrays cannot confuse it with an integer.
struct Float16 {
  std::uint16_t bits = 0;

  friend bool operator==(Float16 a, Float16 b) { return a.bits == b.bits; }
};

// The binary16 value nearest to `value` (ties to even).
Float16 float16FromFloat(float value);
// The exact float value of `value`.
float float16ToFloat(Float16 value);
// The binary16 value nearest to `value`, rounded once (not through float).
Float16 float16FromDouble(double value);

// Converts `source` element by element into `destination`. Both spans must have the same size
// (checked; a mismatch is a programming error and aborts).
void convertFloat16ToFloat32(std::span<const Float16> source, std::span<float> destination);
void convertFloat32ToFloat16(std::span<const float> source, std::span<Float16> destination);

}  // namespace platform::ml
