// Finding model folders and reading the shapes of a loaded model's inputs and outputs.
//
// The model manager, the speech library and the diarization library locate their compiled
// models ("<Name>.mlmodelc") with detectModelURL; the text decoder reads cache and vocabulary
// sizes with the dimension readers. Folder listings are sorted by name, so results do not
// depend on the order the file system returns. Nothing here throws; all members are static and
// thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/ml/model.hpp"

namespace noxtal {

struct ModelUtilities {
  // folder/<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel when that file exists and
  // folder/<name>.mlmodelc does not; otherwise folder/<name>.mlmodelc (also when neither exists).
  static std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name);
  // `recursive` false: as above. `recursive` true: folder/<name>.mlmodelc when it exists; else
  // the first entry named "<name>.mlmodelc" in a depth-first walk of the folder (entries of each
  // folder visited in name order, symbolic links to folders not followed); else, or when the
  // folder cannot be read, folder/<name>.mlmodelc.
  static std::filesystem::path detectModelURL(const std::filesystem::path& folder, std::string_view name,
                                              bool recursive);
  // The first entry (in name order) of the folder with extension ".mlmodelc"; else the first
  // ".mlpackage" entry + "Data/com.apple.CoreML/model.mlmodel"; absent when there is neither or
  // the folder cannot be listed.
  static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

  // The declared shape of the multi-array input/output `name`; absent when `model` is null or
  // has no such feature or the feature has no multi-array constraint. Free dimensions read -1.
  static std::optional<std::vector<std::int64_t>> getModelInputShape(const platform::ml::Model* model,
                                                                     std::string_view name);
  static std::optional<std::vector<std::int64_t>> getModelOutputShape(const platform::ml::Model* model,
                                                                      std::string_view name);
  // Element `position` of that shape; absent when the shape is absent or position is outside it.
  static std::optional<std::int64_t> getModelInputDimension(const platform::ml::Model* model, std::string_view name,
                                                            std::int64_t position);
  static std::optional<std::int64_t> getModelOutputDimension(const platform::ml::Model* model, std::string_view name,
                                                             std::int64_t position);
};

}  // namespace noxtal
