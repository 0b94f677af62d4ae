#include "core/hub/model_info.hpp"

#include <vector>

#include "core/ml_helpers.hpp"

namespace noxtal {

// The constructors are defined out of line: g++ 12 reports a false "may be used uninitialized" when it inlines the
// move of a disengaged optional<string> argument under the sanitizers.
ModelInfo::ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
                     platform::ml::ComputeUnits computeUnits)
    : version_(std::move(version)), variant_(std::move(variant)), name_(std::move(name)), computeUnits_(computeUnits) {}

ModelDownloadConfig::ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                                         std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                                         bool useBackgroundSession, std::string endpoint, std::string revision)
    : downloadBase_(std::move(downloadBase)),
      modelRepo_(std::move(modelRepo)),
      modelToken_(std::move(modelToken)),
      modelFolder_(std::move(modelFolder)),
      useBackgroundSession_(useBackgroundSession),
      endpoint_(std::move(endpoint)),
      revision_(std::move(revision)) {}

std::string ModelInfo::downloadPattern() const {
  return name_ + "/" + version_.value_or("*") + "/" + variant_.value_or("*") + "/*";
}

std::filesystem::path ModelInfo::modelURL(const std::filesystem::path& baseURL) const {
  std::filesystem::path url = baseURL / name_;
  if (version_) url /= *version_;
  if (variant_) url /= *variant_;
  return url;
}

std::string ModelInfo::description() const {
  std::string text = name_;
  if (version_) text += "/" + *version_;
  if (variant_) text += "/" + *variant_;
  return text;
}

std::string ModelInfo::debugDescription() const {
  return "ModelInfo(name: " + name_ + ", version: " + version_.value_or("nil") +
         ", variant: " + variant_.value_or("nil") +
         ", computeUnit: " + std::string(noxtal::description(computeUnits_)) + ")";
}

std::optional<std::filesystem::path> ModelInfo::findBaseFolder(const std::filesystem::path& url) const {
  std::vector<std::filesystem::path> components;
  for (const auto& component : url) {
    if (!component.empty()) components.push_back(component);
  }
  while (components.size() >= 2) {
    const bool matches = components.back().native() == name_;
    components.pop_back();
    if (matches) {
      std::filesystem::path folder;
      for (const auto& component : components) folder /= component;
      return folder;
    }
  }
  return std::nullopt;
}

}  // namespace noxtal
