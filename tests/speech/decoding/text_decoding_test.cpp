#include "speech/decoding/text_decoding.hpp"

#include <gtest/gtest.h>

#include "support/expect_error.hpp"

#include "speech/decoding/fake_tokenizer.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;
using testing::FakeTokenizer;
using testing::whisperLikeTokenizer;

// The default operations over settable dimensions; the model-side requirements are not used.
class DefaultsOnly final : public TextDecoding {
 public:
  std::optional<int> embedDim = 3;
  std::optional<int> maxLength = 8;
  std::optional<int> window = 5;
  bool multilingual = false;
  std::shared_ptr<const WhisperTokenizer> words;

  std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return words; }
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> t) override { words = std::move(t); }
  bool isModelMultilingual() const override { return multilingual; }
  void setIsModelMultilingual(bool m) override { multilingual = m; }
  bool supportsWordTimestamps() const override { return false; }
  std::optional<int> logitsSize() const override { return std::nullopt; }
  std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> logitsFilters() const override { return {}; }
  void setLogitsFilters(std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>>) override {}
  std::optional<int> kvCacheEmbedDim() const override { return embedDim; }
  std::optional<int> kvCacheMaxSequenceLength() const override { return maxLength; }
  std::optional<int> windowSize() const override { return window; }
  std::optional<int> embedSize() const override { return std::nullopt; }
  std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType&, std::stop_token) override {
    return nullptr;
  }
  DecodingResult decodeText(const AudioEncoderOutputType&, DecodingInputsType&, TokenSampling&, const DecodingOptions&,
                            const DecodingCallback&, std::stop_token) override {
    return {};
  }
  DecodingResult detectLanguage(const AudioEncoderOutputType&, DecodingInputsType&, TokenSampling&,
                                const DecodingOptions&, float, std::stop_token) override {
    return {};
  }
};

TEST(DecoderInputs, PreparationNeedsTheThreeDimensionsInOrder) {
  DefaultsOnly decoder;
  decoder.embedDim.reset();
  decoder.maxLength.reset();
  decoder.window.reset();
  const auto prepare = [&] { decoder.prepareDecoderInputs({1}); };
  testsupport::expectError<WhisperError>(prepare, WhisperError::Case::prepareDecoderInputsFailed, "Unable to determine kvCacheEmbedDim");
  decoder.embedDim = 3;
  testsupport::expectError<WhisperError>(prepare, WhisperError::Case::prepareDecoderInputsFailed,
                     "Unable to determine kvCacheMaxSequenceLength");
  decoder.maxLength = 8;
  testsupport::expectError<WhisperError>(prepare, WhisperError::Case::prepareDecoderInputsFailed, "Unable to determine encoderOutputDim");
}

