// Plain single-precision vector operations for the decoding code: scaling, softmax,
// log-softmax, log-sum-exp, maximum, argmax and top-k. They stand in for the platform vector
// library that the samplers and the logits filters were written against.
//
// NaN values never win a comparison: maximum, argmax and topK treat them as lower than every
// other value, and the exponential sums leave them out (probability 0). softmax and logSoftmax
// subtract the maximum first, so large logits do not overflow; negative infinity gives
// probability 0. Exponentials are computed four at a time to a relative error below 3e-7;
// sums accumulate in double. Spans of
// different lengths are a programming error (checked). Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace noxtal::vec {

// out[i] = in[i] * factor; `out` may alias `in`.
void scale(std::span<const float> in, float factor, std::span<float> out);

// out[i] = exp(in[i] - m) / sum_j exp(in[j] - m), m the maximum. With no finite maximum the
// result is all 0 when every value is -infinity or NaN, and shares 1 evenly among the +infinity
// entries otherwise. `out` may alias `in`.
void softmax(std::span<const float> in, std::span<float> out);
// out[i] = in[i] - logSumExp(in); all -infinity when logSumExp is -infinity. `out` may alias.
void logSoftmax(std::span<const float> in, std::span<float> out);

// log(sum_i exp(in[i])), computed around the maximum; -infinity for an empty span or when every
// value is -infinity, +infinity when a value is +infinity. NaN values are left out.
float logSumExp(std::span<const float> in);
// The largest value; -infinity for an empty span (or only NaN values).
float maximum(std::span<const float> in);
// The position of the largest value, the first one on ties; absent for an empty span or when
// every value is NaN.
std::optional<std::size_t> argmax(std::span<const float> in);

struct Candidate {
  float value = 0;
  std::size_t index = 0;
  friend bool operator==(const Candidate&, const Candidate&) = default;
};
// The min(k, size) largest values with their positions, in descending order of value, equal
// values by ascending position. NaN values come last.
std::vector<Candidate> topK(std::span<const float> in, std::size_t k);

}  // namespace noxtal::vec
