#include "core/vector_ops.hpp"

#include <algorithm>
#include <cmath>
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

}  // namespace

void scale(std::span<const float> in, float factor, std::span<float> out) {
  requireSameLength(in, out, "vec::scale: spans of different lengths");
  for (std::size_t i = 0; i < in.size(); ++i) out[i] = in[i] * factor;
}

float maximum(std::span<const float> in) {
  float best = kNegativeInfinity;
  for (float v : in) {
    if (v > best) best = v;
  }
  return best;
}

std::optional<std::size_t> argmax(std::span<const float> in) {
  std::optional<std::size_t> best;
  float bestValue = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float v = in[i];
    if (std::isnan(v)) continue;
    if (!best || v > bestValue) {
      best = i;
      bestValue = v;
    }
  }
  return best;
}

float logSumExp(std::span<const float> in) {
  const float m = maximum(in);
  if (std::isinf(m)) return m;  // -inf: nothing to add; +inf dominates
  double sum = 0;
  for (float v : in) {
    if (!std::isnan(v)) sum += static_cast<double>(std::exp(v - m));
  }
  return static_cast<float>(static_cast<double>(m) + std::log(sum));
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
  double sum = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const float e = std::exp(in[i] - m);
    out[i] = e;
    if (!std::isnan(e)) sum += static_cast<double>(e);
  }
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
    if (best.size() == k && !ranksAbove(v, i, best.back().value, best.back().index)) continue;
    auto at = std::upper_bound(best.begin(), best.end(), Candidate{v, i}, [](const Candidate& a, const Candidate& b) {
      return ranksAbove(a.value, a.index, b.value, b.index);
    });
    best.insert(at, Candidate{v, i});
    if (best.size() > k) best.pop_back();
  }
  return best;
}

}  // namespace noxtal::vec
