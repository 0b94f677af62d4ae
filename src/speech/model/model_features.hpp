// The named tensors of the three speech models as feature providers: the inputs and outputs
// of the mel-spectrogram model, the audio encoder and the text decoder, with the exact feature
// names the model folders declare. The front end builds the mel and encoder inputs and reads
// their outputs; the text decoder uses the decoder records.
//
// Arrays are platform::ml::MultiArray handles: storing or returning one shares its storage,
// so the mel output reaches the encoder, and the encoder output the decoder, as the same
// array. Only the ShapedArray constructors and the *ShapedArray accessors copy elements.
// Objects are not synchronised; const members may be read from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ml/feature.hpp"
#include "platform/ml/multi_array.hpp"

namespace vostrane {

// A plain shaped array of scalars (row-major), the copying form of a tensor.
template <class T>
struct ShapedArray {
  platform::ml::Shape shape;
  std::vector<T> scalars;
};

// Input of the mel model: "audio", one window of mono samples (dimension 0 is the window
// length).
class MelSpectrogramInput final : public platform::ml::FeatureProvider {
 public:
  explicit MelSpectrogramInput(platform::ml::MultiArray audio) : audio(std::move(audio)) {}
  // Converts to a float32 array. Throws platform::ml::MultiArrayError on a shape/count mismatch.
  explicit MelSpectrogramInput(const ShapedArray<float>& audio);

  platform::ml::MultiArray audio;

  // {"audio"}.
  std::vector<std::string> featureNames() const override;
  // The current `audio` for "audio" (exact, case-sensitive match); absent otherwise.
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;
};

// Input of the audio encoder: "melspectrogram_features".
class AudioEncoderInput final : public platform::ml::FeatureProvider {
 public:
  explicit AudioEncoderInput(platform::ml::MultiArray melspectrogram_features)
      : melspectrogram_features(std::move(melspectrogram_features)) {}
  explicit AudioEncoderInput(const ShapedArray<float>& melspectrogram_features);

  platform::ml::MultiArray melspectrogram_features;

  std::vector<std::string> featureNames() const override;
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;
};

// Input of the text decoder: seven arrays named like their features.
class TextDecoderInput final : public platform::ml::FeatureProvider {
 public:
  TextDecoderInput(platform::ml::MultiArray input_ids, platform::ml::MultiArray cache_length,
                   platform::ml::MultiArray key_cache, platform::ml::MultiArray value_cache,
                   platform::ml::MultiArray kv_cache_update_mask, platform::ml::MultiArray encoder_output_embeds,
                   platform::ml::MultiArray decoder_key_padding_mask);
  // int32 arrays for the first two, float32 for the other five.
  TextDecoderInput(const ShapedArray<std::int32_t>& input_ids, const ShapedArray<std::int32_t>& cache_length,
                   const ShapedArray<float>& key_cache, const ShapedArray<float>& value_cache,
                   const ShapedArray<float>& kv_cache_update_mask, const ShapedArray<float>& encoder_output_embeds,
                   const ShapedArray<float>& decoder_key_padding_mask);

  platform::ml::MultiArray input_ids;
  platform::ml::MultiArray cache_length;
  platform::ml::MultiArray key_cache;
  platform::ml::MultiArray value_cache;
  platform::ml::MultiArray kv_cache_update_mask;
  platform::ml::MultiArray encoder_output_embeds;
  platform::ml::MultiArray decoder_key_padding_mask;

  // The seven names in field order.
  std::vector<std::string> featureNames() const override;
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;
};

// Base of the output records: wraps the provider a prediction returned (or one built from
// arrays) and answers its names and values unchanged.
class ModelOutput : public platform::ml::FeatureProvider {
 public:
  // `features` must not be null.
  explicit ModelOutput(std::shared_ptr<const platform::ml::FeatureProvider> features);

  const std::shared_ptr<const platform::ml::FeatureProvider>& provider() const { return provider_; }

  std::vector<std::string> featureNames() const override { return provider_->featureNames(); }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override {
    return provider_->featureValue(name);
  }

 protected:
  // The array of a required feature. Throws WhisperError::transcriptionFailed naming the
  // feature when the provider does not hold it.
  platform::ml::MultiArray required(std::string_view name) const;
  // The array of an optional feature, or absent.
  std::optional<platform::ml::MultiArray> optional(std::string_view name) const;

 private:
  std::shared_ptr<const platform::ml::FeatureProvider> provider_;
};

// The elements of `array` as 16-bit floats (a copy).
ShapedArray<platform::ml::Float16> toFloat16ShapedArray(const platform::ml::MultiArray& array);

// Output of the mel model: "melspectrogram_features".
class MelSpectrogramOutput final : public ModelOutput {
 public:
  using ModelOutput::ModelOutput;
  // A one-entry provider holding the array under "melspectrogram_features".
  explicit MelSpectrogramOutput(platform::ml::MultiArray melspectrogram_features);

  // Throws WhisperError::transcriptionFailed when the feature is missing.
  platform::ml::MultiArray melspectrogramFeatures() const { return required("melspectrogram_features"); }
  ShapedArray<platform::ml::Float16> melspectrogram_featuresShapedArray() const {
    return toFloat16ShapedArray(melspectrogramFeatures());
  }
};

// Output of the audio encoder: "encoder_output_embeds" (four dimensions: dimension 1 the
// embedding size, dimension 3 the sequence length).
class AudioEncoderOutput final : public ModelOutput {
 public:
  using ModelOutput::ModelOutput;
  explicit AudioEncoderOutput(platform::ml::MultiArray encoder_output_embeds);

  // Throws WhisperError::transcriptionFailed when the feature is missing.
  platform::ml::MultiArray encoder_output_embeds() const { return required("encoder_output_embeds"); }
  ShapedArray<platform::ml::Float16> encoder_output_embedsShapedArray() const {
    return toFloat16ShapedArray(encoder_output_embeds());
  }
};

// Output of the text decoder: "logits", "key_cache_updates", "value_cache_updates" and, only
// where the model has it, "alignment_heads_weights".
class TextDecoderOutput final : public ModelOutput {
 public:
  using ModelOutput::ModelOutput;
  // A provider with exactly the three entries "logits", "key_cache_updates" and
  // "value_cache_updates". `argmaxLogits` (the positions of the largest logits) is accepted
  // and not kept.
  TextDecoderOutput(platform::ml::MultiArray logits, platform::ml::MultiArray key_cache_updates,
                    platform::ml::MultiArray value_cache_updates, const platform::ml::MultiArray& argmaxLogits);

  // The three required tensors throw WhisperError::transcriptionFailed when missing.
  platform::ml::MultiArray logits() const { return required("logits"); }
  ShapedArray<platform::ml::Float16> logitsShapedArray() const { return toFloat16ShapedArray(logits()); }
  platform::ml::MultiArray key_cache_updates() const { return required("key_cache_updates"); }
  ShapedArray<platform::ml::Float16> key_cache_updatesShapedArray() const {
    return toFloat16ShapedArray(key_cache_updates());
  }
  platform::ml::MultiArray value_cache_updates() const { return required("value_cache_updates"); }
  ShapedArray<platform::ml::Float16> value_cache_updatesShapedArray() const {
    return toFloat16ShapedArray(value_cache_updates());
  }
  // Absent for decoder models without alignment heads.
  std::optional<platform::ml::MultiArray> alignment_heads_weights() const {
    return optional("alignment_heads_weights");
  }
  std::optional<ShapedArray<platform::ml::Float16>> alignment_heads_weightsShapedArray() const;
};

}  // namespace vostrane
