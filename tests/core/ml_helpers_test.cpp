#include "core/ml_helpers.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace noxtal {
namespace {

using platform::ml::ComputeUnits;
using platform::ml::DataType;
using platform::ml::Float16;
using platform::ml::MultiArray;
using platform::ml::Shape;

TEST(MLHelpers, ComputeUnitStrings) {
  struct Row {
    ComputeUnits units;
    const char* description;
    const char* displayName;
  };
  const Row rows[] = {{ComputeUnits::cpuOnly, "cpuOnly", "CPU"},
                      {ComputeUnits::cpuAndGPU, "cpuAndGPU", "GPU"},
                      {ComputeUnits::all, "all", "All"},
                      {ComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine", "Neural Engine"},
                      {static_cast<ComputeUnits>(9), "unknown", "Unknown"}};
  for (const Row& row : rows) {
    EXPECT_EQ(description(row.units), row.description);
    EXPECT_EQ(displayName(row.units), row.displayName);
  }
  EXPECT_STREQ(MLMultiArrayCreationError().what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
}

TEST(MLHelpers, InitialValueFillsOnlyMatchingTypes) {
  const MultiArray half = makeMultiArray(Shape{1, 4}, DataType::float16, 1.0f);
  for (Float16 h : half.span<Float16>()) EXPECT_EQ(h.bits, 0x3c00);
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::float32, 1.0).toFloatVector(), (std::vector<float>{0, 0}));
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::float32, 1.0f).toFloatVector(), (std::vector<float>{1, 1}));
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::float64, 2.0).doubleAt(1), 2.0);
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::int32, std::int32_t{-3}).doubleAt(1), -3.0);
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::int32, 5.0f).doubleAt(1), 0.0);
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::int8, std::int8_t{7}).doubleAt(0), 7.0);
  EXPECT_EQ(makeMultiArray(Shape{2}, DataType::float16, std::string("x")).doubleAt(0), 0.0);
  EXPECT_THROW(makeMultiArray(Shape{-2}, DataType::float32, 1.0f), platform::ml::MultiArrayError);
}

TEST(MLHelpers, PixelBufferGeometryAndFrom) {
  EXPECT_EQ(pixelBuffer(Shape{}), std::nullopt);
  EXPECT_EQ(pixelBuffer(Shape{3}), (PixelBufferGeometry{3, 1}));
  EXPECT_EQ(pixelBuffer(Shape{2, 3, 4}), (PixelBufferGeometry{4, 6}));
  const std::vector<std::int64_t> values{5, 6, 7};
  const MultiArray array = multiArrayFrom(values, 3);
  EXPECT_EQ(array.shape(), (Shape{1, 1, 3}));
  EXPECT_EQ(array.dataType(), DataType::int32);
  EXPECT_EQ(array.toFloatVector(), (std::vector<float>{5, 6, 7}));
}

TEST(MLHelpers, LinearOffset) {
  const Shape index{0, 2, 1};
  EXPECT_EQ(linearOffset(index, Shape{12, 4, 1}), 9);
  EXPECT_EQ(linearOffset(index, Shape{12, 4}), 8);
  EXPECT_EQ(linearOffset(Shape{}, Shape{}), 0);
  const MultiArray array({2, 3, 4}, DataType::float32);
  EXPECT_EQ(linearOffset(array, index), 9);
}

TEST(MLHelpers, FillLastDimensionWritesOnlyTheRange) {
  MultiArray array({1, 1, 6}, DataType::float32);
  fillLastDimension(array, 1, 4, 2.5f);
  EXPECT_EQ(array.toFloatVector(), (std::vector<float>{0, 2.5f, 2.5f, 2.5f, 0, 0}));
  fillLastDimension(array, 5, 5, 9.0f);  // empty range
  EXPECT_EQ(array.floatAt(5), 0.0f);
}

TEST(MLHelpers, FillSkipsBadIndexListsAndWritesOthers) {
  MultiArray array({1, 1, 4}, DataType::float32);
  const std::vector<std::vector<std::int64_t>> bad = {{0, 0, 5}, {0, 0}, {0, -1, 0}, {0, 0, 0, 0}};
  fill(array, std::span(bad), 3.0f);
  EXPECT_EQ(array.toFloatVector(), (std::vector<float>{0, 0, 0, 0}));
  const std::vector<std::vector<std::int64_t>> good = {{0, 0, 3}, {0, 0, 1}};
  fill(array, std::span(good), 3.0f);
  EXPECT_EQ(array.toFloatVector(), (std::vector<float>{0, 3, 0, 3}));
  MultiArray half({1, 4}, DataType::float16);
  const std::vector<std::vector<std::int64_t>> one = {{0, 2}};
  fill(half, std::span(one), platform::ml::float16FromFloat(-10000.0f));
  EXPECT_EQ(half.toFloatVector(), (std::vector<float>{0, 0, -10000.0f, 0}));
}

TEST(MLHelpersDeathTest, FillWithAnotherElementTypeAborts) {
  // A double written into a float16 array would overwrite four neighbours.
  MultiArray half({1, 8}, DataType::float16);
  const std::vector<std::vector<std::int64_t>> index = {{0, 1}};
  EXPECT_DEATH(fill(half, std::span(index), 1.0), "fill: value type differs");
  MultiArray wide({1, 1, 4}, DataType::float16);
  EXPECT_DEATH(fillLastDimension(wide, 0, 1, 1.0f), "float32 requested from an array of float16");
  MultiArray shaped({2, 1, 4}, DataType::float32);
  EXPECT_DEATH(fillLastDimension(shaped, 0, 1, 1.0f), "1 x 1 x n");
  MultiArray flat({1, 1, 4}, DataType::float32);
  EXPECT_DEATH(fillLastDimension(flat, 2, 5, 1.0f), "range outside");
}

TEST(MLHelpers, TensorConversions) {
  const platform::ml::Tensor ints({1, 3}, std::vector<std::int32_t>{4, -5, 6});
  EXPECT_EQ(toIntArray(ints), (std::vector<int>{4, -5, 6}));
  EXPECT_EQ(toFloatArray(ints), (std::vector<float>{4, -5, 6}));
  const MultiArray fromInts = toMultiArray(ints);
  EXPECT_EQ(fromInts.dataType(), DataType::int32);
  EXPECT_EQ(fromInts.shape(), (Shape{1, 3}));
  const platform::ml::Tensor floats({2}, std::vector<float>{0.5f, -1});
  EXPECT_EQ(toFloatArray(floats), (std::vector<float>{0.5f, -1}));
  EXPECT_EQ(toMultiArray(floats).toFloatVector(), (std::vector<float>{0.5f, -1}));
}

}  // namespace
}  // namespace noxtal
