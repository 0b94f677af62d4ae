// The mel-spectrogram step of the front end: FeatureExtracting (what the pipeline calls, so a
// caller may plug in its own extractor) and FeatureExtractor, its implementation over the mel
// model. One 16 kHz audio window in, log-mel features out, with one prediction and no copy:
// the returned array is the model's output array, which the encoder then takes unchanged.
#pragma once

#include <optional>
#include <stop_token>

#include "platform/ml/multi_array.hpp"
#include "speech/audio/audio_processing.hpp"
#include "speech/audio/whisper_ml_model.hpp"

namespace vostrane {

// What logMelSpectrogram returns and the audio encoder takes.
using FeatureExtractorOutputType = platform::ml::MultiArray;

class FeatureExtracting {
 public:
  virtual ~FeatureExtracting() = default;
  // Mel bins produced; absent when the model does not tell.
  virtual std::optional<int> melCount() const = 0;
  // Audio samples one call expects; absent when the model does not tell.
  virtual std::optional<int> windowSamples() const = 0;
  // Mel features of one padded window.
  virtual std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& fromAudio,
                                                                      std::stop_token stopToken = {}) = 0;
};

class FeatureExtractor final : public FeatureExtracting, public WhisperMLModel {
 public:
  // No model.
  FeatureExtractor() = default;

  // Dimension 1 of the output "melspectrogram_features".
  std::optional<int> melCount() const override;
  // Dimension 0 of the input "audio".
  std::optional<int> windowSamples() const override;

  // Runs the mel model on `fromAudio` (fed as "audio") and returns its output
  // "melspectrogram_features" (the model's own array). Throws, in this order of checks:
  // WhisperError::modelsUnavailable("Models are unavailable") without a model;
  // platform::sync::CancellationError when `stopToken` is stopped (before any prediction and
  // before the "ExtractAudioFeatures" signpost interval begins); the runtime's prediction
  // error unchanged (after the interval ends); WhisperError::transcriptionFailed when the
  // output lacks the feature. Thread-safe; calls are not serialised.
  std::optional<FeatureExtractorOutputType> logMelSpectrogram(const AudioProcessorOutputType& fromAudio,
                                                              std::stop_token stopToken = {}) override;
};

}  // namespace vostrane
