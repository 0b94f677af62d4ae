#include "speech/model/decoding_records.hpp"

#include <stdexcept>
#include <utility>

namespace vostrane {

DecodingInputs::DecodingInputs(std::vector<int> initialPrompt, platform::ml::MultiArray inputIds,
                               platform::ml::MultiArray cacheLength, platform::ml::MultiArray keyCache,
                               platform::ml::MultiArray valueCache, platform::ml::MultiArray alignmentWeights,
                               platform::ml::MultiArray kvCacheUpdateMask,
                               platform::ml::MultiArray decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(int maxTokenContext) {
  if (maxTokenContext < 1 || maxTokenContext > kvCacheUpdateMask_.count() ||
      maxTokenContext > decoderKeyPaddingMask_.count() || cacheLength_.count() < 1) {
    throw std::invalid_argument("DecodingInputs::reset: maxTokenContext " + std::to_string(maxTokenContext) +
                                " does not fit the masks");
  }
  cacheLength_.setDouble(0, 0);
  decoderKeyPaddingMask_.setDouble(0, 0);
  kvCacheUpdateMask_.setDouble(0, 1);
  for (int i = 1; i < maxTokenContext; ++i) {
    decoderKeyPaddingMask_.setDouble(i, -10000);
    kvCacheUpdateMask_.setDouble(i, 0);
  }
}

std::optional<DecodingFallback> DecodingFallback::evaluate(const DecodingOptions& options,
                                                           bool isFirstTokenLogProbTooLow, float noSpeechProb,
                                                           float compressionRatio, float avgLogProb) {
  if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
  if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) {
    return DecodingFallback{false, "silence"};
  }
  if (options.compressionRatioThreshold && compressionRatio > *options.compressionRatioThreshold) {
    return DecodingFallback{true, "compressionRatioThreshold"};
  }
  if (options.logProbThreshold && avgLogProb < *options.logProbThreshold) {
    return DecodingFallback{true, "logProbThreshold"};
  }
  return std::nullopt;
}

}  // namespace vostrane
