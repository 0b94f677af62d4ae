// The pieces every demo model writer shares: little-endian float32 weights, feature and node
// entries of a graph model, and the "<Name>.mlmodelc" folder with its model.json and
// weights.bin.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"

namespace demomodels::graph {

// Little-endian float32 weights, appended one tensor after another.
class Weights {
 public:
  // Appends `values` and returns their byte offset.
  std::int64_t add(const std::vector<float>& values);
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

platform::json::Json feature(const std::string& name, const std::string& type, std::vector<std::int64_t> shape);
// A graph node; `inputs` is left out when empty.
platform::json::Json node(const std::string& op, std::vector<std::string> inputs, const std::string& output);

// Writes <folder>/<name>.mlmodelc/model.json, and weights.bin when `weights` is given.
void writeModel(platform::fs::FileSystem& fileSystem, const std::filesystem::path& folder, const std::string& name,
                platform::json::Json inputs, platform::json::Json outputs, platform::json::Json nodes,
                const Weights* weights);

}  // namespace demomodels::graph
