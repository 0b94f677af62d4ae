#include "diarization/vector_ops.hpp"

#include <Eigen/Core>

#include "platform/log/check.hpp"

namespace dellomar::vec {

namespace {

constexpr std::size_t kLanes = 8;

// Combines the partial sums pairwise: ((0+1)+(2+3))+((4+5)+(6+7)).
inline float combine(const float (&acc)[kLanes]) {
  return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

template <class Term>
float reduce(std::size_t n, Term term) {
  float acc[kLanes] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (std::size_t l = 0; l < kLanes; ++l) acc[l] += term(i + l);
  }
  for (std::size_t l = 0; i < n; ++i, ++l) acc[l] += term(i);
  return combine(acc);
}

void requireSameLength(std::size_t a, std::size_t b) {
  platform::log::requireThat(a == b, "vector lengths differ");
}

}  // namespace

float distanceSquared(std::span<const float> a, std::span<const float> b) {
  requireSameLength(a.size(), b.size());
  const float* pa = a.data();
  const float* pb = b.data();
  return reduce(a.size(), [pa, pb](std::size_t i) {
    const float d = pa[i] - pb[i];
    return d * d;
  });
}

float sum(std::span<const float> a) {
  const float* pa = a.data();
  return reduce(a.size(), [pa](std::size_t i) { return pa[i]; });
}

float sumOfSquares(std::span<const float> a) {
  const float* pa = a.data();
  return reduce(a.size(), [pa](std::size_t i) { return pa[i] * pa[i]; });
}

float dot(std::span<const float> a, std::span<const float> b) {
  requireSameLength(a.size(), b.size());
  const float* pa = a.data();
  const float* pb = b.data();
  return reduce(a.size(), [pa, pb](std::size_t i) { return pa[i] * pb[i]; });
}

void add(std::span<const float> a, std::span<const float> b, std::span<float> out) {
  requireSameLength(a.size(), b.size());
  requireSameLength(a.size(), out.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
}

void subtract(std::span<const float> a, std::span<const float> b, std::span<float> out) {
  requireSameLength(a.size(), b.size());
  requireSameLength(a.size(), out.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] - b[i];
}

void multiply(std::span<const float> a, std::span<const float> b, std::span<float> out) {
  requireSameLength(a.size(), b.size());
  requireSameLength(a.size(), out.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * b[i];
}

void scale(std::span<const float> a, float scalar, std::span<float> out) {
  requireSameLength(a.size(), out.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * scalar;
}

void matrixMultiply(const float* a, const float* b, float* out, std::size_t m, std::size_t p, std::size_t q) {
  using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  const auto rows = static_cast<Eigen::Index>(m);
  const auto inner = static_cast<Eigen::Index>(p);
  const auto columns = static_cast<Eigen::Index>(q);
  if (m == 0 || q == 0) return;
  Eigen::Map<RowMajor> result(out, rows, columns);
  if (p == 0) {
    result.setZero();
    return;
  }
  const Eigen::Map<const RowMajor> left(a, rows, inner);
  const Eigen::Map<const RowMajor> right(b, inner, columns);
  result.noalias() = left * right;
}

void transpose(const float* a, float* out, std::size_t rows, std::size_t columns) {
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) out[c * rows + r] = a[r * columns + c];
  }
}

}  // namespace dellomar::vec
