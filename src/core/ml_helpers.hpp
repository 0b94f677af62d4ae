// Helpers over the model runtime that the speech and diarization model wrappers share:
// prediction entry points, compute-unit display strings, the loadable-model interface,
// multi-array construction and filling, and conversions of tensors into plain arrays.
//
// All functions are stateless. Functions that write into an array need exclusive access to it;
// everything else is thread-safe. Broken preconditions that only a programming error can reach
// (a value of the wrong element type, a fill outside the array) abort instead of corrupting
// memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/ml/model.hpp"
#include "platform/ml/multi_array.hpp"
#include "platform/ml/tensor.hpp"

namespace noxtal {

// The one error of its own of multi-array construction. Kept for callers that handle it; arrays
// of this runtime live in ordinary memory, so it is not thrown today.
class MLMultiArrayCreationError : public std::runtime_error {
 public:
  enum class Case { pixelBufferFailed };
  explicit MLMultiArrayCreationError(Case kind = Case::pixelBufferFailed)
      : std::runtime_error(errorDescription(kind)), case_(kind) {}
  Case kind() const { return case_; }
  // "Failed to create IOSurface-backed pixel buffer for MLMultiArray".
  static std::string errorDescription(Case kind);
  friend bool operator==(const MLMultiArrayCreationError& a, const MLMultiArrayCreationError& b) {
    return a.case_ == b.case_;
  }

 private:
  Case case_;
};

// A model that can be loaded and unloaded. No type of the worker adopts it; offered to callers.
class MLModelLoading {
 public:
  virtual ~MLModelLoading() = default;
  // Loads the model at `url`; may throw.
  virtual void loadModel(const std::filesystem::path& url, platform::ml::ComputeUnits computeUnits,
                         bool prewarmMode) = 0;
  virtual void unloadModel() = 0;
  // loadModel(url, computeUnits, false).
  void loadModel(const std::filesystem::path& url, platform::ml::ComputeUnits computeUnits) {
    loadModel(url, computeUnits, false);
  }
};

// Runs one prediction and returns its outputs. Blocks the calling thread; errors of the runtime
// (PredictionError, CancellationError) pass through unchanged. Thread-safe.
platform::ml::DictionaryFeatureProvider asyncPrediction(const platform::ml::Model& model,
                                                        const platform::ml::FeatureProvider& input,
                                                        const platform::ml::PredictionOptions& options = {},
                                                        std::stop_token stopToken = {});
// The stateful form; `state` belongs to the caller and must not be used by another call at once.
platform::ml::DictionaryFeatureProvider asyncPrediction(const platform::ml::Model& model,
                                                        const platform::ml::FeatureProvider& input,
                                                        platform::ml::State& state,
                                                        const platform::ml::PredictionOptions& options = {},
                                                        std::stop_token stopToken = {});

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine"; "unknown" for any other value.
std::string_view description(platform::ml::ComputeUnits computeUnits);
// "CPU", "GPU", "All", "Neural Engine"; "Unknown" for any other value.
std::string_view displayName(platform::ml::ComputeUnits computeUnits);

// The geometry a half-precision pixel buffer for `shape` would have: width = last dimension,
// height = product of the others (1 for one dimension).
struct PixelBufferGeometry {
  std::int64_t width = 0;
  std::int64_t height = 0;
  friend bool operator==(const PixelBufferGeometry&, const PixelBufferGeometry&) = default;
};
// Absent for an empty shape.
std::optional<PixelBufferGeometry> pixelBuffer(std::span<const std::int64_t> shape);

// A zero-filled array of `shape` and `dataType`, filled with `initialValue` when its type
// matches the data type: float16 and float32 take float, float64 takes double, int32 takes
// std::int32_t, int8 takes std::int8_t; any other value leaves the zeros. Throws
// platform::ml::MultiArrayError for a negative or overflowing shape.
template <class V>
platform::ml::MultiArray makeMultiArray(const platform::ml::Shape& shape, platform::ml::DataType dataType,
                                        const V& initialValue) {
  using platform::ml::DataType;
  platform::ml::MultiArray array(shape, dataType);
  if constexpr (std::is_same_v<V, float>) {
    if (dataType == DataType::float16) {
      const platform::ml::Float16 half = platform::ml::float16FromFloat(initialValue);
      for (auto& element : array.span<platform::ml::Float16>()) element = half;
    } else if (dataType == DataType::float32) {
      for (float& element : array.span<float>()) element = initialValue;
    }
  } else if constexpr (std::is_same_v<V, double>) {
    if (dataType == DataType::float64) {
      for (double& element : array.span<double>()) element = initialValue;
    }
  } else if constexpr (std::is_same_v<V, std::int32_t>) {
    if (dataType == DataType::int32) {
      for (std::int32_t& element : array.span<std::int32_t>()) element = initialValue;
    }
  } else if constexpr (std::is_same_v<V, std::int8_t>) {
    if (dataType == DataType::int8) {
      for (std::int8_t& element : array.span<std::int8_t>()) element = initialValue;
    }
  }
  return array;
}

// An int32 array of `dims` dimensions, all 1 but the last, which is values.size(), holding the
// values in order. Needs dims >= 1 and every value within 32 bits (else aborts).
platform::ml::MultiArray multiArrayFrom(std::span<const std::int64_t> values, std::size_t dims);

// Sum of index[i] * strides[i] over the positions both lists have (0 for empty lists).
std::int64_t linearOffset(std::span<const std::int64_t> index, std::span<const std::int64_t> strides);
// The same with the array's own strides.
std::int64_t linearOffset(const platform::ml::MultiArray& array, std::span<const std::int64_t> index);

// Writes `value` at positions [begin, end) of the last axis of a float32 array of shape
// 1 x 1 x n. The shape, the type and 0 <= begin <= end <= n are preconditions (else aborts).
void fillLastDimension(platform::ml::MultiArray& array, std::int64_t begin, std::int64_t end, float value);

// For each index list in order: skipped unless it has one component per dimension, each at least
// 0 and below its dimension; otherwise `value` is stored at that element. T must be the array's
// element type (platform::ml::Float16 for float16); a mismatch is a programming error and aborts
// before anything is written.
template <class T>
void fill(platform::ml::MultiArray& array, std::span<const std::vector<std::int64_t>> indexes, T value) {
  platform::ml::requireThat(platform::ml::dataTypeOf<T>() == array.dataType(),
                            "fill: value type differs from the array's element type");
  const auto elements = array.span<T>();
  const auto& shape = array.shape();
  const auto& strides = array.strides();
  for (const auto& index : indexes) {
    if (index.size() != shape.size()) continue;
    std::int64_t offset = 0;
    bool inside = true;
    for (std::size_t i = 0; i < index.size() && inside; ++i) {
      inside = index[i] >= 0 && index[i] < shape[i];
      if (inside) offset += index[i] * strides[i];
    }
    if (inside) elements[static_cast<std::size_t>(offset)] = value;
  }
}

// The tensor's int32 scalars widened to int, in order. The tensor must hold int32 (else aborts).
std::vector<int> toIntArray(const platform::ml::Tensor& tensor);
// The tensor's scalars as floats (int32 converted).
std::vector<float> toFloatArray(const platform::ml::Tensor& tensor);
// A multi-array of the tensor's shape and scalars (float32 or int32).
platform::ml::MultiArray toMultiArray(const platform::ml::Tensor& tensor);

}  // namespace noxtal
