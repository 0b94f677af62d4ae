// Tensor: a small immutable tensor of float32 or int32 scalars with a shape.
//
// The samplers produce tensors (top-k values and indices); core helpers read them back as plain
// arrays or multi-arrays. Immutable after construction, so thread-safe to share.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/ml/multi_array.hpp"

namespace platform::ml {

enum class ScalarType { float32, int32 };

// "Float", "Int32": the scalar type's name in messages.
std::string_view scalarTypeName(ScalarType type);

class Tensor {
 public:
  // Throw MultiArrayError when the number of scalars differs from the shape's element count.
  Tensor(Shape shape, std::vector<float> scalars);
  Tensor(Shape shape, std::vector<std::int32_t> scalars);

  const Shape& shape() const { return shape_; }
  ScalarType scalarType() const { return scalarType_; }
  std::int64_t count() const;

  // The scalars; the requested type must be the tensor's (a mismatch aborts).
  std::span<const float> floatScalars() const;
  std::span<const std::int32_t> int32Scalars() const;

 private:
  Shape shape_;
  ScalarType scalarType_;
  std::vector<float> floats_;
  std::vector<std::int32_t> ints_;
};

}  // namespace platform::ml
