// Named model inputs and outputs: feature values and feature providers.
//
// A FeatureValue holds one multi-array (the only kind of feature the models use). A
// FeatureProvider answers featureNames() and featureValue(name); model wrappers implement it for
// their inputs, and Model::predict returns a DictionaryFeatureProvider. Providers are read
// concurrently by predictions; implementations must make their const members thread-safe for
// concurrent reads.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ml/multi_array.hpp"

namespace platform::ml {

class FeatureValue {
 public:
  explicit FeatureValue(MultiArray array) : array_(std::move(array)) {}

  // The array (a handle sharing the value's storage).
  const MultiArray& multiArrayValue() const { return array_; }

 private:
  MultiArray array_;
};

class FeatureProvider {
 public:
  virtual ~FeatureProvider() = default;
  // The names this provider answers, in a fixed order.
  virtual std::vector<std::string> featureNames() const = 0;
  // The value of `name`, or absent for a name the provider does not hold.
  virtual std::optional<FeatureValue> featureValue(std::string_view name) const = 0;
};

// A provider over a map from names to values (names reported in sorted order).
class DictionaryFeatureProvider final : public FeatureProvider {
 public:
  DictionaryFeatureProvider() = default;
  explicit DictionaryFeatureProvider(std::map<std::string, FeatureValue, std::less<>> values)
      : values_(std::move(values)) {}

  // Adds or replaces `name`.
  void set(std::string name, MultiArray array);
  // The array of `name`; absent when missing.
  std::optional<MultiArray> multiArray(std::string_view name) const;

  std::vector<std::string> featureNames() const override;
  std::optional<FeatureValue> featureValue(std::string_view name) const override;

  const std::map<std::string, FeatureValue, std::less<>>& values() const { return values_; }

 private:
  std::map<std::string, FeatureValue, std::less<>> values_;
};

}  // namespace platform::ml
