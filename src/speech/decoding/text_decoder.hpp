// TextDecoder: the speech library's text decoder over the decoder model. It turns the encoder
// output of one audio window into tokens, one prediction per token, keeping the key/value cache
// in the window's DecodingInputs: forced prompt tokens, logits filters, a token sampler, cache
// and mask updates, progress reports that may stop the window early, and the window's
// DecodingResult with its timings and fallback verdict. It also detects the spoken language
// with one prediction.
//
// The main class creates one decoder, loads and unloads its model and sets its tokenizer; the
// transcribe task calls decodeText once per window and temperature.
//
// Thread-safety: every member is thread-safe. Several decodeText and detectLanguage calls may
// run at once on one decoder, each with its own inputs, sampler and encoder output (those are
// not shared between concurrent calls). No lock is held across a prediction or a callback.
#pragma once

#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/early_stop_actor.hpp"
#include "platform/sync/mutex.hpp"
#include "speech/audio/whisper_ml_model.hpp"
#include "speech/decoding/text_decoding.hpp"

namespace vostrane {

class TextDecoder : public TextDecoding, public WhisperMLModel {
 public:
  // No model, no tokenizer, English-only, no extra filters.
  TextDecoder() = default;

  std::shared_ptr<const WhisperTokenizer> tokenizer() const override;
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override;
  bool isModelMultilingual() const override;
  void setIsModelMultilingual(bool multilingual) override;
  // Extra filters of the configuration; they run before the built-in ones.
  std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> logitsFilters() const override;
  void setLogitsFilters(std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> filters) override;

  // True when dimension 0 of the output "alignment_heads_weights" can be read.
  bool supportsWordTimestamps() const override;
  // Dimension 2 of the output "logits" (the vocabulary size V).
  std::optional<int> logitsSize() const override;
  // Dimensions 1 and 3 of the input "key_cache" (E and M).
  std::optional<int> kvCacheEmbedDim() const override;
  std::optional<int> kvCacheMaxSequenceLength() const override;
  // Dimensions 3 and 1 of the input "encoder_output_embeds" (W and D).
  std::optional<int> windowSize() const override;
  std::optional<int> embedSize() const override;

  // Drops the model and the language filter built for it.
  void unloadModel() override;

  // One prediction. `input` must be a TextDecoderMLMultiArrayInputType (else
  // WhisperError::transcriptionFailed "Input must be TextDecoderMLMultiArrayInputType").
  // Without a model: an output with no logits and no cache. Throws
  // platform::sync::CancellationError when `stopToken` is stopped (before predicting) and the
  // runtime's prediction errors unchanged. The output's logits are "logits" as the model gave
  // them (absent when missing); its cache holds "key_cache_updates", "value_cache_updates" and
  // "alignment_heads_weights", each absent when missing.
  std::unique_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& input,
                                                       std::stop_token stopToken = {}) override;
  // The same over the seven arrays; absent without a model.
  struct Prediction {
    std::optional<platform::ml::MultiArray> logits;
    std::optional<DecodingCache> cache;
  };
  virtual std::optional<Prediction> predictLogits(platform::ml::MultiArray inputIds, platform::ml::MultiArray cacheLength,
                                                  platform::ml::MultiArray keyCache, platform::ml::MultiArray valueCache,
                                                  platform::ml::MultiArray kvCacheUpdateMask,
                                                  platform::ml::MultiArray encoderOutputEmbeds,
                                                  platform::ml::MultiArray decoderKeyPaddingMask,
                                                  std::stop_token stopToken = {});

