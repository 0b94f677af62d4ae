#include "platform/ml/graph_ops.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace platform::ml::ops {
namespace {

MultiArray floats(Shape shape, std::vector<float> values) {
  return MultiArray::fromValues<float>(std::move(shape), values);
}

std::vector<float> iota(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i);
  return v;
}

TEST(GraphOps, DataMovement) {
  const MultiArray x = floats({2, 3}, iota(6));  // [[0 1 2] [3 4 5]]
  EXPECT_EQ(transpose(x, Shape{1, 0}).toFloatVector(), (std::vector<float>{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(transpose(x, Shape{1, 0}).shape(), (Shape{3, 2}));
  EXPECT_EQ(slice(x, 1, 1, 3, 1).toFloatVector(), (std::vector<float>{1, 2, 4, 5}));
  EXPECT_EQ(slice(x, -1, -1, 100, 1).toFloatVector(), (std::vector<float>{2, 5}));
  EXPECT_EQ(slice(x, 1, 0, 3, 2).toFloatVector(), (std::vector<float>{0, 2, 3, 5}));
  EXPECT_EQ(slice(x, 0, 2, 1, 1).count(), 0);
  const std::pair<std::int64_t, std::int64_t> pads[] = {{0, 1}, {1, 0}};
  EXPECT_EQ(pad(x, pads, -1).toFloatVector(), (std::vector<float>{-1, 0, 1, 2, -1, 3, 4, 5, -1, -1, -1, -1}));
  const MultiArray parts[] = {x, floats({2, 1}, {9, 8})};
  EXPECT_EQ(concat(parts, 1).toFloatVector(), (std::vector<float>{0, 1, 2, 9, 3, 4, 5, 8}));
  const MultiArray indices = MultiArray::fromValues<std::int32_t>({3}, std::vector<std::int32_t>{2, 0, -1});
  const MultiArray picked = gather(x, indices, 1);
  EXPECT_EQ(picked.shape(), (Shape{2, 3}));
  EXPECT_EQ(picked.toFloatVector(), (std::vector<float>{2, 0, 2, 5, 3, 5}));
  const MultiArray bad = MultiArray::fromValues<std::int32_t>({1}, std::vector<std::int32_t>{3});
  EXPECT_THROW(gather(x, bad, 1), PredictionError);
  EXPECT_EQ(reshape(x, {3, -1}).shape(), (Shape{3, 2}));
  EXPECT_THROW(reshape(x, {4, -1}), PredictionError);
}

TEST(GraphOps, ExtremeAttributesFailOrClampInsteadOfOverflowing) {
  const MultiArray x = floats({2, 3}, iota(6));
  const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(slice(x, 1, 1, huge, huge).toFloatVector(), (std::vector<float>{1, 4}));
  EXPECT_THROW(reshape(x, {huge, 4, -1}), PredictionError);
  const std::pair<std::int64_t, std::int64_t> pads[] = {{0, huge}, {0, 0}};
  EXPECT_THROW(pad(x, pads, 0), PredictionError);
}

TEST(GraphOps, FrameMakesSlidingWindows) {
  const MultiArray x = floats({1, 7}, iota(7));
  const MultiArray windows = frame(x, 1, 3, 2);  // starts 0, 2, 4
  EXPECT_EQ(windows.shape(), (Shape{1, 3, 3}));
  EXPECT_EQ(windows.toFloatVector(), (std::vector<float>{0, 1, 2, 2, 3, 4, 4, 5, 6}));
  EXPECT_EQ(frame(x, 1, 8, 1).shape(), (Shape{1, 0, 8}));
  // Along a leading axis the trailing dimensions travel with each frame.
  const MultiArray rows = floats({4, 2}, iota(8));
  EXPECT_EQ(frame(rows, 0, 2, 2).toFloatVector(), iota(8));
  EXPECT_EQ(frame(rows, 0, 2, 2).shape(), (Shape{2, 2, 2}));
}

TEST(GraphOps, BroadcastingArithmetic) {
  const MultiArray a = floats({2, 3}, iota(6));
  const MultiArray row = floats({3}, {10, 20, 30});
  const MultiArray column = floats({2, 1}, {1, 2});
  EXPECT_EQ(binary(Binary::add, a, row).toFloatVector(), (std::vector<float>{10, 21, 32, 13, 24, 35}));
  EXPECT_EQ(binary(Binary::mul, a, column).toFloatVector(), (std::vector<float>{0, 1, 2, 6, 8, 10}));
  EXPECT_EQ(binary(Binary::sub, column, row).shape(), (Shape{2, 3}));
  EXPECT_EQ(binary(Binary::greater, a, floats({}, {2.5f})).toFloatVector(), (std::vector<float>{0, 0, 0, 1, 1, 1}));
  EXPECT_THROW(binary(Binary::div, a, floats({2}, {1, 2})), PredictionError);
}

TEST(GraphOps, MaximumAndMinimumBroadcastAndKeepNaN) {
  const MultiArray a = floats({2, 3}, {1, -5, 3, -2, 7, -7});
  EXPECT_EQ(binary(Binary::maximum, a, floats({}, {0})).toFloatVector(), (std::vector<float>{1, 0, 3, 0, 7, 0}));
  EXPECT_EQ(binary(Binary::minimum, a, floats({3}, {0, -6, 10})).toFloatVector(),
            (std::vector<float>{0, -6, 3, -2, -6, -7}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const Binary op : {Binary::maximum, Binary::minimum}) {
    const std::vector<float> left = binary(op, floats({2}, {nan, 1}), floats({2}, {1, nan})).toFloatVector();
    EXPECT_TRUE(std::isnan(left[0]) && std::isnan(left[1]));
  }
}

TEST(GraphOps, ReductionsSoftmaxArgmaxAndNorm) {
  const MultiArray a = floats({2, 3}, {1, 5, 3, -2, -1, -7});
  const Shape rows{1};
  EXPECT_EQ(reduce(Reduce::sum, a, rows, false).toFloatVector(), (std::vector<float>{9, -10}));
  EXPECT_EQ(reduce(Reduce::max, a, Shape{0}, true).shape(), (Shape{1, 3}));
  EXPECT_EQ(reduce(Reduce::max, a, Shape{0}, true).toFloatVector(), (std::vector<float>{1, 5, 3}));
  EXPECT_EQ(reduce(Reduce::mean, a, Shape{}, false).shape(), (Shape{}));
  EXPECT_FLOAT_EQ(reduce(Reduce::mean, a, Shape{}, false).floatAt(0), -1.0f / 6.0f);
  const MultiArray argmaxes = argmax(a, 1, false);
  EXPECT_EQ(argmaxes.dataType(), DataType::int32);
  EXPECT_EQ(argmaxes.toFloatVector(), (std::vector<float>{1, 1}));
  const std::vector<float> p = softmax(a, -1).toFloatVector();
  EXPECT_NEAR(p[0] + p[1] + p[2], 1.0f, 1e-6f);
  EXPECT_NEAR(p[1], std::exp(5.0f) / (std::exp(1.0f) + std::exp(5.0f) + std::exp(3.0f)), 1e-6f);
  const std::vector<float> n = l2Normalize(floats({1, 2}, {3, 4}), -1, 1e-12f).toFloatVector();
  EXPECT_FLOAT_EQ(n[0], 0.6f);
  EXPECT_FLOAT_EQ(n[1], 0.8f);
  EXPECT_EQ(l2Normalize(floats({2}, {0, 0}), 0, 1e-12f).toFloatVector(), (std::vector<float>{0, 0}));
}

// Reference product with a double accumulator.
std::vector<float> referenceMatmul(const std::vector<float>& a, const std::vector<float>& b, std::int64_t m,
                                   std::int64_t k, std::int64_t n) {
  std::vector<float> c(static_cast<std::size_t>(m * n));
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      double sum = 0;
      for (std::int64_t p = 0; p < k; ++p) sum += static_cast<double>(a[i * k + p]) * b[p * n + j];
      c[i * n + j] = static_cast<float>(sum);
    }
  }
  return c;
}

TEST(GraphOps, MatmulMatchesReferenceAcrossSizes) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> uniform(-1, 1);
  struct Size {
    std::int64_t m, k, n;
  };
  for (const Size s : {Size{0, 3, 2}, Size{1, 1, 1}, Size{3, 0, 2}, Size{5, 7, 3}, Size{17, 33, 9}, Size{64, 65, 63}}) {
    std::vector<float> a(static_cast<std::size_t>(s.m * s.k));
    std::vector<float> b(static_cast<std::size_t>(s.k * s.n));
    for (float& v : a) v = uniform(random);
    for (float& v : b) v = uniform(random);
    const MultiArray c = matmul(floats({s.m, s.k}, a), floats({s.k, s.n}, b));
    ASSERT_EQ(c.shape(), (Shape{s.m, s.n}));
    const std::vector<float> expected = referenceMatmul(a, b, s.m, s.k, s.n);
    const std::vector<float> actual = c.toFloatVector();
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_NEAR(actual[i], expected[i], 1e-4f) << i;
    // Bit-identical when repeated.
    EXPECT_EQ(matmul(floats({s.m, s.k}, a), floats({s.k, s.n}, b)).toFloatVector(), actual);
  }
}

TEST(GraphOps, BatchedMatmulBroadcastsLeadingDimensions) {
  const MultiArray a = floats({2, 1, 2, 2}, {1, 0, 0, 1, 2, 0, 0, 2});  // identity, 2 x identity
  const MultiArray b = floats({3, 2, 1}, {1, 2, 3, 4, 5, 6});
  const MultiArray c = matmul(a, b);
  EXPECT_EQ(c.shape(), (Shape{2, 3, 2, 1}));
  EXPECT_EQ(c.toFloatVector(), (std::vector<float>{1, 2, 3, 4, 5, 6, 2, 4, 6, 8, 10, 12}));
  EXPECT_THROW(matmul(floats({2, 3}, iota(6)), floats({2, 3}, iota(6))), PredictionError);
}

}  // namespace
}  // namespace platform::ml::ops
