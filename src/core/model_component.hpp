// ModelComponent: the base of every model-backed component of the speech and diarization
// libraries (mel feature extractor, audio encoder, text decoder, segmenter, embedder, ...).
//
// It owns what those components have in common: the loaded-model slot, the load / prewarm /
// unload rule, the readers of the declared feature shapes and one prediction helper that
// checks for a model and for cancellation, times the prediction with a signpost interval and
// checks the outputs for the features the component needs. A component adds only its feature
// names and shapes, and the library supplies its own errors through two hooks.
//
// The loaded model is immutable and shared: a prediction takes the model out of the slot once
// per call, so a concurrent unload or reload never disturbs a call in progress. Every member is
// thread-safe; predictions are not serialised.
#pragma once

#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/locks.hpp"
#include "core/model_state.hpp"
#include "platform/log/log.hpp"
#include "platform/ml/feature.hpp"
#include "platform/ml/model.hpp"

namespace noxtal {

using LoadedModel = std::shared_ptr<const platform::ml::Model>;

class ModelComponent {
 public:
  ModelComponent() = default;
  ModelComponent(const ModelComponent&) = delete;
  ModelComponent& operator=(const ModelComponent&) = delete;
  virtual ~ModelComponent() = default;

  // The loaded model, or null (one locked read). A component may keep its model elsewhere by
  // overriding both; every other member goes through them.
  virtual LoadedModel model() const { return model_.get(); }
  // Replaces the model (one locked write); the previous model lives on in running predictions.
  virtual void setModel(LoadedModel model) { model_.set(std::move(model)); }

  // Loads the model folder `at` with the given compute units. With prewarmMode false the model
  // is kept; with true it is loaded only to specialise it for this machine and then dropped,
  // leaving no model (a model loaded earlier is dropped as well). Throws the runtime's load
  // error unchanged (platform::ml::ModelLoadError), leaving the model as it was.
  virtual void loadModel(const std::filesystem::path& at, platform::ml::ComputeUnits computeUnits, bool prewarmMode);
  // Drops the model; a running prediction keeps its own reference and completes.
  virtual void unloadModel();

  // loaded when a model is held, unloaded otherwise (the other states are set by the owner).
  ModelState modelState() const;

  // Dimension `position` of the multi-array constraint of the named input / output of the
  // current model: absent when there is no model, the feature is missing or has no
  // constraint, the shape is shorter than position + 1, or the dimension is free (-1) or does
  // not fit an int.
  std::optional<int> inputDimension(std::string_view name, std::size_t position) const;
  std::optional<int> outputDimension(std::string_view name, std::size_t position) const;

 protected:
  // Where and under which name a prediction is timed.
  struct Signpost {
    const platform::log::Logger& signposter;
    std::string_view intervalName;
  };

  // Runs one prediction of the current model on `inputs` and returns its outputs. In this
  // order: without a model, throws what modelsUnavailable() makes; when `stopToken` is
  // stopped, throws platform::sync::CancellationError (before any prediction and before the
  // interval begins); then begins the signpost interval, predicts (with `state` when not
  // null; it belongs to the caller and must not be shared by concurrent calls) and ends the
  // interval. The runtime's prediction errors pass through unchanged. When a name of
  // `requiredOutputs` is missing from the outputs, throws what missingOutput(name) makes.
  platform::ml::DictionaryFeatureProvider predict(const platform::ml::FeatureProvider& inputs, Signpost signpost,
                                                  std::span<const std::string_view> requiredOutputs,
                                                  std::stop_token stopToken = {},
                                                  platform::ml::State* state = nullptr) const;
  // The same with the required names listed in place.
  platform::ml::DictionaryFeatureProvider predict(const platform::ml::FeatureProvider& inputs, Signpost signpost,
                                                  std::initializer_list<std::string_view> requiredOutputs,
                                                  std::stop_token stopToken = {},
                                                  platform::ml::State* state = nullptr) const {
    return predict(inputs, signpost, std::span<const std::string_view>(requiredOutputs.begin(), requiredOutputs.size()),
                   std::move(stopToken), state);
  }

  // The library's error for a prediction without a loaded model.
  [[noreturn]] virtual void throwModelsUnavailable() const = 0;
  // The library's error for a prediction whose outputs lack the required feature `name`.
  [[noreturn]] virtual void throwMissingOutput(std::string_view name) const = 0;

 private:
  Protected<LoadedModel> model_;
};

}  // namespace noxtal
