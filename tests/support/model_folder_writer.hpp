// Test support: writes model folders ("<Name>.mlmodelc" with model.json and weights.bin) into a
// temporary folder that is removed when the writer goes away.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/json/json.hpp"
#include "support/temporary_folder.hpp"

namespace testsupport {

inline void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream stream(file, std::ios::binary);
  stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Appends float32 values to a weights buffer and returns their byte offset.
inline std::int64_t appendFloats(std::string& weights, const std::vector<float>& values) {
  const auto offset = static_cast<std::int64_t>(weights.size());
  std::string bytes(values.size() * sizeof(float), '\0');
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  weights += bytes;
  return offset;
}

// Writes <parent>/<name>.mlmodelc/model.json (and weights.bin when `weights` is not empty);
// returns the model folder.
inline std::filesystem::path writeModelFolder(const std::filesystem::path& parent, const std::string& name,
                                              const platform::json::Json& model, const std::string& weights = {}) {
  const auto folder = parent / (name + ".mlmodelc");
  writeFile(folder / "model.json", platform::json::dump(model, 2));
  if (!weights.empty()) writeFile(folder / "weights.bin", weights);
  return folder;
}

inline platform::json::Json feature(const std::string& name, const std::string& dataType,
                                    const std::vector<std::int64_t>& shape, bool optional = false) {
  platform::json::Json f = {{"name", name}, {"dataType", dataType}, {"shape", shape}};
  if (optional) f["optional"] = true;
  return f;
}

}  // namespace testsupport
