// The records that pass between the text decoder, its token samplers and the transcription
// pipeline while one audio window is decoded: the decoder's mutable per-window inputs
// (DecodingInputs), the caches a decoding step hands back (DecodingCache), the verdict whether
// a window must be decoded again (DecodingFallback), the outcome of one window
// (DecodingResult) and of one sampler step (SamplingResult).
//
// Multi-arrays are platform::ml::MultiArray handles: copying a record shares the arrays'
// storage, never their elements.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/multi_array.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {

// The decoder's view of its per-window inputs. The decoder accepts any implementation but
// works only with DecodingInputs (it reports another kind as
// WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs")).
// Accessors return references: read, assign or change in place.
class DecodingInputsType {
 public:
  virtual ~DecodingInputsType() = default;
  virtual std::vector<int>& initialPrompt() = 0;
  virtual const std::vector<int>& initialPrompt() const = 0;
  virtual platform::ml::MultiArray& inputIds() = 0;
  virtual const platform::ml::MultiArray& inputIds() const = 0;
  virtual platform::ml::MultiArray& cacheLength() = 0;
  virtual const platform::ml::MultiArray& cacheLength() const = 0;
  virtual void reset(int maxTokenContext) = 0;
};

// One window's decoder inputs, shared by the decoder and the pipeline (hold it in a
// shared_ptr) and updated in place. Not synchronised: one window is decoded by one thread at a
// time.
class DecodingInputs : public DecodingInputsType {
 public:
  // Stores the arrays as given (the instance refers to the caller's array storage).
  DecodingInputs(std::vector<int> initialPrompt, platform::ml::MultiArray inputIds,
                 platform::ml::MultiArray cacheLength, platform::ml::MultiArray keyCache,
                 platform::ml::MultiArray valueCache, platform::ml::MultiArray alignmentWeights,
                 platform::ml::MultiArray kvCacheUpdateMask, platform::ml::MultiArray decoderKeyPaddingMask);

  std::vector<int>& initialPrompt() override { return initialPrompt_; }
  const std::vector<int>& initialPrompt() const override { return initialPrompt_; }
  platform::ml::MultiArray& inputIds() override { return inputIds_; }
  const platform::ml::MultiArray& inputIds() const override { return inputIds_; }
  platform::ml::MultiArray& cacheLength() override { return cacheLength_; }
  const platform::ml::MultiArray& cacheLength() const override { return cacheLength_; }
  virtual platform::ml::MultiArray& keyCache() { return keyCache_; }
  virtual const platform::ml::MultiArray& keyCache() const { return keyCache_; }
  virtual platform::ml::MultiArray& valueCache() { return valueCache_; }
  virtual const platform::ml::MultiArray& valueCache() const { return valueCache_; }
  virtual platform::ml::MultiArray& alignmentWeights() { return alignmentWeights_; }
  virtual const platform::ml::MultiArray& alignmentWeights() const { return alignmentWeights_; }
  // One position is 1: where the next step's key/value slice is written.
  virtual platform::ml::MultiArray& kvCacheUpdateMask() { return kvCacheUpdateMask_; }
  virtual const platform::ml::MultiArray& kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
  // 0 for positions that may be attended to, -10000 for positions not yet filled.
  virtual platform::ml::MultiArray& decoderKeyPaddingMask() { return decoderKeyPaddingMask_; }
  virtual const platform::ml::MultiArray& decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }

  // Makes the inputs ready for a new window without reallocating: cacheLength[0] = 0,
  // decoderKeyPaddingMask[0] = 0, kvCacheUpdateMask[0] = 1, and for 1 <= i < maxTokenContext
  // decoderKeyPaddingMask[i] = -10000 and kvCacheUpdateMask[i] = 0 (flat element indices).
  // The prompt, input ids, caches and alignment weights are left as they are. Throws
  // std::invalid_argument, before writing anything, when maxTokenContext is below 1 or larger
  // than either mask or cacheLength is empty.
  void reset(int maxTokenContext) override;

 private:
  std::vector<int> initialPrompt_{};
  platform::ml::MultiArray inputIds_{};
  platform::ml::MultiArray cacheLength_{};
  platform::ml::MultiArray keyCache_{};
  platform::ml::MultiArray valueCache_{};
  platform::ml::MultiArray alignmentWeights_{};
  platform::ml::MultiArray kvCacheUpdateMask_{};
  platform::ml::MultiArray decoderKeyPaddingMask_{};
};

// The caches after a decoding step; each may be absent.
struct DecodingCache {
  std::optional<platform::ml::MultiArray> keyCache{};
  std::optional<platform::ml::MultiArray> valueCache{};
  std::optional<platform::ml::MultiArray> alignmentWeights{};
};

// Whether a window must be decoded again at a higher temperature, and why.
struct DecodingFallback {
  bool needsFallback = false;
  std::string fallbackReason{};

  // The fallback test. In this order, the first that holds decides:
  //   isFirstTokenLogProbTooLow                        -> (true, "firstTokenLogProbThreshold")
  //   noSpeechThreshold present, noSpeechProb > it     -> (false, "silence")
  //   compressionRatioThreshold present, ratio > it    -> (true, "compressionRatioThreshold")
  //   logProbThreshold present, avgLogProb < it        -> (true, "logProbThreshold")
  // otherwise absent. Comparisons are strict; an absent threshold or a NaN value skips a test.
  static std::optional<DecodingFallback> evaluate(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                  float noSpeechProb, float compressionRatio, float avgLogProb);
};

// The outcome of decoding one window.
struct DecodingResult {
  std::string language{};
  std::map<std::string, float> languageProbs{};
  std::vector<int> tokens{};
  std::vector<std::map<int, float>> tokenLogProbs{};
  std::string text{};
  float avgLogProb = 0;
  float noSpeechProb = 0;
  float temperature = 0;
  float compressionRatio = 0;
  std::optional<DecodingCache> cache{};
  std::optional<TranscriptionTimings> timings{};
  std::optional<DecodingFallback> fallback{};

  // A fresh empty result on each call: empty texts and lists, zero numbers, nothing else.
  static DecodingResult emptyResults() { return DecodingResult{}; }
};

// The outcome of one token-sampler step.
struct SamplingResult {
  std::vector<int> tokens{};      // including the newly chosen token
  std::vector<float> logProbs{};  // one per token
  bool completed = false;         // the sequence has ended
};

}  // namespace vostrane
