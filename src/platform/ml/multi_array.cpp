#include "platform/ml/multi_array.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "platform/sys/checked_cast.hpp"

namespace platform::ml {

namespace {

constexpr std::size_t kAlignment = 64;

std::shared_ptr<std::byte> allocateZeroed(std::size_t bytes) {
  const std::size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
  const std::size_t size = rounded == 0 ? kAlignment : rounded;
  auto* raw = static_cast<std::byte*>(::operator new(size, std::align_val_t(kAlignment)));
  std::memset(raw, 0, size);
  return std::shared_ptr<std::byte>(raw, [](std::byte* p) { ::operator delete(p, std::align_val_t(kAlignment)); });
}

template <class I>
I toInteger(double value) {
  return platform::sys::saturatingIntegerCast<I>(value);
}

}  // namespace

std::string shapeText(std::span<const std::int64_t> shape) {
  std::string text = "[";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(shape[i]);
  }
  return text + "]";
}

std::int64_t elementCount(std::span<const std::int64_t> shape) {
  // The product of the non-zero dimensions is bounded too, so that the strides of a shape with a
  // zero dimension cannot overflow either.
  std::int64_t product = 1;
  bool hasZero = false;
  for (std::int64_t d : shape) {
    if (d < 0) throw MultiArrayError("Negative dimension in shape " + shapeText(shape));
    if (d == 0) {
      hasZero = true;
      continue;
    }
    if (product > std::numeric_limits<std::int64_t>::max() / 8 / d) {
      throw MultiArrayError("Shape " + shapeText(shape) + " is too large");
    }
    product *= d;
  }
  return hasZero ? 0 : product;
}

Shape rowMajorStrides(std::span<const std::int64_t> shape) {
  Shape strides(shape.size(), 1);
  std::int64_t stride = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    strides[i] = stride;
    stride *= shape[i];
  }
  return strides;
}

MultiArray::MultiArray() : MultiArray(Shape{0}, DataType::float32) {}

MultiArray::MultiArray(Shape shape, DataType dataType) : shape_(std::move(shape)), dataType_(dataType) {
  count_ = elementCount(shape_);  // validates the shape before the strides are computed
  strides_ = rowMajorStrides(shape_);
  storage_ = allocateZeroed(byteCount());
}

void MultiArray::typeMismatch(DataType requested) const {
  platform::log::checkFailed("MultiArray: element type " + std::string(dataTypeName(requested)) +
                      " requested from an array of " + std::string(dataTypeName(dataType_)));
}

namespace {

// Elements are stored in the array's own type; reads and writes convert through R / V.
template <class R>
R loadElement(const std::byte* p, DataType type, std::int64_t index) {
  switch (type) {
    case DataType::float16:
      return static_cast<R>(float16ToFloat(reinterpret_cast<const Float16*>(p)[index]));
    case DataType::float32:
      return static_cast<R>(reinterpret_cast<const float*>(p)[index]);
    case DataType::float64:
      return static_cast<R>(reinterpret_cast<const double*>(p)[index]);
    case DataType::int32:
      return static_cast<R>(reinterpret_cast<const std::int32_t*>(p)[index]);
    case DataType::int8:
      return static_cast<R>(reinterpret_cast<const std::int8_t*>(p)[index]);
  }
  return 0;
}

template <class V>
void storeElement(std::byte* p, DataType type, std::int64_t index, V value) {
  switch (type) {
    case DataType::float16:
      if constexpr (std::is_same_v<V, double>) {
        reinterpret_cast<Float16*>(p)[index] = float16FromDouble(value);
      } else {
        reinterpret_cast<Float16*>(p)[index] = float16FromFloat(value);
      }
      return;
    case DataType::float32:
      reinterpret_cast<float*>(p)[index] = static_cast<float>(value);
      return;
    case DataType::float64:
      reinterpret_cast<double*>(p)[index] = value;
      return;
    case DataType::int32:
      reinterpret_cast<std::int32_t*>(p)[index] = toInteger<std::int32_t>(value);
      return;
    case DataType::int8:
      reinterpret_cast<std::int8_t*>(p)[index] = toInteger<std::int8_t>(value);
      return;
  }
}

}  // namespace

double MultiArray::doubleAt(std::int64_t index) const {
  requireThat(index >= 0 && index < count_, "MultiArray: element index out of range");
  return loadElement<double>(bytes(), dataType_, index);
}

float MultiArray::floatAt(std::int64_t index) const {
  requireThat(index >= 0 && index < count_, "MultiArray: element index out of range");
  return loadElement<float>(bytes(), dataType_, index);
}

void MultiArray::setFloat(std::int64_t index, float value) {
  requireThat(index >= 0 && index < count_, "MultiArray: element index out of range");
  storeElement(bytes(), dataType_, index, value);
}

void MultiArray::setDouble(std::int64_t index, double value) {
  requireThat(index >= 0 && index < count_, "MultiArray: element index out of range");
  storeElement(bytes(), dataType_, index, value);
}

std::int64_t MultiArray::offset(std::span<const std::int64_t> index) const {
  requireThat(index.size() == shape_.size(), "MultiArray: index rank differs from the array's rank");
  std::int64_t result = 0;
  for (std::size_t i = 0; i < index.size(); ++i) {
    requireThat(index[i] >= 0 && index[i] < shape_[i], "MultiArray: index component out of range");
    result += index[i] * strides_[i];
  }
  return result;
}

void MultiArray::fill(double value) {
  if (count_ == 0) return;
  setDouble(0, value);
  const std::size_t size = elementSize(dataType_);
  std::byte* p = bytes();
  for (std::int64_t i = 1; i < count_; ++i) std::memcpy(p + static_cast<std::size_t>(i) * size, p, size);
}

std::vector<float> MultiArray::toFloatVector() const {
  std::vector<float> values(static_cast<std::size_t>(count_));
  if (dataType_ == DataType::float32) {
    if (count_ > 0) std::memcpy(values.data(), bytes(), byteCount());
  } else if (dataType_ == DataType::float16) {
    convertFloat16ToFloat32(span<Float16>(), values);
  } else {
    for (std::int64_t i = 0; i < count_; ++i) values[static_cast<std::size_t>(i)] = floatAt(i);
  }
  return values;
}

MultiArray MultiArray::reshaped(Shape shape) const {
  std::int64_t newCount = 0;
  try {
    newCount = elementCount(shape);
  } catch (const MultiArrayError&) {
    newCount = -1;
  }
  if (newCount != count_) {
    throw MultiArrayError("Cannot reshape " + shapeText(shape_) + " to " + shapeText(shape));
  }
  MultiArray view = *this;
  view.shape_ = std::move(shape);
  view.strides_ = rowMajorStrides(view.shape_);
  return view;
}

MultiArray MultiArray::copy() const {
  MultiArray result(shape_, dataType_);
  if (count_ > 0) std::memcpy(result.bytes(), bytes(), byteCount());
  return result;
}

MultiArray MultiArray::converted(DataType dataType) const {
  if (dataType == dataType_) return *this;
  MultiArray result(shape_, dataType);
  if (dataType_ == DataType::float32 && dataType == DataType::float16) {
    convertFloat32ToFloat16(span<float>(), result.span<Float16>());
  } else if (dataType_ == DataType::float16 && dataType == DataType::float32) {
    convertFloat16ToFloat32(span<Float16>(), result.span<float>());
  } else {
    for (std::int64_t i = 0; i < count_; ++i) result.setDouble(i, doubleAt(i));
  }
  return result;
}

}  // namespace platform::ml
