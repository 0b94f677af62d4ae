#include "core/ml_helpers.hpp"

#include <limits>

namespace noxtal {

using platform::ml::ComputeUnits;
using platform::ml::DataType;
using platform::ml::MultiArray;

std::string MLMultiArrayCreationError::errorDescription(Case kind) {
  switch (kind) {
    case Case::pixelBufferFailed:
      return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
  }
  return "Failed to create IOSurface-backed pixel buffer for MLMultiArray";
}

platform::ml::DictionaryFeatureProvider asyncPrediction(const platform::ml::Model& model,
                                                        const platform::ml::FeatureProvider& input,
                                                        const platform::ml::PredictionOptions& options,
                                                        std::stop_token stopToken) {
  return model.predict(input, options, std::move(stopToken));
}

platform::ml::DictionaryFeatureProvider asyncPrediction(const platform::ml::Model& model,
                                                        const platform::ml::FeatureProvider& input,
                                                        platform::ml::State& state,
                                                        const platform::ml::PredictionOptions& options,
                                                        std::stop_token stopToken) {
  return model.predict(input, state, options, std::move(stopToken));
}

std::string_view description(ComputeUnits computeUnits) {
  switch (computeUnits) {
    case ComputeUnits::cpuOnly:
      return "cpuOnly";
    case ComputeUnits::cpuAndGPU:
      return "cpuAndGPU";
    case ComputeUnits::all:
      return "all";
    case ComputeUnits::cpuAndNeuralEngine:
      return "cpuAndNeuralEngine";
  }
  return "unknown";
}

std::string_view displayName(ComputeUnits computeUnits) {
  switch (computeUnits) {
    case ComputeUnits::cpuOnly:
      return "CPU";
    case ComputeUnits::cpuAndGPU:
      return "GPU";
    case ComputeUnits::all:
      return "All";
    case ComputeUnits::cpuAndNeuralEngine:
      return "Neural Engine";
  }
  return "Unknown";
}

std::optional<PixelBufferGeometry> pixelBuffer(std::span<const std::int64_t> shape) {
  if (shape.empty()) return std::nullopt;
  PixelBufferGeometry geometry{shape.back(), 1};
  for (std::size_t i = 0; i + 1 < shape.size(); ++i) geometry.height *= shape[i];
  return geometry;
}

MultiArray multiArrayFrom(std::span<const std::int64_t> values, std::size_t dims) {
  platform::ml::requireThat(dims >= 1, "multiArrayFrom: dims must be at least 1");
  platform::ml::Shape shape(dims, 1);
  shape.back() = static_cast<std::int64_t>(values.size());
  MultiArray array(shape, DataType::int32);
  auto elements = array.span<std::int32_t>();
  for (std::size_t i = 0; i < values.size(); ++i) {
    platform::ml::requireThat(
        values[i] >= std::numeric_limits<std::int32_t>::min() && values[i] <= std::numeric_limits<std::int32_t>::max(),
        "multiArrayFrom: value outside 32 bits");
    elements[i] = static_cast<std::int32_t>(values[i]);
  }
  return array;
}

std::int64_t linearOffset(std::span<const std::int64_t> index, std::span<const std::int64_t> strides) {
  std::int64_t offset = 0;
  for (std::size_t i = 0; i < index.size() && i < strides.size(); ++i) offset += index[i] * strides[i];
  return offset;
}

std::int64_t linearOffset(const MultiArray& array, std::span<const std::int64_t> index) {
  return linearOffset(index, array.strides());
}

void fillLastDimension(MultiArray& array, std::int64_t begin, std::int64_t end, float value) {
  const auto& shape = array.shape();
  platform::ml::requireThat(shape.size() == 3 && shape[0] == 1 && shape[1] == 1,
                            "fillLastDimension: the array must have shape 1 x 1 x n");
  platform::ml::requireThat(begin >= 0 && begin <= end && end <= shape[2],
                            "fillLastDimension: range outside the last dimension");
  const auto elements = array.span<float>();
  const std::int64_t stride = array.strides()[2];
  for (std::int64_t position = begin; position < end; ++position) {
    elements[static_cast<std::size_t>(position * stride)] = value;
  }
}

std::vector<int> toIntArray(const platform::ml::Tensor& tensor) {
  const auto scalars = tensor.int32Scalars();
  return std::vector<int>(scalars.begin(), scalars.end());
}

std::vector<float> toFloatArray(const platform::ml::Tensor& tensor) {
  if (tensor.scalarType() == platform::ml::ScalarType::float32) {
    const auto scalars = tensor.floatScalars();
    return std::vector<float>(scalars.begin(), scalars.end());
  }
  const auto scalars = tensor.int32Scalars();
  std::vector<float> values;
  values.reserve(scalars.size());
  for (std::int32_t v : scalars) values.push_back(static_cast<float>(v));
  return values;
}

MultiArray toMultiArray(const platform::ml::Tensor& tensor) {
  if (tensor.scalarType() == platform::ml::ScalarType::float32) {
    return MultiArray::fromValues<float>(tensor.shape(), tensor.floatScalars());
  }
  return MultiArray::fromValues<std::int32_t>(tensor.shape(), tensor.int32Scalars());
}

}  // namespace noxtal
