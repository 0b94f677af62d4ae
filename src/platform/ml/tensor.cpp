#include "platform/ml/tensor.hpp"

namespace platform::ml {

std::string_view scalarTypeName(ScalarType type) { return type == ScalarType::float32 ? "Float" : "Int32"; }

namespace {
void checkCount(const Shape& shape, std::size_t size) {
  if (elementCount(shape) != static_cast<std::int64_t>(size)) {
    throw MultiArrayError("Tensor: " + std::to_string(size) + " scalars for shape " + shapeText(shape));
  }
}
}  // namespace

Tensor::Tensor(Shape shape, std::vector<float> scalars)
    : shape_(std::move(shape)), scalarType_(ScalarType::float32), floats_(std::move(scalars)) {
  checkCount(shape_, floats_.size());
}

Tensor::Tensor(Shape shape, std::vector<std::int32_t> scalars)
    : shape_(std::move(shape)), scalarType_(ScalarType::int32), ints_(std::move(scalars)) {
  checkCount(shape_, ints_.size());
}

std::int64_t Tensor::count() const {
  return static_cast<std::int64_t>(scalarType_ == ScalarType::float32 ? floats_.size() : ints_.size());
}

std::span<const float> Tensor::floatScalars() const {
  requireThat(scalarType_ == ScalarType::float32, "Tensor: float scalars requested from an Int32 tensor");
  return floats_;
}

std::span<const std::int32_t> Tensor::int32Scalars() const {
  requireThat(scalarType_ == ScalarType::int32, "Tensor: Int32 scalars requested from a Float tensor");
  return ints_;
}

}  // namespace platform::ml