  // Decodes one window. The inputs must be prepared and prefilled (their initial prompt is the
  // prompt). Steps: loopCount = min(prompt length + sampleLength - 1, 223, M - 1), at least 0
  // (M = the inputs' mask length); prompt tokens are forced; the sampled end token (or reaching
  // 223 tokens) ends the loop; the first sampled token is checked against
  // firstTokenLogProbThreshold. With a callback, each step's TranscriptionProgress is reported
  // in order on one worker thread of this call; an answer of false after the prompt stops the
  // window within a step or two; every report has been delivered when the call returns or
  // throws. The result's tokens run from the first start-of-transcript token to the first end
  // token after it (to the last token when there is none), and its cache's alignment weights
  // are the inputs' [M, W] array when the prompt starts with the start-of-transcript token, else
  // a copy whose row r is the inputs' row r + (its position), so row 0 always belongs to the
  // result's first token.
  //
  // Throws WhisperError::tokenizerUnavailable without a tokenizer;
  // prepareDecoderInputsFailed ("Initial prompt must not be empty", "DecodingInputsType must
  // be DecodingInputs"); decodingLogitsFailed ("Unable to decode logits") when a prediction has
  // no logits or logits not of shape [1, 1, V]; decodingFailed ("Invalid model output") when a
  // step lacks key or value updates; CancellationError and prediction errors unchanged. The
  // window's early-stop flag is removed on every exit.
  DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                            TokenSampling& sampler, const DecodingOptions& options,
                            const DecodingCallback& callback = {}, std::stop_token stopToken = {}) override;

  // One prediction after the start-of-transcript token with every non-language token masked,
  // one sampler step (the sampler's own temperature; `temperature` is not used). The result
  // has only language (an unknown code gives "en" after an error line), languageProbs (keyed
  // by the decoded code) and timings. Writes only inputIds[0] and cacheLength[0]. Throws
  // WhisperError::tokenizerUnavailable, modelsUnavailable ("Failed to read logits size from
  // model") without a "logits" output, prepareDecoderInputsFailed ("DecodingInputsType must be
  // DecodingInputs"), decodingLogitsFailed ("Unable to decode logits from the model output"),
  // CancellationError and prediction errors unchanged. The language filter is built once per
  // loaded model, under the decoder's lock.
  DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                TokenSampling& sampler, const DecodingOptions& options, float temperature,
                                std::stop_token stopToken = {}) override;

  // The filters of one run, in order: the extra filters, SuppressBlankFilter (suppressBlank),
  // SuppressTokensFilter of the suppressTokens below specialTokenBegin (when any is given),
  // TimestampRulesFilter unless withoutTimestamps, with maxInitialTimestamp / 0.02 truncated
  // (absent when not given or out of the integer range).
  virtual std::vector<std::shared_ptr<const LogitsFiltering>> buildLogitsFilters(const DecodingOptions& options,
                                                                                int sampleBegin,
                                                                                const WhisperTokenizer& tokenizer) const;

  // The language filter currently kept (null before the first detection and after unloading).
  std::shared_ptr<const LanguageLogitsFilter> languageLogitsFilter() const;

  // The decoder's early-stop flags (a window's flag exists only while it is decoded).
  noxtal::EarlyStopActor& earlyStopActor() { return earlyStopActor_; }

  // The debug table of the first four positions of `inputs` (debug level).
  static void logDecoderInputs(const DecodingInputs& inputs);

 private:
  // The kept language filter, built for `logitsDim` when absent.
  std::shared_ptr<const LanguageLogitsFilter> languageFilterFor(const WhisperTokenizer& tokenizer, int logitsDim);

  noxtal::EarlyStopActor earlyStopActor_;
  mutable platform::sync::Mutex mutex_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;                                  // guarded by mutex_
  bool isModelMultilingual_ = false;                                                   // guarded by mutex_
  std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> logitsFilters_{
      std::vector<std::shared_ptr<const LogitsFiltering>>{}};                          // guarded by mutex_
  std::shared_ptr<const LanguageLogitsFilter> languageLogitsFilter_;                   // guarded by mutex_
};

// The fallback verdict of a decoded window, in this order: a first token below its threshold
// (fallback, "firstTokenLogProbThreshold"); noSpeechThreshold present and noSpeechProb above
// it (no fallback, "silence"); compressionRatioThreshold present and the ratio not at or below
// it, NaN and infinity included (fallback, "compressionRatioThreshold"); logProbThreshold
// present and avgLogProb not at or above it, NaN included (fallback, "logProbThreshold");
// otherwise absent.
std::optional<DecodingFallback> decodingVerdict(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                float noSpeechProb, float compressionRatio, float avgLogProb);

}  // namespace vostrane
