// WhisperMLModel: the load, prewarm and unload rule shared by every model-backed component of
// the speech library (the mel feature extractor, the audio encoder, the text decoder). A
// component keeps its loaded model in a noxtal::Protected slot; a prediction takes the model
// out once per call, so a concurrent unload or reload does not disturb a call in progress.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "core/locks.hpp"
#include "core/model_state.hpp"
#include "platform/ml/model.hpp"

namespace vostrane {

using LoadedModel = std::shared_ptr<const platform::ml::Model>;

class WhisperMLModel {
 public:
  virtual ~WhisperMLModel() = default;

  // The loaded model, or null. Thread-safe (one locked read / write).
  virtual LoadedModel model() const = 0;
  virtual void setModel(LoadedModel model) = 0;

  // Loads the model folder with the given compute units. With prewarmMode false the model is
  // kept; with true it is loaded only to specialise it and then dropped, leaving no model
  // (also dropping a model loaded earlier). Throws the runtime's load error unchanged
  // (platform::ml::ModelLoadError), leaving the model as it was. Thread-safe.
  virtual void loadModel(const std::filesystem::path& at, platform::ml::ComputeUnits computeUnits, bool prewarmMode);
  // Drops the model; a running prediction keeps its own reference and completes.
  virtual void unloadModel();

  // loaded when a model is held, unloaded otherwise (the other states are set by the owner).
  noxtal::ModelState modelState() const {
    return model() != nullptr ? noxtal::ModelState::loaded : noxtal::ModelState::unloaded;
  }
};

// Dimension `position` of the multi-array constraint of the named input (`input` true) or
// output of `model`: absent when the model is null, the feature is missing or has no
// constraint, the shape is shorter than position + 1, or the dimension is free (-1).
std::optional<int> modelFeatureDimension(const platform::ml::Model* model, bool input, std::string_view name,
                                         std::size_t position);

}  // namespace vostrane
