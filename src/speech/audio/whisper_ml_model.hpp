// WhisperMLModel: the model-backed component of the speech library (the mel feature extractor,
// the audio encoder, the text decoder). It is the core model component with the speech
// library's errors: a prediction without a model throws
// WhisperError::modelsUnavailable("Models are unavailable"), and outputs lacking a required
// feature throw WhisperError::transcriptionFailed("Model output is missing feature <name>").
// The pipeline loads and unloads exactly the components that are WhisperMLModels.
#pragma once

#include <string_view>

#include "core/model_component.hpp"

namespace vostrane {

using LoadedModel = noxtal::LoadedModel;

class WhisperMLModel : public noxtal::ModelComponent {
 protected:
  [[noreturn]] void throwModelsUnavailable() const override;
  [[noreturn]] void throwMissingOutput(std::string_view name) const override;
};

}  // namespace vostrane
