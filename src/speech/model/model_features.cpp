#include "speech/model/model_features.hpp"

#include <utility>

#include "speech/model/whisper_error.hpp"

namespace vostrane {

using platform::ml::DictionaryFeatureProvider;
using platform::ml::FeatureValue;
using platform::ml::MultiArray;

namespace {

template <class T>
MultiArray fromShaped(const ShapedArray<T>& shaped) {
  return MultiArray::fromValues<T>(shaped.shape, std::span<const T>(shaped.scalars));
}

std::shared_ptr<const platform::ml::FeatureProvider> providerOf(
    std::initializer_list<std::pair<const char*, MultiArray>> entries) {
  auto provider = std::make_shared<DictionaryFeatureProvider>();
  for (const auto& [name, array] : entries) provider->set(name, array);
  return provider;
}

}  // namespace

MelSpectrogramInput::MelSpectrogramInput(const ShapedArray<float>& audio) : audio(fromShaped(audio)) {}

std::vector<std::string> MelSpectrogramInput::featureNames() const { return {"audio"}; }

std::optional<FeatureValue> MelSpectrogramInput::featureValue(std::string_view name) const {
  if (name == "audio") return FeatureValue(audio);
  return std::nullopt;
}

AudioEncoderInput::AudioEncoderInput(const ShapedArray<float>& melspectrogram_features)
    : melspectrogram_features(fromShaped(melspectrogram_features)) {}

std::vector<std::string> AudioEncoderInput::featureNames() const { return {"melspectrogram_features"}; }

std::optional<FeatureValue> AudioEncoderInput::featureValue(std::string_view name) const {
  if (name == "melspectrogram_features") return FeatureValue(melspectrogram_features);
  return std::nullopt;
}

TextDecoderInput::TextDecoderInput(MultiArray input_ids, MultiArray cache_length, MultiArray key_cache,
                                   MultiArray value_cache, MultiArray kv_cache_update_mask,
                                   MultiArray encoder_output_embeds, MultiArray decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const ShapedArray<std::int32_t>& input_ids,
                                   const ShapedArray<std::int32_t>& cache_length, const ShapedArray<float>& key_cache,
                                   const ShapedArray<float>& value_cache,
                                   const ShapedArray<float>& kv_cache_update_mask,
                                   const ShapedArray<float>& encoder_output_embeds,
                                   const ShapedArray<float>& decoder_key_padding_mask)
    : input_ids(fromShaped(input_ids)),
      cache_length(fromShaped(cache_length)),
      key_cache(fromShaped(key_cache)),
      value_cache(fromShaped(value_cache)),
      kv_cache_update_mask(fromShaped(kv_cache_update_mask)),
      encoder_output_embeds(fromShaped(encoder_output_embeds)),
      decoder_key_padding_mask(fromShaped(decoder_key_padding_mask)) {}

std::vector<std::string> TextDecoderInput::featureNames() const {
  return {"input_ids",
          "cache_length",
          "key_cache",
          "value_cache",
          "kv_cache_update_mask",
          "encoder_output_embeds",
          "decoder_key_padding_mask"};
}

std::optional<FeatureValue> TextDecoderInput::featureValue(std::string_view name) const {
  if (name == "input_ids") return FeatureValue(input_ids);
  if (name == "cache_length") return FeatureValue(cache_length);
  if (name == "key_cache") return FeatureValue(key_cache);
  if (name == "value_cache") return FeatureValue(value_cache);
  if (name == "kv_cache_update_mask") return FeatureValue(kv_cache_update_mask);
  if (name == "encoder_output_embeds") return FeatureValue(encoder_output_embeds);
  if (name == "decoder_key_padding_mask") return FeatureValue(decoder_key_padding_mask);
  return std::nullopt;
}

ModelOutput::ModelOutput(std::shared_ptr<const platform::ml::FeatureProvider> features)
    : provider_(std::move(features)) {
  platform::ml::requireThat(provider_ != nullptr, "ModelOutput: null feature provider");
}

MultiArray ModelOutput::required(std::string_view name) const {
  auto value = provider_->featureValue(name);
  if (!value) throw WhisperError::transcriptionFailed("Model output is missing feature " + std::string(name));
  return value->multiArrayValue();
}

std::optional<MultiArray> ModelOutput::optional(std::string_view name) const {
  auto value = provider_->featureValue(name);
  if (!value) return std::nullopt;
  return value->multiArrayValue();
}

ShapedArray<platform::ml::Float16> toFloat16ShapedArray(const MultiArray& array) {
  const MultiArray half = array.converted(platform::ml::DataType::float16);
  auto values = half.span<platform::ml::Float16>();
  return {array.shape(), std::vector<platform::ml::Float16>(values.begin(), values.end())};
}

MelSpectrogramOutput::MelSpectrogramOutput(MultiArray melspectrogram_features)
    : ModelOutput(providerOf({{"melspectrogram_features", std::move(melspectrogram_features)}})) {}

AudioEncoderOutput::AudioEncoderOutput(MultiArray encoder_output_embeds)
    : ModelOutput(providerOf({{"encoder_output_embeds", std::move(encoder_output_embeds)}})) {}

TextDecoderOutput::TextDecoderOutput(MultiArray logits, MultiArray key_cache_updates, MultiArray value_cache_updates,
                                     const MultiArray& /*argmaxLogits*/)
    : ModelOutput(providerOf({{"logits", std::move(logits)},
                              {"key_cache_updates", std::move(key_cache_updates)},
                              {"value_cache_updates", std::move(value_cache_updates)}})) {}

std::optional<ShapedArray<platform::ml::Float16>> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
  auto weights = alignment_heads_weights();
  if (!weights) return std::nullopt;
  return toFloat16ShapedArray(*weights);
}

}  // namespace vostrane
