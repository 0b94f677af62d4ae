#include "platform/ml/model_folder.hpp"

#include <fstream>
#include <sstream>
#include <system_error>

#include "platform/ml/model_program.hpp"

namespace platform::ml {

namespace fs = std::filesystem;
using platform::json::Json;

namespace {

constexpr int kFormatVersion = 1;

std::string readText(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw ModelLoadError("Cannot read " + file.string());
  std::ostringstream text;
  text << stream.rdbuf();
  if (stream.bad()) throw ModelLoadError("Cannot read " + file.string());
  return text.str();
}

FeatureDescription readFeature(const Json& item, std::string_view list, bool fixedShape) {
  FeatureDescription feature;
  feature.name = platform::json::requireAs<std::string>(item, "name");
  if (feature.name.empty()) throw ModelLoadError("Empty feature name in \"" + std::string(list) + "\"");
  const auto typeName = platform::json::requireAs<std::string>(item, "dataType");
  const std::optional<DataType> type = parseDataType(typeName);
  if (!type) throw ModelLoadError("Feature \"" + feature.name + "\": unknown data type \"" + typeName + "\"");
  MultiArrayConstraint constraint;
  constraint.dataType = *type;
  constraint.shape = readIntegerList(item, "shape", "Feature \"" + feature.name + "\"");
  for (std::int64_t d : constraint.shape) {
    if (d < -1 || (fixedShape && d < 0)) {
      throw ModelLoadError("Feature \"" + feature.name + "\": invalid shape " + shapeText(constraint.shape));
    }
  }
  feature.multiArrayConstraint = constraint;
  feature.isOptional = platform::json::optionalAs<bool>(item, "optional").value_or(false);
  return feature;
}

std::vector<FeatureDescription> readFeatures(const Json& root, std::string_view key, bool required, bool fixedShape) {
  std::vector<FeatureDescription> features;
  auto it = root.find(key);
  if (it == root.end()) {
    if (required) throw ModelLoadError("model.json has no \"" + std::string(key) + "\" list");
    return features;
  }
  if (!it->is_array()) throw ModelLoadError("\"" + std::string(key) + "\" in model.json is not a list");
  for (const Json& item : *it) {
    FeatureDescription feature = readFeature(item, key, fixedShape);
    for (const auto& other : features) {
      if (other.name == feature.name) {
        throw ModelLoadError("Feature \"" + feature.name + "\" is declared twice in \"" + std::string(key) + "\"");
      }
    }
    features.push_back(std::move(feature));
  }
  return features;
}

// Runs a registered program.
class ProgramBackend final : public ModelBackend {
 public:
  explicit ProgramBackend(std::shared_ptr<const ModelProgram> program) : program_(std::move(program)) {}
  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, State* state,
                                    std::stop_token stopToken) const override {
    return program_->predict(inputs, state, std::move(stopToken));
  }

 private:
  std::shared_ptr<const ModelProgram> program_;
};

std::unique_ptr<const ModelBackend> makeProgramBackend(const Json& program, const ModelDescription& description) {
  if (!program.is_object()) throw ModelLoadError("\"program\" in model.json is not an object");
  const auto name = platform::json::requireAs<std::string>(program, "name");
  ModelProgramFactory factory = ModelProgramRegistry::shared().find(name);
  if (!factory) throw ModelLoadError("Unknown model program \"" + name + "\"");
  const Json parameters = program.contains("parameters") ? program.at("parameters") : Json::object();
  std::shared_ptr<const ModelProgram> instance;
  try {
    instance = factory(parameters, description);
  } catch (const ModelLoadError&) {
    throw;
  } catch (const std::exception& e) {
    throw ModelLoadError("Model program \"" + name + "\" rejected its parameters: " + e.what());
  }
  if (!instance) throw ModelLoadError("Model program \"" + name + "\" made no program");
  return std::make_unique<ProgramBackend>(std::move(instance));
}

}  // namespace

std::vector<std::int64_t> readIntegerList(const Json& object, std::string_view key, std::string_view context) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_array()) {
    throw ModelLoadError(std::string(context) + ": \"" + std::string(key) + "\" must be a list of integers");
  }
  std::vector<std::int64_t> values;
  for (const Json& v : *it) {
    if (!v.is_number_integer()) {
      throw ModelLoadError(std::string(context) + ": \"" + std::string(key) + "\" must be a list of integers");
    }
    values.push_back(v.get<std::int64_t>());
  }
  return values;
}

bool isJsonModelFolder(const fs::path& folder) {
  std::error_code error;
  return fs::is_regular_file(folder / "model.json", error);
}

LoadedBackend loadJsonModelFolder(const fs::path& folder) {
  const fs::path file = folder / "model.json";
  try {
    const Json root = platform::json::parse(readText(file));
    if (!root.is_object()) throw ModelLoadError("model.json is not an object");
    const auto version = platform::json::requireAs<int>(root, "formatVersion");
    if (version != kFormatVersion) {
      throw ModelLoadError("Unsupported model.json format version " + std::to_string(version));
    }
    LoadedBackend loaded;
    loaded.description.inputs = readFeatures(root, "inputs", true, false);
    loaded.description.outputs = readFeatures(root, "outputs", true, false);
    loaded.description.states = readFeatures(root, "states", false, true);
    const bool hasProgram = root.contains("program");
    const bool hasGraph = root.contains("graph");
    if (hasProgram == hasGraph) {
      throw ModelLoadError("model.json must hold exactly one of \"program\" and \"graph\"");
    }
    loaded.backend = hasProgram ? makeProgramBackend(root.at("program"), loaded.description)
                                : makeGraphBackend(root.at("graph"), folder / "weights.bin", loaded.description);
    return loaded;
  } catch (const ModelLoadError& e) {
    throw ModelLoadError(std::string(e.what()) + " (in " + file.string() + ")");
  } catch (const platform::json::JsonError& e) {
    throw ModelLoadError("Malformed model.json: " + std::string(e.what()) + " (in " + file.string() + ")");
  } catch (const nlohmann::json::exception& e) {
    throw ModelLoadError("Malformed model.json: " + std::string(e.what()) + " (in " + file.string() + ")");
  }
}

}  // namespace platform::ml
