#include "speech/decoding/text_decoding.hpp"

#include <algorithm>

#include "core/ml_helpers.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using platform::ml::DataType;
using platform::ml::Float16;
using platform::ml::MultiArray;

constexpr float kPaddingMasked = -10000.0F;
constexpr std::size_t kMaxPromptTokens = 111;
constexpr std::size_t kMaxPrefixTokens = 112;
constexpr std::size_t kMaxPrefillLength = 222;

[[noreturn]] void invalidModelOutput() { throw WhisperError::decodingFailed("Invalid model output"); }

bool isCacheShaped(const MultiArray& array) { return array.rank() == 4; }

// Copies one element between arrays, converting when the element types differ.
struct ElementCopier {
  const MultiArray& source;
  MultiArray& target;
  bool raw = source.dataType() == DataType::float16 && target.dataType() == DataType::float16;
  std::span<const Float16> sourceHalf = raw ? source.span<Float16>() : std::span<const Float16>{};
  std::span<Float16> targetHalf = raw ? target.span<Float16>() : std::span<Float16>{};

  void operator()(std::int64_t from, std::int64_t to) {
    if (raw) {
      targetHalf[static_cast<std::size_t>(to)] = sourceHalf[static_cast<std::size_t>(from)];
    } else {
      target.setFloat(to, source.floatAt(from));
    }
  }
};

// The last `count` entries of `tokens` (all when fewer) that are below `limit`, in order.
std::vector<int> lastTextTokens(const std::vector<int>& tokens, std::size_t count, int limit) {
  const std::size_t start = tokens.size() > count ? tokens.size() - count : 0;
  std::vector<int> kept;
  for (std::size_t i = start; i < tokens.size(); ++i) {
    if (tokens[i] < limit) kept.push_back(tokens[i]);
  }
  return kept;
}

}  // namespace

std::shared_ptr<DecodingInputsType> TextDecoding::prepareDecoderInputs(const std::vector<int>& prompt) {
  const std::optional<int> embedDim = kvCacheEmbedDim();
  if (!embedDim) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim");
  const std::optional<int> maxLength = kvCacheMaxSequenceLength();
  if (!maxLength) throw WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength");
  const std::optional<int> window = windowSize();
  if (!window) throw WhisperError::prepareDecoderInputsFailed("Unable to determine encoderOutputDim");
  const std::int64_t e = *embedDim;
  const std::int64_t m = *maxLength;
  const std::int64_t w = *window;

  MultiArray inputIds = noxtal::makeMultiArray({1}, DataType::int32, std::int32_t{0});
  MultiArray cacheLength = noxtal::makeMultiArray({1}, DataType::int32, std::int32_t{0});
  MultiArray keyCache = noxtal::makeMultiArray({1, e, 1, m}, DataType::float16, 0.0F);
  MultiArray valueCache = noxtal::makeMultiArray({1, e, 1, m}, DataType::float16, 0.0F);
  MultiArray alignmentWeights = noxtal::makeMultiArray({m, w}, DataType::float16, 0.0F);
  MultiArray kvCacheUpdateMask = noxtal::makeMultiArray({1, m}, DataType::int32, std::int32_t{0});
  MultiArray decoderKeyPaddingMask = noxtal::makeMultiArray({1, m}, DataType::float16, kPaddingMasked);
  if (m > 0) {
    kvCacheUpdateMask.setFloat(0, 1);
    decoderKeyPaddingMask.setFloat(0, 0);
  }
  return std::make_shared<DecodingInputs>(prompt, std::move(inputIds), std::move(cacheLength), std::move(keyCache),
                                          std::move(valueCache), std::move(alignmentWeights),
                                          std::move(kvCacheUpdateMask), std::move(decoderKeyPaddingMask));
}

std::shared_ptr<DecodingInputsType> TextDecoding::prefillDecoderInputs(std::shared_ptr<DecodingInputsType> inputs,
                                                                       const std::optional<DecodingOptions>& options) {
  const std::shared_ptr<const WhisperTokenizer> words = tokenizer();
  if (!words) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  auto* decodingInputs = dynamic_cast<DecodingInputs*>(inputs.get());
  if (decodingInputs == nullptr) {
    throw WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs");
  }
  const SpecialTokens& special = words->specialTokens();
  std::vector<int> prefill{special.startOfTranscriptToken};
  if (options) {
    if (isModelMultilingual()) {
      const std::string language = options->language.value_or("en");
      prefill.push_back(exactTokenId(*words, "<|" + language + "|>").value_or(special.englishToken));
      const char* task = options->task == DecodingTask::translate ? "translate" : "transcribe";
      prefill.push_back(exactTokenId(*words, std::string("<|") + task + "|>").value_or(special.transcribeToken));
    }
    prefill.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
    if (options->promptTokens) {
      const std::vector<int> kept = lastTextTokens(*options->promptTokens, kMaxPromptTokens, special.specialTokenBegin);
      if (!kept.empty()) {
        std::vector<int> withContext{special.startOfPreviousToken};
        withContext.insert(withContext.end(), kept.begin(), kept.end());
        withContext.insert(withContext.end(), prefill.begin(), prefill.end());
        prefill = std::move(withContext);
      }
    }
    if (options->prefixTokens) {
      const std::size_t room = prefill.size() < kMaxPrefillLength ? kMaxPrefillLength - prefill.size() : 0;
      const std::vector<int> kept =
          lastTextTokens(*options->prefixTokens, std::min(kMaxPrefixTokens, room), special.specialTokenBegin);
      prefill.insert(prefill.end(), kept.begin(), kept.end());
    }
  }
  decodingInputs->initialPrompt() = std::move(prefill);
  if (decodingInputs->kvCacheUpdateMask().count() > 0) decodingInputs->kvCacheUpdateMask().setFloat(0, 1);
  if (decodingInputs->decoderKeyPaddingMask().count() > 0) decodingInputs->decoderKeyPaddingMask().setFloat(0, 0);
  return inputs;
}

