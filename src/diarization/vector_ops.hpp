// Single-precision vector kernels of the clustering code: squared distance, sum, sum of
// squares, dot product, element-wise add/subtract/multiply, scaling, row-major matrix product
// and transpose.
//
// Every reduction sums in one fixed order (eight interleaved partial sums combined pairwise), so
// a result depends only on its input, never on the thread or the call. Spans of different
// lengths are a programming error (checked). Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <span>

namespace dellomar::vec {

// Sum over i of (a[i] - b[i])^2.
float distanceSquared(std::span<const float> a, std::span<const float> b);
float sum(std::span<const float> a);
float sumOfSquares(std::span<const float> a);
float dot(std::span<const float> a, std::span<const float> b);
// out[i] = a[i] + b[i]; `out` may alias `a` or `b`.
void add(std::span<const float> a, std::span<const float> b, std::span<float> out);
void subtract(std::span<const float> a, std::span<const float> b, std::span<float> out);
void multiply(std::span<const float> a, std::span<const float> b, std::span<float> out);
// out[i] = a[i] * scalar; `out` may alias `a`.
void scale(std::span<const float> a, float scalar, std::span<float> out);
// out (m x q) = a (m x p) * b (p x q), all row-major and contiguous; `out` must not alias.
void matrixMultiply(const float* a, const float* b, float* out, std::size_t m, std::size_t p, std::size_t q);
// out (columns x rows) = transpose of a (rows x columns); `out` must not alias.
void transpose(const float* a, float* out, std::size_t rows, std::size_t columns);

}  // namespace dellomar::vec
