// The text decoder's interface and the parts every implementation shares: the decoder model's
// input and output records, the default preparation of a run's decoder inputs and of the
// initial prompt (prefill), and the two copy routines that write each step's key/value slices
// and alignment weights into the running arrays.
//
// Decoder model inputs (E = kvCacheEmbedDim, M = kvCacheMaxSequenceLength, W = windowSize,
// D = embedSize): "input_ids" int32 [1], "cache_length" int32 [1], "key_cache" and
// "value_cache" float16 [1, E, 1, M], "kv_cache_update_mask" int32 [1, M] (1 at the position
// this step writes), "encoder_output_embeds" [1, D, 1, W] as the encoder made it, and
// "decoder_key_padding_mask" float16 [1, M] (0 where attention may look, -10000 where the cache
// is not yet filled). Outputs: "logits" [1, 1, V], "key_cache_updates" and
// "value_cache_updates" [1, E, 1, n] for n new positions, optionally "alignment_heads_weights"
// with one row of W weights.
//
// The default operations touch only the inputs object given or made; the static routines write
// only the target arrays, on the calling thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/ml/multi_array.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/decoding/logits_filters.hpp"
#include "speech/decoding/token_sampler.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/decoding_records.hpp"
#include "speech/model/transcription_result.hpp"

namespace vostrane {

// Marker bases of what predictLogits takes and gives.
class TextDecoderInputType {
 public:
  virtual ~TextDecoderInputType() = default;
};
class TextDecoderOutputType {
 public:
  virtual ~TextDecoderOutputType() = default;
};

// The seven decoder inputs, in feature order.
class TextDecoderMLMultiArrayInputType : public TextDecoderInputType {
 public:
  TextDecoderMLMultiArrayInputType(platform::ml::MultiArray inputIds, platform::ml::MultiArray cacheLength,
                                   platform::ml::MultiArray keyCache, platform::ml::MultiArray valueCache,
                                   platform::ml::MultiArray kvCacheUpdateMask,
                                   platform::ml::MultiArray encoderOutputEmbeds,
                                   platform::ml::MultiArray decoderKeyPaddingMask)
      : inputIds(std::move(inputIds)),
        cacheLength(std::move(cacheLength)),
        keyCache(std::move(keyCache)),
        valueCache(std::move(valueCache)),
        kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
        encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
        decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

  platform::ml::MultiArray inputIds;
  platform::ml::MultiArray cacheLength;
  platform::ml::MultiArray keyCache;
  platform::ml::MultiArray valueCache;
  platform::ml::MultiArray kvCacheUpdateMask;
  platform::ml::MultiArray encoderOutputEmbeds;
  platform::ml::MultiArray decoderKeyPaddingMask;
};

// The logits and caches of one prediction; each may be absent.
class TextDecoderMLMultiArrayOutputType : public TextDecoderOutputType {
 public:
  TextDecoderMLMultiArrayOutputType(std::optional<platform::ml::MultiArray> logits, std::optional<DecodingCache> cache)
      : logits(std::move(logits)), cache(std::move(cache)) {}

  std::optional<platform::ml::MultiArray> logits;
  std::optional<DecodingCache> cache;
};

// A caller's progress callback: answers false to stop the window early.
using DecodingCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

class TextDecoding {
 public:
  virtual ~TextDecoding() = default;

  virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
  virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
  virtual bool isModelMultilingual() const = 0;
  virtual void setIsModelMultilingual(bool multilingual) = 0;
  virtual bool supportsWordTimestamps() const = 0;
  virtual std::optional<int> logitsSize() const = 0;
  virtual std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> logitsFilters() const = 0;
  virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> filters) = 0;
  virtual std::optional<int> kvCacheEmbedDim() const = 0;
  virtual std::optional<int> kvCacheMaxSequenceLength() const = 0;
  virtual std::optional<int> windowSize() const = 0;
  virtual std::optional<int> embedSize() const = 0;

  // One prediction; null when there is nothing to return.
  virtual std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input,
                                                               std::stop_token stopToken = {}) = 0;

  // The inputs of a transcription run: int32 [1] input ids and cache length (0), float16
  // [1, E, 1, M] key and value caches (0), float16 [M, W] alignment weights (0), int32 [1, M]
  // update mask (1 at index 0, else 0) and float16 [1, M] padding mask (0 at index 0, else
  // -10000), with `prompt` as the initial prompt. Throws
  // WhisperError::prepareDecoderInputsFailed ("Unable to determine kvCacheEmbedDim",
  // "... kvCacheMaxSequenceLength", "... encoderOutputDim") when a dimension is absent, and
  // platform::ml::MultiArrayError for a dimension that cannot make an array.
  virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(const std::vector<int>& prompt);

  // Sets the initial prompt from the options and returns the same inputs: start of transcript;
  // with options, for a multilingual model the language token ("<|en|>" when absent; an
  // unknown language gives englishToken) and the task token (transcribeToken when unknown);
  // noTimestampsToken or timeTokenBegin; the last 111 text tokens of promptTokens behind
  // startOfPreviousToken in front; up to min(112, 222 - length) text tokens of prefixTokens
  // behind. Also sets element 0 of the update mask to 1 and of the padding mask to 0. Throws
  // WhisperError::tokenizerUnavailable without a tokenizer, and
  // WhisperError::prepareDecoderInputsFailed ("Unable to cast decoderInputs to
  // DecodingInputs") for inputs of another kind (null included).
  virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(std::shared_ptr<DecodingInputsType> inputs,
                                                                   const std::optional<DecodingOptions>& options);

  // Decodes one window of encoder output into tokens.
  virtual DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                    TokenSampling& sampler, const DecodingOptions& options,
                                    const DecodingCallback& callback = {}, std::stop_token stopToken = {}) = 0;
  // Detects the spoken language of one window with one prediction.
  virtual DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                        TokenSampling& sampler, const DecodingOptions& options, float temperature,
                                        std::stop_token stopToken = {}) = 0;

  // Copies the n = keySlice dimension 3 positions of each of the E = keyTensor dimension 1 rows
  // of the slices into the tensors at positions insertAtIndex ... insertAtIndex + n - 1, each
  // array addressed through its own strides and elements converted to the tensor's type.
  // Tensors are [1, E, 1, M] and slices [1, E, 1, n]; anything else, a value shape that
  // differs, insertAtIndex < 0 or insertAtIndex + n > M throws
  // WhisperError::decodingFailed("Invalid model output") before anything is written.
  static void updateKVCache(platform::ml::MultiArray& keyTensor, const platform::ml::MultiArray& keySlice,
                            platform::ml::MultiArray& valueTensor, const platform::ml::MultiArray& valueSlice,
                            int insertAtIndex);
  // Copies the first row of the slice (W = tensor dimension 1 weights) into row
  // insertAtIndex + 1 of the [M, W] tensor. A slice of rank below 2 or narrower than W, or a row
  // outside [0, M), throws WhisperError::decodingFailed("Invalid model output") before
  // anything is written.
  static void updateAlignmentWeights(platform::ml::MultiArray& alignmentTensor,
                                     const platform::ml::MultiArray& alignmentSlice, int insertAtIndex);
};

}  // namespace vostrane
