#include "speech/audio/audio_encoder.hpp"

#include "speech/model/constants.hpp"
#include "speech/model/model_features.hpp"

namespace vostrane {

namespace {
constexpr std::string_view kEmbeddings = "encoder_output_embeds";
}  // namespace

std::optional<int> AudioEncoder::embedSize() const { return outputDimension(kEmbeddings, 1); }

std::optional<int> AudioEncoder::sequenceLength() const { return outputDimension(kEmbeddings, 3); }

std::optional<AudioEncoderOutputType> AudioEncoder::encodeFeatures(const FeatureExtractorOutputType& features,
                                                                   std::stop_token stopToken) {
  const AudioEncoderInput input(features);
  platform::ml::DictionaryFeatureProvider outputs =
      predict(input, {Signposters::audioEncoding(), "EncodeAudio"}, {kEmbeddings}, std::move(stopToken));
  return *outputs.multiArray(kEmbeddings);
}

}  // namespace vostrane
