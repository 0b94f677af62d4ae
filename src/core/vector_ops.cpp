#include "core/vector_ops.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "platform/log/check.hpp"

namespace noxtal::vec {

namespace {

constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();

void requireSameLength(std::span<const float> in, std::span<float> out, const char* what) {
  platform::log::requireThat(in.size() == out.size(), what);
}

// a ranks above b: larger value, or equal value and lower position; NaN ranks below all.
bool ranksAbove(float a, std::size_t ia, float b, std::size_t ib) {
  const bool aNan = std::isnan(a);
  const bool bNan = std::isnan(b);
  if (aNan && bNan) return ia < ib;
  if (aNan || bNan) return bNan;
  if (a != b) return a > b;
  return ia < ib;
}

// exp over four floats at once (GCC vector extensions; SSE2 on x86-64). Range reduction
// x = n ln2 + r with |r| <= ln2 / 2, then e^r by its Taylor polynomial of degree 6 (relative
// error below 2e-7) and 2^n through the exponent bits. Below -87.3 (e^x under the smallest
// normal float) and for NaN the result is 0, above 88 it is +infinity (callers pass values
// shifted by their maximum, so at most 0).
using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Float4 splat(float v) { return Float4{v, v, v, v}; }

[[gnu::always_inline]] inline Float4 exp4(Float4 x) {
  const Float4 low = splat(-87.3F);
  const Float4 high = splat(88.0F);
  const Int4 zero = (x < low) | (x != x);
  const Int4 overflow = x > high;
  x = x < low ? low : x;
  x = x > high ? high : x;
  x = x != x ? low : x;
  const Float4 magic = splat(12582912.0F);  // 1.5 x 2^23: adding it rounds to an integer
  const Float4 shifted = x * splat(1.44269504F) + magic;
  const Float4 n = shifted - magic;
  const Float4 r = x - n * splat(0.693145752F) - n * splat(1.42860677e-6F);
  Float4 p = splat(1.0F / 720.0F);
  p = p * r + splat(1.0F / 120.0F);
  p = p * r + splat(1.0F / 24.0F);
  p = p * r + splat(1.0F / 6.0F);
  p = p * r + splat(0.5F);
  p = p * r + splat(1.0F);
  p = p * r + splat(1.0F);
  const Int4 exponent = (__builtin_convertvector(n, Int4) + 127) << 23;
  Float4 scaleBits;
  std::memcpy(&scaleBits, &exponent, sizeof scaleBits);
  Float4 result = p * scaleBits;
  const Float4 infinity = splat(std::numeric_limits<float>::infinity());
  result = overflow ? infinity : result;
  const Float4 none = splat(0.0F);
  return zero ? none : result;
}

[[gnu::always_inline]] inline Float4 load4(const float* p) {
  Float4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// out[i] = exp(in[i] - shift) (out may be null) and the sum of those values. Eight values per
// iteration keep two independent polynomial chains in flight; lanes sum in float over blocks
// of 512 values, blocks in double.
double expShifted(std::span<const float> in, float shift, float* out) {
  constexpr std::size_t kBlock = 512;
  const std::size_t n = in.size();
  const std::size_t whole = n - n % 8;
  const Float4 s = splat(shift);
  double sum = 0;
  for (std::size_t block = 0; block < whole; block += kBlock) {
    const std::size_t end = std::min(whole, block + kBlock);
    Float4 a = splat(0);
    Float4 b = splat(0);
    for (std::size_t i = block; i < end; i += 8) {
      const Float4 e0 = exp4(load4(in.data() + i) - s);
      const Float4 e1 = exp4(load4(in.data() + i + 4) - s);
      if (out != nullptr) {
        std::memcpy(out + i, &e0, sizeof e0);
        std::memcpy(out + i + 4, &e1, sizeof e1);
      }
      a += e0;
      b += e1;
    }
    const Float4 lanes = a + b;
    sum += static_cast<double>(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
  }
  for (std::size_t i = whole; i < n; i += 4) {
    float rest[4] = {0, 0, 0, 0};
    const std::size_t count = std::min<std::size_t>(4, n - i);
    for (std::size_t j = 0; j < count; ++j) rest[j] = in[i + j];
    const Float4 e = exp4(load4(rest) - s);
    for (std::size_t j = 0; j < count; ++j) {
      if (out != nullptr) out[i + j] = e[j];
      sum += static_cast<double>(e[j]);
    }
  }
  return sum;
}

}  // namespace

void scale(std::span<const float> in, float factor, std::span<float> out) {
  requireSameLength(in, out, "vec::scale: spans of different lengths");
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] * factor;
}

float maximum(std::span<const float> in) {
  const std::size_t whole = in.size() - in.size() % 4;
  Float4 best4 = splat(kNegativeInfinity);
  for (std::size_t i = 0; i < whole; i += 4) {
    const Float4 v = load4(in.data() + i);
    best4 = v > best4 ? v : best4;  // NaN compares false and is skipped
  }
  float best = std::max(std::max(best4[0], best4[1]), std::max(best4[2], best4[3]));
  for (std::size_t i = whole; i < in.size(); ++i) {
    if (in[i] > best) best = in[i];
  }
  return best;
}

std::optional<std::size_t> argmax(std::span<const float> in) {
  const float best = maximum(in);
  const auto at = std::find(in.begin(), in.end(), best);
  if (at == in.end()) return std::nullopt;  // empty, or only NaN values
  return static_cast<std::size_t>(at - in.begin());
}

float logSumExp(std::span<const float> in) {
  const float m = maximum(in);
  if (std::isinf(m)) return m;  // -inf: nothing to add; +inf dominates
  return static_cast<float>(static_cast<double>(m) + std::log(expShifted(in, m, nullptr)));
}

void softmax(std::span<const float> in, std::span<float> out) {
  requireSameLength(in, out, "vec::softmax: spans of different lengths");
  const float m = maximum(in);
  if (m == kNegativeInfinity) {
    std::fill(out.begin(), out.end(), 0.0F);
    return;
  }
  if (std::isinf(m)) {
    const auto infinite = static_cast<float>(std::count(in.begin(), in.end(), m));
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] == m ? 1.0F / infinite : 0.0F;
    return;
  }
  const double sum = expShifted(in, m, out.data());
  const auto inverse = static_cast<float>(1.0 / sum);
  for (float& v : out) v *= inverse;
}

void logSoftmax(std::span<const float> in, std::span<float> out) {
  requireSameLength(in, out, "vec::logSoftmax: spans of different lengths");
  const float lse = logSumExp(in);
  if (lse == kNegativeInfinity) {
    std::fill(out.begin(), out.end(), kNegativeInfinity);
    return;
  }
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] - lse;
}

std::vector<Candidate> topK(std::span<const float> in, std::size_t k) {
  k = std::min(k, in.size());
  std::vector<Candidate> best;
  if (k == 0) return best;
  best.reserve(k + 1);
  // One pass keeping the k best in order; k is small next to the vocabulary.
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float v = in[i];
    if (best.size() == k) {
      const float threshold = best.back().value;
      if (v < threshold || (std::isnan(v) && !std::isnan(threshold))) continue;
      if (!ranksAbove(v, i, threshold, best.back().index)) continue;
    }
    auto at = std::upper_bound(best.begin(), best.end(), Candidate{v, i}, [](const Candidate& a, const Candidate& b) {
      return ranksAbove(a.value, a.index, b.value, b.index);
    });
    best.insert(at, Candidate{v, i});
    if (best.size() > k) best.pop_back();
  }
  return best;
}

}  // namespace noxtal::vec
