// What a model takes and gives: named features with their multi-array constraints.
//
// Model::description() returns one; the model-file helpers read input and output shapes from
// it. A dimension of -1 in a constraint's shape is free (any size is accepted). Plain values,
// immutable once the model is loaded.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ml/data_type.hpp"
#include "platform/ml/multi_array.hpp"

namespace platform::ml {

// The shape and element type a multi-array feature must have.
struct MultiArrayConstraint {
  Shape shape;  // -1 marks a free dimension
  DataType dataType = DataType::float32;
};

enum class FeatureType { multiArray };

struct FeatureDescription {
  std::string name;
  FeatureType type = FeatureType::multiArray;
  std::optional<MultiArrayConstraint> multiArrayConstraint;
  // An optional input may be left out; an optional output may be missing from a prediction.
  bool isOptional = false;
};

struct ModelDescription {
  std::vector<FeatureDescription> inputs;   // in declared order
  std::vector<FeatureDescription> outputs;  // in declared order
  std::vector<FeatureDescription> states;   // buffers of a stateful model (fixed shapes)

  // The feature of that name, or nullptr. The pointer lives as long as the description.
  const FeatureDescription* input(std::string_view name) const;
  const FeatureDescription* output(std::string_view name) const;
  const FeatureDescription* state(std::string_view name) const;
};

// True when `shape` satisfies `constraint` (same rank; equal dimensions where not free).
bool shapeMatches(std::span<const std::int64_t> shape, std::span<const std::int64_t> constraint);

}  // namespace platform::ml