void TextDecoding::updateKVCache(MultiArray& keyTensor, const MultiArray& keySlice, MultiArray& valueTensor,
                                 const MultiArray& valueSlice, int insertAtIndex) {
  if (!isCacheShaped(keyTensor) || !isCacheShaped(keySlice) || !isCacheShaped(valueTensor) ||
      !isCacheShaped(valueSlice)) {
    invalidModelOutput();
  }
  const std::int64_t rows = keyTensor.shape()[1];
  const std::int64_t positions = keySlice.shape()[3];
  const std::int64_t capacity = keyTensor.shape()[3];
  if (valueTensor.shape() != keyTensor.shape() || valueSlice.shape() != keySlice.shape()) invalidModelOutput();
  if (keySlice.shape()[1] != rows || insertAtIndex < 0 || insertAtIndex + positions > capacity) invalidModelOutput();
  if (keySlice.count() == 0 || keyTensor.count() == 0) return;

  // Element (0, r, 0, p) of a [1, E, 1, n] array lies at r * stride1 + p * stride3.
  const auto& keySliceStrides = keySlice.strides();
  const auto& valueSliceStrides = valueSlice.strides();
  const auto& keyStrides = keyTensor.strides();
  const auto& valueStrides = valueTensor.strides();
  ElementCopier copyKey{keySlice, keyTensor};
  ElementCopier copyValue{valueSlice, valueTensor};
  if (copyKey.raw && copyValue.raw) {
    // Each row's position lies a whole cache row away from the next row's: the writes touch one
    // memory line per row, so the lines a few rows ahead are fetched early.
    constexpr std::int64_t kAhead = 24;
    Float16* keys = copyKey.targetHalf.data();
    Float16* values = copyValue.targetHalf.data();
    const Float16* keySource = copyKey.sourceHalf.data();
    const Float16* valueSource = copyValue.sourceHalf.data();
    for (std::int64_t r = 0; r < rows; ++r) {
      if (r + kAhead < rows) {
        __builtin_prefetch(keys + (r + kAhead) * keyStrides[1] + insertAtIndex * keyStrides[3], 1);
        __builtin_prefetch(values + (r + kAhead) * valueStrides[1] + insertAtIndex * valueStrides[3], 1);
      }
      for (std::int64_t k = 0; k < positions; ++k) {
        const std::int64_t at = insertAtIndex + k;
        keys[r * keyStrides[1] + at * keyStrides[3]] = keySource[r * keySliceStrides[1] + k * keySliceStrides[3]];
        values[r * valueStrides[1] + at * valueStrides[3]] =
            valueSource[r * valueSliceStrides[1] + k * valueSliceStrides[3]];
      }
    }
    return;
  }
  for (std::int64_t r = 0; r < rows; ++r) {
    for (std::int64_t k = 0; k < positions; ++k) {
      const std::int64_t at = insertAtIndex + k;
      copyKey(r * keySliceStrides[1] + k * keySliceStrides[3], r * keyStrides[1] + at * keyStrides[3]);
      copyValue(r * valueSliceStrides[1] + k * valueSliceStrides[3], r * valueStrides[1] + at * valueStrides[3]);
    }
  }
}

void TextDecoding::updateAlignmentWeights(MultiArray& alignmentTensor, const MultiArray& alignmentSlice,
                                          int insertAtIndex) {
  if (alignmentTensor.rank() != 2 || alignmentSlice.rank() < 2) invalidModelOutput();
  const std::int64_t width = alignmentTensor.shape()[1];
  const std::int64_t row = static_cast<std::int64_t>(insertAtIndex) + 1;
  if (insertAtIndex < 0 || row >= alignmentTensor.shape()[0]) invalidModelOutput();
  if (width > 0 && (alignmentSlice.shape()[0] < 1 || alignmentSlice.shape()[1] < width)) invalidModelOutput();
  // Weight i of the slice's first row lies at i * stride1; of the tensor's row at
  // row * stride0 + i * stride1.
  const auto& sliceStrides = alignmentSlice.strides();
  const auto& tensorStrides = alignmentTensor.strides();
  ElementCopier copy{alignmentSlice, alignmentTensor};
  for (std::int64_t i = 0; i < width; ++i) copy(i * sliceStrides[1], row * tensorStrides[0] + i * tensorStrides[1]);
}

}  // namespace vostrane
