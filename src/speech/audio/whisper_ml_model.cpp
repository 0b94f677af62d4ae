#include "speech/audio/whisper_ml_model.hpp"

#include <string>

#include "speech/model/whisper_error.hpp"

namespace vostrane {

void WhisperMLModel::throwModelsUnavailable() const { throw WhisperError::modelsUnavailable("Models are unavailable"); }

void WhisperMLModel::throwMissingOutput(std::string_view name) const {
  throw WhisperError::transcriptionFailed("Model output is missing feature " + std::string(name));
}

}  // namespace vostrane
