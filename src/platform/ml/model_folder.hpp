// Reading of "model.json" model folders (internal to the model runtime).
//
// Parses the description and builds the program or graph backend the file names. Used by
// Model::load only.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/json/json.hpp"
#include "platform/ml/model.hpp"

namespace platform::ml {

struct LoadedBackend {
  ModelDescription description;
  std::unique_ptr<const ModelBackend> backend;
};

// True when `folder` holds a "model.json".
bool isJsonModelFolder(const std::filesystem::path& folder);

// Reads `folder`/model.json. Throws ModelLoadError naming the problem.
LoadedBackend loadJsonModelFolder(const std::filesystem::path& folder);

// The member `key` of `object` as a list of integers. Throws ModelLoadError naming `context`
// and the key when it is missing or holds anything but integers.
std::vector<std::int64_t> readIntegerList(const platform::json::Json& object, std::string_view key,
                                          std::string_view context);

// A graph backend for `graph` (the "graph" object of model.json) with constants read from
// `weightsFile`. Throws ModelLoadError (unknown operation, malformed node, missing weight).
std::unique_ptr<const ModelBackend> makeGraphBackend(const platform::json::Json& graph,
                                                     const std::filesystem::path& weightsFile,
                                                     const ModelDescription& description);

}  // namespace platform::ml
