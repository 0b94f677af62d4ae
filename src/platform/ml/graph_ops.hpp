// Tensor operations of the graph backend.
//
// Each operation reads its operands and returns a new array (or, for reshape, a view). Numeric
// operations compute in float32 (other operand types are converted first) and sum in a fixed
// order, so results are bit-identical from run to run; data-movement operations keep the
// element type. Shape errors throw PredictionError with a message that the caller prefixes with
// the node's name. Pure functions, thread-safe on distinct outputs.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "platform/ml/multi_array.hpp"

namespace platform::ml::ops {

// `axis` counted from the end when negative; throws PredictionError when outside the rank.
std::int64_t normalizedAxis(std::int64_t axis, std::size_t rank);

// One dimension of `target` may be -1 (inferred). A view of the same storage.
MultiArray reshape(const MultiArray& input, const Shape& target);
// Output dimension i is input dimension perm[i].
MultiArray transpose(const MultiArray& input, std::span<const std::int64_t> perm);
// Elements begin, begin + step, ... below end along `axis` (negative begin and end count from
// the end; both are clamped to the dimension). step > 0.
MultiArray slice(const MultiArray& input, std::int64_t axis, std::int64_t begin, std::int64_t end, std::int64_t step);
// pads[i] = (before, after) for dimension i; new elements hold `value`.
MultiArray pad(const MultiArray& input, std::span<const std::pair<std::int64_t, std::int64_t>> pads, double value);
// Joins along `axis`; the other dimensions must agree. Operands take the first one's type.
MultiArray concat(std::span<const MultiArray> inputs, std::int64_t axis);
// Picks slices of `data` along `axis` at `indices` (integers; negative counts from the end).
// Output shape: data[:axis] + indices + data[axis+1:].
MultiArray gather(const MultiArray& data, const MultiArray& indices, std::int64_t axis);
// Sliding windows of `size` elements every `hop` along `axis`: that dimension n becomes
// [count, size] with count = (n - size) / hop + 1 (0 when n < size).
MultiArray frame(const MultiArray& input, std::int64_t axis, std::int64_t size, std::int64_t hop);
// [..., m, k] x [..., k, n] -> [..., m, n]; leading dimensions broadcast. Rank >= 2.
MultiArray matmul(const MultiArray& a, const MultiArray& b);

enum class Binary { add, sub, mul, div, greater, maximum, minimum };
// Element-wise with numpy broadcasting; greater gives 1 or 0; maximum and minimum give NaN when
// either operand is NaN.
MultiArray binary(Binary op, const MultiArray& a, const MultiArray& b);

enum class Unary { square, sqrt, exp, log, relu, sigmoid, tanh };
// Element-wise; log computes log(x + epsilon).
MultiArray unary(Unary op, const MultiArray& input, float epsilon = 0);

MultiArray softmax(const MultiArray& input, std::int64_t axis);

enum class Reduce { sum, mean, max };
// Over `axes` (all when empty); reduced dimensions are kept as 1 when `keepDims`.
MultiArray reduce(Reduce op, const MultiArray& input, std::span<const std::int64_t> axes, bool keepDims);
// Index of the first largest element along `axis`, as int32.
MultiArray argmax(const MultiArray& input, std::int64_t axis, bool keepDims);
// x / max(sqrt(sum of squares along axis), epsilon).
MultiArray l2Normalize(const MultiArray& input, std::int64_t axis, float epsilon);

}  // namespace platform::ml::ops
