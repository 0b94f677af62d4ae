// MultiArray: the n-dimensional array that models take and give.
//
// An array has a shape, row-major strides (in elements) and one element type. Its elements lie
// contiguously in 64-byte-aligned storage that copies and reshaped views share: copying a
// MultiArray copies a handle, as the original platform's arrays are references; use copy() for
// a deep copy. Reading through a const array and writing through another handle of the same
// storage is the caller's business. A MultiArray is not synchronised: threads may read one
// concurrently, but a writer needs exclusive access. Model inputs are only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/data_type.hpp"
#include "platform/ml/float16.hpp"
#include "platform/ml/ml_error.hpp"

namespace platform::ml {

using Shape = std::vector<std::int64_t>;

// "[1, 2, 3]"; "[]" for the empty shape.
std::string shapeText(std::span<const std::int64_t> shape);
// Product of the dimensions (1 for the empty shape). Throws MultiArrayError on a negative
// dimension or when the product (of the non-zero dimensions) overflows.
std::int64_t elementCount(std::span<const std::int64_t> shape);
// Row-major strides in elements for `shape`, which must have passed elementCount().
Shape rowMajorStrides(std::span<const std::int64_t> shape);

class MultiArray {
 public:
  // An empty float32 array of shape [0].
  MultiArray();
  // A zero-filled array. Throws MultiArrayError on a negative dimension or a size that
  // overflows; std::bad_alloc when memory runs out.
  MultiArray(Shape shape, DataType dataType);

  // An array of `shape` holding `values` in row-major order. Throws MultiArrayError when the
  // number of values differs from the element count.
  template <class T>
  static MultiArray fromValues(Shape shape, std::span<const T> values) {
    MultiArray array(std::move(shape), dataTypeOf<T>());
    if (static_cast<std::int64_t>(values.size()) != array.count()) {
      throw MultiArrayError("fromValues: " + std::to_string(values.size()) + " values for shape " +
                            shapeText(array.shape()));
    }
    auto destination = array.span<T>();
    std::copy(values.begin(), values.end(), destination.begin());
    return array;
  }

  const Shape& shape() const { return shape_; }
  const Shape& strides() const { return strides_; }
  DataType dataType() const { return dataType_; }
  std::size_t rank() const { return shape_.size(); }
  std::int64_t count() const { return count_; }
  std::size_t byteCount() const { return static_cast<std::size_t>(count_) * elementSize(dataType_); }

  // The first element; 64-byte aligned for arrays that are not offset views.
  void* data() { return bytes(); }
  const void* data() const { return bytes(); }

  // The elements as T. T must be the element type of dataType() (Float16 for float16); a
  // mismatch is a programming error and aborts.
  template <class T>
  std::span<T> span() {
    checkType(dataTypeOf<T>());
    return {reinterpret_cast<T*>(bytes()), static_cast<std::size_t>(count_)};
  }
  template <class T>
  std::span<const T> span() const {
    checkType(dataTypeOf<T>());
    return {reinterpret_cast<const T*>(bytes()), static_cast<std::size_t>(count_)};
  }

  // Element at the row-major position `index` (0 <= index < count(), else aborts), converted to
  // float or double. Integers convert exactly where the target can hold them.
  float floatAt(std::int64_t index) const;
  double doubleAt(std::int64_t index) const;
  // Stores `value` at `index`, converted to the element type: to float16 rounding to nearest
  // even; to an integer truncating toward zero and saturating at the type's range (NaN gives 0).
  void setFloat(std::int64_t index, float value);
  void setDouble(std::int64_t index, double value);

  // Element offset of a full index (one component per dimension, each within its dimension;
  // anything else aborts).
  std::int64_t offset(std::span<const std::int64_t> index) const;

  // Every element set to `value` (converted as by setDouble).
  void fill(double value);

  // All elements as floats / doubles, in row-major order.
  std::vector<float> toFloatVector() const;

  // A view of the same storage with another shape of the same element count. Throws
  // MultiArrayError ("Cannot reshape [a, b] to [c]") otherwise.
  MultiArray reshaped(Shape shape) const;
  // A deep copy with its own storage.
  MultiArray copy() const;
  // A deep copy converted to `dataType` (element by element, as setDouble; float32 <-> float16
  // with the bulk conversions). Returns a handle to the same storage when the type is equal.
  MultiArray converted(DataType dataType) const;

  // True when both handles view the same storage at the same position.
  bool sharesStorageWith(const MultiArray& other) const {
    return storage_ == other.storage_ && byteOffset_ == other.byteOffset_;
  }

 private:
  std::byte* bytes() const { return storage_.get() + byteOffset_; }
  void checkType(DataType requested) const {
    if (requested != dataType_) [[unlikely]]
      typeMismatch(requested);
  }
  [[noreturn]] void typeMismatch(DataType requested) const;

  Shape shape_;
  Shape strides_;
  DataType dataType_ = DataType::float32;
  std::int64_t count_ = 0;
  std::shared_ptr<std::byte> storage_;
  std::size_t byteOffset_ = 0;
};

}  // namespace platform::ml
