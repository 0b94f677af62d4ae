#include "speech/model/model_features.hpp"

#include <gtest/gtest.h>

#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

MultiArray array(platform::ml::Shape shape) { return MultiArray(std::move(shape), DataType::float32); }

TEST(ModelFeaturesTest, InputsAnswerTheirNamesWithTheCurrentFields) {
  TextDecoderInput input(MultiArray({1}, DataType::int32), MultiArray({1}, DataType::int32), array({1, 2}),
                         array({1, 2}), array({1, 4}), array({1, 3, 1, 5}), array({1, 4}));
  EXPECT_EQ(input.featureNames(),
            (std::vector<std::string>{"input_ids", "cache_length", "key_cache", "value_cache", "kv_cache_update_mask",
                                      "encoder_output_embeds", "decoder_key_padding_mask"}));
  const MultiArray replacement({1}, DataType::int32);
  input.input_ids = replacement;
  ASSERT_TRUE(input.featureValue("input_ids"));
  EXPECT_TRUE(input.featureValue("input_ids")->multiArrayValue().sharesStorageWith(replacement));
  EXPECT_FALSE(input.featureValue("logits"));

  const MelSpectrogramInput mel(array({480000}));
  EXPECT_EQ(mel.featureNames(), std::vector<std::string>{"audio"});
  EXPECT_TRUE(mel.featureValue("audio"));
  EXPECT_FALSE(mel.featureValue("Audio"));

  const AudioEncoderInput shaped(ShapedArray<float>{{1, 2, 1, 2}, {1, 2, 3, 4}});
  EXPECT_EQ(shaped.melspectrogram_features.shape(), (platform::ml::Shape{1, 2, 1, 2}));
  EXPECT_EQ(shaped.melspectrogram_features.floatAt(3), 4.0F);
  const TextDecoderInput shapedDecoder(ShapedArray<std::int32_t>{{1}, {5}}, ShapedArray<std::int32_t>{{1}, {0}},
                                       {{1}, {0}}, {{1}, {0}}, {{1}, {1}}, {{1}, {0}}, {{1}, {0}});
  EXPECT_EQ(shapedDecoder.input_ids.dataType(), DataType::int32);
  EXPECT_EQ(shapedDecoder.key_cache.dataType(), DataType::float32);
}

TEST(ModelFeaturesTest, OutputsWrapTheirProvider) {
  const MultiArray logits = array({1, 1, 8});
  const TextDecoderOutput decoder(logits, array({1, 2}), array({1, 2}), array({1}));
  EXPECT_EQ(decoder.featureNames(), (std::vector<std::string>{"key_cache_updates", "logits", "value_cache_updates"}));
  EXPECT_FALSE(decoder.alignment_heads_weights());
  EXPECT_FALSE(decoder.alignment_heads_weightsShapedArray());
  EXPECT_TRUE(decoder.logits().sharesStorageWith(logits));
  EXPECT_EQ(decoder.logitsShapedArray().scalars.size(), 8U);

  auto provider = std::make_shared<platform::ml::DictionaryFeatureProvider>();
  provider->set("encoder_output_embeds", array({1, 4, 1, 3}));
  provider->set("extra", array({1}));
  const AudioEncoderOutput encoder(provider);
  EXPECT_EQ(encoder.featureNames(), (std::vector<std::string>{"encoder_output_embeds", "extra"}));
  EXPECT_EQ(encoder.encoder_output_embedsShapedArray().shape, (platform::ml::Shape{1, 4, 1, 3}));
}

TEST(ModelFeaturesTest, MissingRequiredOutputIsATranscriptionFailure) {
  const MelSpectrogramOutput empty(std::make_shared<platform::ml::DictionaryFeatureProvider>());
  try {
    empty.melspectrogramFeatures();
    FAIL() << "expected an error";
  } catch (const WhisperError& error) {
    EXPECT_EQ(error.errorCase(), WhisperError::Case::transcriptionFailed);
    EXPECT_NE(error.message().find("melspectrogram_features"), std::string::npos);
  }
  const TextDecoderOutput partial(std::make_shared<platform::ml::DictionaryFeatureProvider>());
  EXPECT_THROW(partial.value_cache_updates(), WhisperError);
}

}  // namespace
}  // namespace vostrane
