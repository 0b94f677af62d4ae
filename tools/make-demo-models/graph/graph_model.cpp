#include "tools/make-demo-models/graph/graph_model.hpp"

#include <cstring>
#include <utility>

namespace demomodels::graph {

using platform::json::Json;

std::int64_t Weights::add(const std::vector<float>& values) {
  const auto offset = static_cast<std::int64_t>(bytes_.size());
  for (const float v : values) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((bits >> (8 * i)) & 0xffu));
  }
  return offset;
}

Json feature(const std::string& name, const std::string& type, std::vector<std::int64_t> shape) {
  return {{"name", name}, {"dataType", type}, {"shape", std::move(shape)}};
}

Json node(const std::string& op, std::vector<std::string> inputs, const std::string& output) {
  Json n = {{"op", op}};
  if (!inputs.empty()) n["inputs"] = std::move(inputs);
  n["output"] = output;
  return n;
}

void writeModel(platform::fs::FileSystem& fileSystem, const std::filesystem::path& folder, const std::string& name,
                Json inputs, Json outputs, Json nodes, const Weights* weights) {
  const std::filesystem::path modelFolder = folder / (name + ".mlmodelc");
  fileSystem.createDirectories(modelFolder);
  const Json model = {{"formatVersion", 1},
                      {"inputs", std::move(inputs)},
                      {"outputs", std::move(outputs)},
                      {"graph", {{"nodes", std::move(nodes)}}}};
  fileSystem.writeFile(modelFolder / "model.json", platform::json::dump(model, 1) + "\n");
  if (weights != nullptr) fileSystem.writeFile(modelFolder / "weights.bin", weights->bytes());
}

}  // namespace demomodels::graph
