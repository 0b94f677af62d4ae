#include "platform/ml/multi_array.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/ml/tensor.hpp"

namespace platform::ml {
namespace {

TEST(MultiArray, ShapeStridesAlignmentAndZeros) {
  for (DataType type : {DataType::float16, DataType::float32, DataType::float64, DataType::int32, DataType::int8}) {
    MultiArray array({2, 3, 4}, type);
    EXPECT_EQ(array.strides(), (Shape{12, 4, 1}));
    EXPECT_EQ(array.count(), 24);
    EXPECT_EQ(array.byteCount(), 24 * elementSize(type));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array.data()) % 64, 0u);
    for (std::int64_t i = 0; i < array.count(); ++i) ASSERT_EQ(array.doubleAt(i), 0.0);
  }
  MultiArray empty;
  EXPECT_EQ(empty.count(), 0);
  EXPECT_EQ(empty.shape(), (Shape{0}));
  MultiArray scalar(Shape{}, DataType::float32);
  EXPECT_EQ(scalar.count(), 1);
  EXPECT_EQ(shapeText(Shape{1, 2, 3}), "[1, 2, 3]");
  EXPECT_EQ(shapeText(Shape{}), "[]");
}

TEST(MultiArray, BadShapesThrow) {
  EXPECT_THROW(MultiArray({2, -1}, DataType::float32), MultiArrayError);
  EXPECT_THROW(MultiArray({1LL << 40, 1LL << 40}, DataType::float32), MultiArrayError);
  EXPECT_THROW(MultiArray({0, 1LL << 40, 1LL << 40}, DataType::float32), MultiArrayError);
  const std::vector<float> three{1, 2, 3};
  EXPECT_THROW(MultiArray::fromValues<float>({2, 2}, three), MultiArrayError);
}

TEST(MultiArray, ElementConversionsPerType) {
  struct Row {
    DataType type;
    double stored;
    double readBack;
  };
  const Row rows[] = {
      {DataType::float16, 0.1, 0.0999755859375},
      {DataType::float16, 70000.0, std::numeric_limits<double>::infinity()},
      {DataType::float32, 0.1, static_cast<double>(0.1f)},
      {DataType::float64, 0.1, 0.1},
      {DataType::int32, 7.9, 7.0},
      {DataType::int32, -7.9, -7.0},
      {DataType::int32, 1e12, 2147483647.0},
      {DataType::int32, std::nan(""), 0.0},
      {DataType::int8, 300.0, 127.0},
      {DataType::int8, -300.0, -128.0},
  };
  for (const Row& row : rows) {
    MultiArray array({2}, row.type);
    array.setDouble(1, row.stored);
    EXPECT_EQ(array.doubleAt(1), row.readBack) << dataTypeName(row.type) << " " << row.stored;
    EXPECT_EQ(array.doubleAt(0), 0.0);  // neighbour untouched
    array.setFloat(0, static_cast<float>(row.stored));
    EXPECT_EQ(array.floatAt(0), static_cast<float>(row.readBack));
  }
}

TEST(MultiArray, ReshapeSharesStorageAndCopyDoesNot) {
  const std::vector<float> values{1, 2, 3, 4, 5, 6};
  MultiArray array = MultiArray::fromValues<float>({2, 3}, values);
  MultiArray view = array.reshaped({3, 2});
  EXPECT_TRUE(view.sharesStorageWith(array));
  EXPECT_EQ(view.strides(), (Shape{2, 1}));
  view.setFloat(5, 60);
  EXPECT_EQ(array.floatAt(5), 60);
  MultiArray deep = array.copy();
  deep.setFloat(0, -1);
  EXPECT_EQ(array.floatAt(0), 1);
  try {
    (void)array.reshaped({4});
    FAIL() << "reshape to another count succeeded";
  } catch (const MultiArrayError& e) {
    EXPECT_STREQ(e.what(), "Cannot reshape [2, 3] to [4]");
  }
}

TEST(MultiArray, ConvertedKeepsValues) {
  const std::vector<float> values{0.5f, -10000.0f, 3.0f, 65504.0f};
  const MultiArray source = MultiArray::fromValues<float>({4}, values);
  EXPECT_TRUE(source.converted(DataType::float32).sharesStorageWith(source));
  const MultiArray half = source.converted(DataType::float16);
  EXPECT_EQ(half.toFloatVector(), values);
  const MultiArray ints = half.converted(DataType::int32);
  EXPECT_EQ(ints.span<std::int32_t>()[1], -10000);
  EXPECT_EQ(ints.converted(DataType::float64).doubleAt(3), 65504.0);
}

TEST(MultiArray, OffsetOfFullIndex) {
  MultiArray array({2, 3, 4}, DataType::int8);
  const Shape index{1, 2, 3};
  EXPECT_EQ(array.offset(index), 23);
}

TEST(MultiArrayDeathTest, WrongTypedViewAborts) {
  MultiArray array({4}, DataType::float16);
  EXPECT_DEATH((void)array.span<float>(), "float32 requested from an array of float16");
  EXPECT_DEATH((void)array.floatAt(4), "index out of range");
  const Shape shortIndex{1};
  MultiArray matrix({2, 2}, DataType::float32);
  EXPECT_DEATH((void)matrix.offset(shortIndex), "rank");
}

TEST(Tensor, ScalarCountsAreChecked) {
  EXPECT_THROW(Tensor({2, 2}, std::vector<float>{1, 2, 3}), MultiArrayError);
  const Tensor tensor({1, 2}, std::vector<std::int32_t>{4, 5});
  EXPECT_EQ(tensor.scalarType(), ScalarType::int32);
  EXPECT_EQ(tensor.int32Scalars()[1], 5);
}

}  // namespace
}  // namespace platform::ml
