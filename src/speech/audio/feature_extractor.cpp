#include "speech/audio/feature_extractor.hpp"

#include "speech/model/constants.hpp"
#include "speech/model/model_features.hpp"

namespace vostrane {

namespace {
constexpr std::string_view kAudio = "audio";
constexpr std::string_view kMelFeatures = "melspectrogram_features";
}  // namespace

std::optional<int> FeatureExtractor::melCount() const { return outputDimension(kMelFeatures, 1); }

std::optional<int> FeatureExtractor::windowSamples() const { return inputDimension(kAudio, 0); }

std::optional<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(const AudioProcessorOutputType& fromAudio,
                                                                              std::stop_token stopToken) {
  const MelSpectrogramInput input(fromAudio);
  platform::ml::DictionaryFeatureProvider outputs =
      predict(input, {Signposters::featureExtractor(), "ExtractAudioFeatures"}, {kMelFeatures}, std::move(stopToken));
  return *outputs.multiArray(kMelFeatures);
}

}  // namespace vostrane
