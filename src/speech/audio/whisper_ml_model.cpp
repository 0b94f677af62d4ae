#include "speech/audio/whisper_ml_model.hpp"

#include <limits>

#include "core/model_utilities.hpp"

namespace vostrane {

void WhisperMLModel::loadModel(const std::filesystem::path& at, platform::ml::ComputeUnits computeUnits,
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

void WhisperMLModel::unloadModel() { setModel(nullptr); }

std::optional<int> modelFeatureDimension(const platform::ml::Model* model, bool input, std::string_view name,
                                         std::size_t position) {
  const auto index = static_cast<std::int64_t>(position);
  const std::optional<std::int64_t> dimension =
      input ? noxtal::ModelUtilities::getModelInputDimension(model, name, index)
            : noxtal::ModelUtilities::getModelOutputDimension(model, name, index);
  if (!dimension || *dimension < 0 || *dimension > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(*dimension);
}

}  // namespace vostrane
