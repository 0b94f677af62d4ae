#include "platform/ml/model_description.hpp"

namespace platform::ml {

namespace {
const FeatureDescription* find(const std::vector<FeatureDescription>& list, std::string_view name) {
  for (const auto& feature : list) {
    if (feature.name == name) return &feature;
  }
  return nullptr;
}
}  // namespace

const FeatureDescription* ModelDescription::input(std::string_view name) const { return find(inputs, name); }
const FeatureDescription* ModelDescription::output(std::string_view name) const { return find(outputs, name); }
const FeatureDescription* ModelDescription::state(std::string_view name) const { return find(states, name); }

bool shapeMatches(std::span<const std::int64_t> shape, std::span<const std::int64_t> constraint) {
  if (shape.size() != constraint.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (constraint[i] >= 0 && constraint[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace platform::ml
