#include "speech/audio/feature_extractor.hpp"

#include <memory>

#include "core/ml_helpers.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/model_features.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

std::optional<int> FeatureExtractor::melCount() const {
  return modelFeatureDimension(model().get(), false, "melspectrogram_features", 1);
}

std::optional<int> FeatureExtractor::windowSamples() const {
  return modelFeatureDimension(model().get(), true, "audio", 0);
}

std::optional<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(const AudioProcessorOutputType& fromAudio,
                                                                              std::stop_token stopToken) {
  const LoadedModel melModel = model();
  if (!melModel) throw WhisperError::modelsUnavailable("Models are unavailable");
  platform::sync::throwIfStopped(stopToken);
  platform::log::SignpostInterval interval(Signposters::featureExtractor(), "ExtractAudioFeatures");
  const MelSpectrogramInput input(fromAudio);
  auto features = std::make_shared<platform::ml::DictionaryFeatureProvider>(
      noxtal::asyncPrediction(*melModel, input, platform::ml::PredictionOptions{}, stopToken));
  const MelSpectrogramOutput output(std::move(features));
  platform::ml::MultiArray mel = output.melspectrogramFeatures();
  interval.end();
  return mel;
}

}  // namespace vostrane