TEST(DecoderInputs, PreparedArraysHaveTheContractShapesAndStartingMasks) {
  DefaultsOnly decoder;
  const auto prepared = std::dynamic_pointer_cast<DecodingInputs>(decoder.prepareDecoderInputs({50258}));
  ASSERT_TRUE(prepared);
  EXPECT_EQ(prepared->initialPrompt(), (std::vector<int>{50258}));
  EXPECT_EQ(prepared->inputIds().shape(), (platform::ml::Shape{1}));
  EXPECT_EQ(prepared->cacheLength().dataType(), DataType::int32);
  EXPECT_EQ(prepared->keyCache().shape(), (platform::ml::Shape{1, 3, 1, 8}));
  EXPECT_EQ(prepared->valueCache().dataType(), DataType::float16);
  EXPECT_EQ(prepared->alignmentWeights().shape(), (platform::ml::Shape{8, 5}));
  EXPECT_EQ(prepared->kvCacheUpdateMask().toFloatVector(), (std::vector<float>{1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(prepared->decoderKeyPaddingMask().dataType(), DataType::float16);
  EXPECT_EQ(prepared->decoderKeyPaddingMask().toFloatVector(),
            (std::vector<float>{0, -10000, -10000, -10000, -10000, -10000, -10000, -10000}));
  for (float v : prepared->keyCache().toFloatVector()) ASSERT_EQ(v, 0);
}

class Prefill : public ::testing::Test {
 protected:
  Prefill() { setTokenizer(whisperLikeTokenizer()); }
  void setTokenizer(FakeTokenizer t) {
    decoder_.words = std::make_shared<const WhisperTokenizerWrapper>(
        noxtal::tokenizers::TokenizerWrapper(std::make_shared<const FakeTokenizer>(std::move(t))));
  }
  std::vector<int> prefill(const std::optional<DecodingOptions>& options) {
    auto inputs = decoder_.prepareDecoderInputs({50258});
    auto& d = dynamic_cast<DecodingInputs&>(*inputs);
    d.kvCacheUpdateMask().setFloat(0, 0);
    d.decoderKeyPaddingMask().setFloat(0, -10000);
    auto same = decoder_.prefillDecoderInputs(inputs, options);
    EXPECT_EQ(same, inputs);
    EXPECT_EQ(d.kvCacheUpdateMask().floatAt(0), 1);
    EXPECT_EQ(d.decoderKeyPaddingMask().floatAt(0), 0);
    return same->initialPrompt();
  }
  DefaultsOnly decoder_;
};

TEST_F(Prefill, BuildsStartLanguageTaskAndTimestampMode) {
  EXPECT_EQ(prefill(std::nullopt), (std::vector<int>{50258}));
  EXPECT_EQ(prefill(DecodingOptions{}), (std::vector<int>{50258, 50364}));
  EXPECT_EQ(prefill(DecodingOptions{.withoutTimestamps = true}), (std::vector<int>{50258, 50363}));
  decoder_.multilingual = true;
  EXPECT_EQ(prefill(DecodingOptions{}), (std::vector<int>{50258, 50259, 50359, 50364}));
  EXPECT_EQ(prefill(DecodingOptions{.task = DecodingTask::translate, .language = "zh"}),
            (std::vector<int>{50258, 50260, 50358, 50364}));
}

TEST_F(Prefill, MissingLanguageAndTaskTokensFallBackEvenWithAnUnknownToken) {
  FakeTokenizer t;
  for (int id : {50257, 50258, 50259, 50359, 50361, 50363, 50364}) t.add(id, *whisperLikeTokenizer().convertIdToToken(id));
  t.unknown(50257);  // answers "<|endoftext|>" for "<|xx|>" and "<|translate|>"
  setTokenizer(t);
  decoder_.multilingual = true;
  EXPECT_EQ(prefill(DecodingOptions{.task = DecodingTask::translate, .language = "xx"}),
            (std::vector<int>{50258, 50259, 50359, 50364}));
}

TEST_F(Prefill, KeepsTheLastTextPromptTokensAndBoundsThePrefix) {
  std::vector<int> prompt;
  for (int i = 0; i < 200; ++i) prompt.push_back(1000 + i);
  const std::vector<int> withContext = prefill(DecodingOptions{.promptTokens = prompt});
  ASSERT_EQ(withContext.size(), 1U + 111U + 2U);
  EXPECT_EQ(withContext.front(), 50361);
  EXPECT_EQ(withContext[1], 1089);
  EXPECT_EQ(withContext[111], 1199);
  EXPECT_EQ((std::vector<int>(withContext.end() - 2, withContext.end())), (std::vector<int>{50258, 50364}));

  EXPECT_EQ(prefill(DecodingOptions{.promptTokens = std::vector<int>{50257, 50300}}), (std::vector<int>{50258, 50364}));

  // 1 + 110 + 4 = 115 entries leave room for 107 prefix tokens.
  decoder_.multilingual = true;
  std::vector<int> prefix(150, 7);
  prefix.back() = 50364;  // a special id among the last ones is dropped, not replaced
  const std::vector<int> bounded =
      prefill(DecodingOptions{.promptTokens = std::vector<int>(prompt.end() - 110, prompt.end()), .prefixTokens = prefix});
  EXPECT_EQ(bounded.size(), 115U + 106U);

  // English-only: 1 + 111 + 2 = 114 entries, room for 108 of a longer prefix.
  decoder_.multilingual = false;
  const std::vector<int> full =
      prefill(DecodingOptions{.promptTokens = std::vector<int>(300, 9), .prefixTokens = std::vector<int>(200, 8)});
  EXPECT_EQ(full.size(), 222U);
  EXPECT_EQ(full.back(), 8);
}

TEST_F(Prefill, NeedsATokenizerAndDecodingInputs) {
  auto inputs = decoder_.prepareDecoderInputs({1});
  decoder_.words.reset();
  testsupport::expectError<WhisperError>([&] { decoder_.prefillDecoderInputs(inputs, std::nullopt); },
                     WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
  setTokenizer(whisperLikeTokenizer());
  testsupport::expectError<WhisperError>([&] { decoder_.prefillDecoderInputs(nullptr, std::nullopt); },
                     WhisperError::Case::prepareDecoderInputsFailed, "Unable to cast decoderInputs to DecodingInputs");
}

constexpr float kGuard = 7;

MultiArray guarded(platform::ml::Shape shape) {
  MultiArray array(std::move(shape), DataType::float16);
  array.fill(kGuard);
  return array;
}

// A [1, rows, 1, n] slice whose element (r, k) holds 100 r + k + sign.
MultiArray slice(std::int64_t rows, std::int64_t n, float sign, DataType type = DataType::float16) {
  MultiArray array({1, rows, 1, n}, type);
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t k = 0; k < n; ++k) array.setFloat(r * n + k, sign * static_cast<float>(100 * r + k + 1));
  }
  return array;
}

TEST(CacheCopies, KeyValueSliceLandsAtItsPositionsOnly) {
  MultiArray keys = guarded({1, 3, 1, 10});
  MultiArray values = guarded({1, 3, 1, 10});
  TextDecoding::updateKVCache(keys, slice(3, 3, 1), values, slice(3, 3, -1, DataType::float32), 5);
  for (std::int64_t r = 0; r < 3; ++r) {
    for (std::int64_t p = 0; p < 10; ++p) {
      const bool written = p >= 5 && p < 8;
      const float expected = written ? static_cast<float>(100 * r + (p - 5) + 1) : kGuard;
      EXPECT_EQ(keys.floatAt(r * 10 + p), expected) << r << "," << p;
      EXPECT_EQ(values.floatAt(r * 10 + p), written ? -expected : kGuard) << r << "," << p;
    }
  }
}

TEST(CacheCopies, OutputsThatDoNotFitAreRejectedBeforeAnyWrite) {
  MultiArray keys = guarded({1, 3, 1, 10});
  MultiArray values = guarded({1, 3, 1, 10});
  const auto rejects = [&](const MultiArray& keySlice, const MultiArray& valueSlice, int at, const char* what) {
    SCOPED_TRACE(what);
    testsupport::expectError<WhisperError>([&] { TextDecoding::updateKVCache(keys, keySlice, values, valueSlice, at); },
                       WhisperError::Case::decodingFailed, "Invalid model output");
  };
  rejects(slice(3, 3, 1), slice(3, 3, -1), 8, "past the cache end");
  rejects(slice(3, 1, 1), slice(3, 1, -1), -1, "negative position");
  rejects(slice(3, 1, 1), slice(3, 2, -1), 0, "value slice of another shape");
  rejects(slice(2, 1, 1), slice(2, 1, -1), 0, "fewer rows");
  rejects(MultiArray({3, 1}, DataType::float16), slice(3, 1, -1), 0, "another rank");
  for (float v : keys.toFloatVector()) ASSERT_EQ(v, kGuard);
  for (float v : values.toFloatVector()) ASSERT_EQ(v, kGuard);
  MultiArray shortValues = guarded({1, 3, 1, 4});
  testsupport::expectError<WhisperError>([&] { TextDecoding::updateKVCache(keys, slice(3, 1, 1), shortValues, slice(3, 1, -1), 5); },
                     WhisperError::Case::decodingFailed, "Invalid model output");
}

TEST(CacheCopies, AlignmentRowOfStepPGoesToRowPPlusOne) {
  MultiArray alignment = guarded({4, 3});
  MultiArray row = MultiArray::fromValues<float>({1, 3}, std::vector<float>{0.25F, 0.5F, 1});
  TextDecoding::updateAlignmentWeights(alignment, row, 0);
  EXPECT_EQ(alignment.toFloatVector(), (std::vector<float>{kGuard, kGuard, kGuard, 0.25F, 0.5F, 1, kGuard, kGuard,
                                                            kGuard, kGuard, kGuard, kGuard}));
  const std::vector<float> before = alignment.toFloatVector();
  testsupport::expectError<WhisperError>([&] { TextDecoding::updateAlignmentWeights(alignment, row, 3); },
                     WhisperError::Case::decodingFailed, "Invalid model output");
  MultiArray narrow({1, 2}, DataType::float16);
  testsupport::expectError<WhisperError>([&] { TextDecoding::updateAlignmentWeights(alignment, narrow, 1); },
                     WhisperError::Case::decodingFailed, "Invalid model output");
  EXPECT_EQ(alignment.toFloatVector(), before);
}

}  // namespace
}  // namespace vostrane
