#include "speech/audio/audio_encoder.hpp"

#include <memory>

#include "core/ml_helpers.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/model_features.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

std::optional<int> AudioEncoder::embedSize() const {
  return modelFeatureDimension(model().get(), false, "encoder_output_embeds", 1);
}

std::optional<int> AudioEncoder::sequenceLength() const {
  return modelFeatureDimension(model().get(), false, "encoder_output_embeds", 3);
}

std::optional<AudioEncoderOutputType> AudioEncoder::encodeFeatures(const FeatureExtractorOutputType& features,
                                                                   std::stop_token stopToken) {
  const LoadedModel encoderModel = model();
  if (!encoderModel) throw WhisperError::modelsUnavailable("Models are unavailable");
  platform::sync::throwIfStopped(stopToken);
  platform::log::SignpostInterval interval(Signposters::audioEncoding(), "EncodeAudio");
  const AudioEncoderInput input(features);
  auto outputs = std::make_shared<platform::ml::DictionaryFeatureProvider>(
      noxtal::asyncPrediction(*encoderModel, input, platform::ml::PredictionOptions{}, stopToken));
  const AudioEncoderOutput output(std::move(outputs));
  platform::ml::MultiArray embeddings = output.encoder_output_embeds();
  interval.end();
  return embeddings;
}

}  // namespace vostrane
