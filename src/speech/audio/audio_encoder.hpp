// The encoder step of the front end: AudioEncoding (what the pipeline calls, so a caller may
// plug in its own encoder) and AudioEncoder, its implementation over the audio-encoder model.
// Mel features in, encoder embeddings out, with one prediction and no copy: the mel array is
// fed as it is and the returned array is the model's output array, which the text decoder
// takes unchanged.
#pragma once

#include <optional>
#include <stop_token>

#include "platform/ml/multi_array.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/audio/whisper_ml_model.hpp"

namespace vostrane {

// What encodeFeatures returns and the text decoder takes.
using AudioEncoderOutputType = platform::ml::MultiArray;

class AudioEncoding {
 public:
  virtual ~AudioEncoding() = default;
  // Width of one encoder embedding; absent when the model does not tell.
  virtual std::optional<int> embedSize() const = 0;
  // Encoder embeddings of one window's mel features.
  virtual std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features,
                                                               std::stop_token stopToken = {}) = 0;
};

class AudioEncoder final : public AudioEncoding, public WhisperMLModel {
 public:
  // No model.
  AudioEncoder() = default;

  // Dimension 1 of the output "encoder_output_embeds".
  std::optional<int> embedSize() const override;
  // Dimension 3 of the output "encoder_output_embeds".
  std::optional<int> sequenceLength() const;

  // Runs the encoder on `features` (fed as "melspectrogram_features") and returns its output
  // "encoder_output_embeds" (the model's own array). Throws, in this order of checks:
  // WhisperError::modelsUnavailable("Models are unavailable") without a model;
  // platform::sync::CancellationError when `stopToken` is stopped (before any prediction and
  // before the "EncodeAudio" signpost interval begins); the runtime's prediction error
  // unchanged (after the interval ends); WhisperError::transcriptionFailed when the output
  // lacks the feature. Thread-safe; calls are not serialised.
  std::optional<AudioEncoderOutputType> encodeFeatures(const FeatureExtractorOutputType& features,
                                                       std::stop_token stopToken = {}) override;
};

}  // namespace vostrane
