#include "platform/ml/feature.hpp"

namespace platform::ml {

void DictionaryFeatureProvider::set(std::string name, MultiArray array) {
  values_.insert_or_assign(std::move(name), FeatureValue(std::move(array)));
}

std::optional<MultiArray> DictionaryFeatureProvider::multiArray(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second.multiArrayValue();
}

std::vector<std::string> DictionaryFeatureProvider::featureNames() const {
  std::vector<std::string> names;
  names.reserve(values_.size());
  for (const auto& [name, value] : values_) names.push_back(name);
  return names;
}

std::optional<FeatureValue> DictionaryFeatureProvider::featureValue(std::string_view name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

}  // namespace platform::ml
