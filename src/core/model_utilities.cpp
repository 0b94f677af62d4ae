#include "core/model_utilities.hpp"

#include <algorithm>
#include <system_error>

namespace noxtal {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCompiledExtension = ".mlmodelc";
constexpr std::string_view kPackageExtension = ".mlpackage";

fs::path packageModelFile(const fs::path& package) { return package / "Data" / "com.apple.CoreML" / "model.mlmodel"; }

bool pathExists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// The entries of `folder` sorted by file name; absent when it cannot be listed.
std::optional<std::vector<fs::directory_entry>> sortedEntries(const fs::path& folder) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) return std::nullopt;
  std::vector<fs::directory_entry> entries;
  for (const fs::directory_iterator end; it != end; it.increment(error)) {
    if (error) return std::nullopt;
    entries.push_back(*it);
  }
  if (error) return std::nullopt;
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  return entries;
}

std::optional<fs::path> findNested(const fs::path& folder, const fs::path& target, int depth) {
  if (depth > 64) return std::nullopt;
  const auto entries = sortedEntries(folder);
  if (!entries) return std::nullopt;
  for (const auto& entry : *entries) {
    if (entry.path().filename() == target) return entry.path();
    std::error_code error;
    if (entry.is_directory(error) && !entry.is_symlink(error)) {
      if (auto found = findNested(entry.path(), target, depth + 1)) return found;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::int64_t>> shapeOf(const platform::ml::FeatureDescription* feature) {
  if (feature == nullptr || feature->type != platform::ml::FeatureType::multiArray || !feature->multiArrayConstraint) {
    return std::nullopt;
  }
  return feature->multiArrayConstraint->shape;
}

std::optional<std::int64_t> dimensionOf(const std::optional<std::vector<std::int64_t>>& shape, std::int64_t position) {
  if (!shape || position < 0 || position >= static_cast<std::int64_t>(shape->size())) return std::nullopt;
  return (*shape)[static_cast<std::size_t>(position)];
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, std::string_view name) {
  const fs::path compiled = folder / (std::string(name) + std::string(kCompiledExtension));
  const fs::path package = packageModelFile(folder / (std::string(name) + std::string(kPackageExtension)));
  if (pathExists(package) && !pathExists(compiled)) return package;
  return compiled;
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, std::string_view name, bool recursive) {
  if (!recursive) return detectModelURL(folder, name);
  const fs::path target = std::string(name) + std::string(kCompiledExtension);
  const fs::path direct = folder / target;
  if (pathExists(direct)) return direct;
  return findNested(folder, target, 0).value_or(direct);
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
  const auto entries = sortedEntries(folder);
  if (!entries) return std::nullopt;
  for (const auto& entry : *entries) {
    if (entry.path().extension() == kCompiledExtension) return entry.path();
  }
  for (const auto& entry : *entries) {
    if (entry.path().extension() == kPackageExtension) return packageModelFile(entry.path());
  }
  return std::nullopt;
}

std::optional<std::vector<std::int64_t>> ModelUtilities::getModelInputShape(const platform::ml::Model* model,
                                                                            std::string_view name) {
  if (model == nullptr) return std::nullopt;
  return shapeOf(model->description().input(name));
}

std::optional<std::vector<std::int64_t>> ModelUtilities::getModelOutputShape(const platform::ml::Model* model,
                                                                             std::string_view name) {
  if (model == nullptr) return std::nullopt;
  return shapeOf(model->description().output(name));
}

std::optional<std::int64_t> ModelUtilities::getModelInputDimension(const platform::ml::Model* model,
                                                                   std::string_view name, std::int64_t position) {
  return dimensionOf(getModelInputShape(model, name), position);
}

std::optional<std::int64_t> ModelUtilities::getModelOutputDimension(const platform::ml::Model* model,
                                                                    std::string_view name, std::int64_t position) {
  return dimensionOf(getModelOutputShape(model, name), position);
}

}  // namespace noxtal
