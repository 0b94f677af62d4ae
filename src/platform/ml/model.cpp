#include "platform/ml/model.hpp"

#include <system_error>

#include "platform/ml/model_folder.hpp"
#include "platform/sync/cancellation.hpp"

namespace platform::ml {

std::optional<MultiArray> State::multiArray(std::string_view name) const {
  auto it = buffers_.find(name);
  if (it == buffers_.end()) return std::nullopt;
  return it->second;
}

void State::setMultiArray(std::string_view name, MultiArray array) {
  auto it = buffers_.find(name);
  requireThat(it != buffers_.end(), "State: no buffer of that name");
  requireThat(it->second.shape() == array.shape() && it->second.dataType() == array.dataType(),
              "State: buffer replaced by an array of another shape or type");
  it->second = std::move(array);
}

std::vector<std::string> State::names() const {
  std::vector<std::string> names;
  for (const auto& [name, buffer] : buffers_) names.push_back(name);
  return names;
}

Model::Model(std::filesystem::path folder, ModelConfiguration configuration, ModelDescription description,
             std::unique_ptr<const ModelBackend> backend)
    : folder_(std::move(folder)),
      configuration_(configuration),
      description_(std::move(description)),
      backend_(std::move(backend)) {}

std::shared_ptr<const Model> Model::load(const std::filesystem::path& folder, const ModelConfiguration& configuration) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error)) {
    throw ModelLoadError("Model folder not found: " + folder.string());
  }
  // Backends are chosen by what the folder holds; a folder of compiled model bundles will get
  // its own backend beside this one.
  if (!isJsonModelFolder(folder)) {
    throw ModelLoadError("Unrecognised model folder (no model.json): " + folder.string());
  }
  LoadedBackend loaded = loadJsonModelFolder(folder);
  return std::shared_ptr<const Model>(
      new Model(folder, configuration, std::move(loaded.description), std::move(loaded.backend)));
}

namespace {

std::string featureLabel(std::string_view kind, std::string_view name) {
  return std::string(kind) + " feature \"" + std::string(name) + "\"";
}

// Checks `array` against `feature` and converts it to the declared type.
MultiArray conformed(const MultiArray& array, const FeatureDescription& feature, std::string_view kind) {
  if (!feature.multiArrayConstraint) return array;
  const MultiArrayConstraint& constraint = *feature.multiArrayConstraint;
  if (array.rank() != constraint.shape.size()) {
    throw PredictionError(featureLabel(kind, feature.name) + ": expected rank " +
                          std::to_string(constraint.shape.size()) + " (shape " + shapeText(constraint.shape) +
                          "), got rank " + std::to_string(array.rank()) + " (shape " + shapeText(array.shape()) + ")");
  }
  if (!shapeMatches(array.shape(), constraint.shape)) {
    throw PredictionError(featureLabel(kind, feature.name) + ": expected shape " + shapeText(constraint.shape) +
                          ", got " + shapeText(array.shape()));
  }
  return array.converted(constraint.dataType);
}

}  // namespace

DictionaryFeatureProvider Model::run(const FeatureProvider& input, State* state, std::stop_token stopToken) const {
  platform::sync::throwIfStopped(stopToken);
  DictionaryFeatureProvider inputs;
  for (const FeatureDescription& feature : description_.inputs) {
    std::optional<FeatureValue> value = input.featureValue(feature.name);
    if (!value) {
      if (feature.isOptional) continue;
      throw PredictionError("Missing input feature \"" + feature.name + "\"");
    }
    inputs.set(feature.name, conformed(value->multiArrayValue(), feature, "Input"));
  }
  DictionaryFeatureProvider raw = backend_->predict(inputs, state, stopToken);
  // Outputs are the caller's own arrays: one that shares storage with an input or a state
  // buffer (a backend that hands an input back, a reshaped view) is copied, so that the
  // caller's later in-place changes of its inputs or state cannot alter it.
  const auto aliases = [&](const MultiArray& array) {
    for (const auto& [name, value] : inputs.values()) {
      if (array.sharesStorageWith(value.multiArrayValue())) return true;
    }
    if (state != nullptr) {
      for (const auto& [name, buffer] : state->buffers_) {
        if (array.sharesStorageWith(buffer)) return true;
      }
    }
    return false;
  };
  DictionaryFeatureProvider outputs;
  for (const FeatureDescription& feature : description_.outputs) {
    std::optional<MultiArray> value = raw.multiArray(feature.name);
    if (!value) {
      if (feature.isOptional) continue;
      throw PredictionError("The model did not produce output feature \"" + feature.name + "\"");
    }
    MultiArray output = conformed(*value, feature, "Output");
    if (aliases(output)) output = output.copy();
    outputs.set(feature.name, std::move(output));
  }
  return outputs;
}

DictionaryFeatureProvider Model::predict(const FeatureProvider& input, const PredictionOptions& /*options*/,
                                         std::stop_token stopToken) const {
  return run(input, nullptr, std::move(stopToken));
}

DictionaryFeatureProvider Model::predict(const FeatureProvider& input, State& state,
                                         const PredictionOptions& /*options*/, std::stop_token stopToken) const {
  if (state.owner_ != this) throw PredictionError("The state was not made by this model");
  // A moved-from State keeps its owner but no buffers; backends rely on every declared buffer.
  for (const FeatureDescription& feature : description_.states) {
    auto it = state.buffers_.find(feature.name);
    const MultiArrayConstraint& constraint = feature.multiArrayConstraint.value();
    if (it == state.buffers_.end() || it->second.shape() != constraint.shape ||
        it->second.dataType() != constraint.dataType) {
      throw PredictionError("State buffer \"" + feature.name + "\" is missing or does not match the model");
    }
  }
  return run(input, &state, std::move(stopToken));
}

State Model::makeState() const {
  State state(this);
  for (const FeatureDescription& feature : description_.states) {
    const MultiArrayConstraint& constraint = feature.multiArrayConstraint.value();
    state.buffers_.emplace(feature.name, MultiArray(constraint.shape, constraint.dataType));
  }
  return state;
}

}  // namespace platform::ml
