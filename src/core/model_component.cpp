#include "core/model_component.hpp"

#include <cstdint>
#include <limits>

#include "core/ml_helpers.hpp"
#include "core/model_utilities.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {

namespace {

std::optional<int> asDimension(std::optional<std::int64_t> dimension) {
  if (!dimension || *dimension < 0 || *dimension > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(*dimension);
}

}  // namespace

void ModelComponent::loadModel(const std::filesystem::path& at, platform::ml::ComputeUnits computeUnits,
                               bool prewarmMode) {
  platform::ml::ModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  LoadedModel loaded = platform::ml::Model::load(at, configuration);
  if (prewarmMode) {
    // The load only specialises the model for this machine; its memory is freed at once.
    loaded.reset();
    setModel(nullptr);
  } else {
    setModel(std::move(loaded));
  }
}

void ModelComponent::unloadModel() { setModel(nullptr); }

ModelState ModelComponent::modelState() const { return model() != nullptr ? ModelState::loaded : ModelState::unloaded; }

std::optional<int> ModelComponent::inputDimension(std::string_view name, std::size_t position) const {
  if (position > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  const LoadedModel current = model();
  return asDimension(ModelUtilities::getModelInputDimension(current.get(), name, static_cast<std::int64_t>(position)));
}

std::optional<int> ModelComponent::outputDimension(std::string_view name, std::size_t position) const {
  if (position > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
  const LoadedModel current = model();
  return asDimension(ModelUtilities::getModelOutputDimension(current.get(), name, static_cast<std::int64_t>(position)));
}

platform::ml::DictionaryFeatureProvider ModelComponent::predict(const platform::ml::FeatureProvider& inputs,
                                                                Signpost signpost,
                                                                std::span<const std::string_view> requiredOutputs,
                                                                std::stop_token stopToken,
                                                                platform::ml::State* state) const {
  const LoadedModel current = model();
  if (!current) throwModelsUnavailable();
  platform::sync::throwIfStopped(stopToken);
  platform::log::SignpostInterval interval(signpost.signposter, std::string(signpost.intervalName));
  platform::ml::DictionaryFeatureProvider outputs =
      state != nullptr
          ? asyncPrediction(*current, inputs, *state, platform::ml::PredictionOptions{}, std::move(stopToken))
          : asyncPrediction(*current, inputs, platform::ml::PredictionOptions{}, std::move(stopToken));
  interval.end();
  for (const std::string_view name : requiredOutputs) {
    if (!outputs.featureValue(name)) throwMissingOutput(name);
  }
  return outputs;
}

}  // namespace noxtal
