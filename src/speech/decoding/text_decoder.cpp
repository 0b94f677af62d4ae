#include "speech/decoding/text_decoder.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <thread>

#include "core/extensions.hpp"
#include "core/logging.hpp"
#include "platform/sync/channel.hpp"
#include "platform/sync/uuid.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/sys/clock.hpp"
#include "speech/decoding/text_utilities.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/model_features.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using Clock = std::chrono::steady_clock;
using noxtal::Logging;
using platform::ml::DataType;
using platform::ml::MultiArray;

// Most tokens a window keeps (the model's 224-token context less one).
constexpr int kMaxLoopCount = 223;
constexpr std::size_t kMaxWindowTokens = 223;
constexpr float kSecondsPerTimestamp = 0.02F;

constexpr std::string_view kLogits = "logits";
constexpr std::string_view kKeyUpdates = "key_cache_updates";
constexpr std::string_view kValueUpdates = "value_cache_updates";
constexpr std::string_view kAlignment = "alignment_heads_weights";

const platform::log::Logger& decoderSignposter() {
  static const platform::log::Logger logger("com.velmoria.vostrane", "TextDecoding");
  return logger;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A debug line whose items are joined without separators.
template <class... Items>
void debugLine(const Items&... items) {
  Logging::shared().log(Logging::Format{"", std::nullopt}, platform::log::Level::debug, items...);
}

bool debugEnabled() { return Logging::isLoggingEnabled(Logging::LogLevel::debug); }

std::string decodeOne(const WhisperTokenizer& tokenizer, int token) {
  const int one[] = {token};
  return tokenizer.decode(one);
}

// The logits of a prediction as float32 [1, 1, V]; anything else is not logits.
MultiArray usableLogits(const MultiArray& logits, std::string_view failure) {
  const auto& shape = logits.shape();
  if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) throw WhisperError::decodingLogitsFailed(std::string(failure));
  return logits.dataType() == DataType::float32 ? logits : logits.converted(DataType::float32);
}

// Number of positions the masks can address: the loop writes mask entries up to
// tokenIndex + 1.
std::int64_t maskCapacity(const DecodingInputs& inputs) {
  return std::min(inputs.kvCacheUpdateMask().count(), inputs.decoderKeyPaddingMask().count());
}

// `weights` [M, W] with its rows moved up by `offset` (row r holds row r + offset; the last
// `offset` rows are 0). The same array when offset is 0 or the array is not two-dimensional.
MultiArray rowsFrom(const MultiArray& weights, std::size_t offset) {
  if (offset == 0 || weights.rank() != 2) return weights;
  MultiArray shifted(weights.shape(), weights.dataType());
  const std::int64_t rows = weights.shape()[0];
  const std::int64_t width = weights.shape()[1];
  const std::size_t size = platform::ml::elementSize(weights.dataType());
  const auto* source = static_cast<const std::byte*>(weights.data());
  auto* target = static_cast<std::byte*>(shifted.data());
  const auto& from = weights.strides();
  const auto& to = shifted.strides();
  for (std::int64_t r = 0; r + static_cast<std::int64_t>(offset) < rows; ++r) {
    const std::int64_t sourceRow = r + static_cast<std::int64_t>(offset);
    for (std::int64_t c = 0; c < width; ++c) {
      std::memcpy(target + static_cast<std::size_t>(r * to[0] + c * to[1]) * size,
                  source + static_cast<std::size_t>(sourceRow * from[0] + c * from[1]) * size, size);
    }
  }
  return shifted;
}

float mean(std::span<const float> values) {
  const double sum = std::accumulate(values.begin(), values.end(), 0.0);
  return static_cast<float>(sum) / static_cast<float>(values.size());
}

// Removes a window's stop flag when the call leaves by an exception.
class StopFlagGuard {
 public:
  StopFlagGuard(noxtal::EarlyStopActor& actor, platform::sync::Uuid id) : actor_(actor), id_(id) {
    actor_.set(false, id_);
  }
  StopFlagGuard(const StopFlagGuard&) = delete;
  StopFlagGuard& operator=(const StopFlagGuard&) = delete;
  ~StopFlagGuard() {
    if (armed_) actor_.remove(id_);
  }
  // Removes the flag; logs when it was already gone.
  void release() {
    armed_ = false;
    if (!actor_.remove(id_)) Logging::error("Early stop flag not found for window: " + id_.toString());
  }

 private:
  noxtal::EarlyStopActor& actor_;
  platform::sync::Uuid id_;
  bool armed_ = true;
};

// Delivers a window's progress reports to the caller's callback, in order, on one worker
// thread; an answer of false after the prompt sets the window's stop flag. drain() (also run
// by the destructor) waits until every report has been delivered. The loop hands over the
// tokens only: `complete` fills in what is derived from them (text, compression ratio) on the
// worker, off the decoding thread.
class ProgressReporter {
 public:
  using Completion = std::function<void(TranscriptionProgress&)>;
  ProgressReporter(const DecodingCallback& callback, Completion complete, noxtal::EarlyStopActor& actor,
                   platform::sync::Uuid id)
      : callback_(callback), complete_(std::move(complete)), actor_(actor), id_(id), worker_([this] { run(); }) {}
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;
  ~ProgressReporter() { drain(); }

  void report(TranscriptionProgress progress, bool isPrefill) { reports_.push(Report{std::move(progress), isPrefill}); }

  void drain() {
    reports_.finish();
    if (worker_.joinable()) worker_.join();
  }

 private:
  struct Report {
    TranscriptionProgress progress;
    bool isPrefill = false;
  };

  void run() {
    while (std::optional<Report> report = reports_.pop()) {
      std::optional<bool> answer;
      try {
        complete_(report->progress);
        answer = callback_(report->progress);
      } catch (const std::exception& e) {
        Logging::error(std::string("Progress callback failed: ") + e.what());
      } catch (...) {
        Logging::error("Progress callback failed");
      }
      if (answer == false && !report->isPrefill) {
        Logging::debug("Early stopping");
        actor_.set(true, id_);
      }
    }
  }

  const DecodingCallback& callback_;
  Completion complete_;
  noxtal::EarlyStopActor& actor_;
  platform::sync::Uuid id_;
  platform::sync::Channel<Report> reports_;
  std::thread worker_;  // last: starts once the members above exist
};

}  // namespace

std::optional<DecodingFallback> decodingVerdict(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                float noSpeechProb, float compressionRatio, float avgLogProb) {
  if (isFirstTokenLogProbTooLow) return DecodingFallback{true, "firstTokenLogProbThreshold"};
  if (options.noSpeechThreshold && noSpeechProb > *options.noSpeechThreshold) return DecodingFallback{false, "silence"};
  if (options.compressionRatioThreshold && !(compressionRatio <= *options.compressionRatioThreshold)) {
    return DecodingFallback{true, "compressionRatioThreshold"};
  }
  if (options.logProbThreshold && !(avgLogProb >= *options.logProbThreshold)) {
    return DecodingFallback{true, "logProbThreshold"};
  }
  return std::nullopt;
}

std::shared_ptr<const WhisperTokenizer> TextDecoder::tokenizer() const {
  return mutex_.withLock([&] { return tokenizer_; });
}

void TextDecoder::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
  mutex_.withLock([&] { tokenizer_ = std::move(tokenizer); });
}

bool TextDecoder::isModelMultilingual() const {
  return mutex_.withLock([&] { return isModelMultilingual_; });
}

void TextDecoder::setIsModelMultilingual(bool multilingual) {
  mutex_.withLock([&] { isModelMultilingual_ = multilingual; });
}

std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> TextDecoder::logitsFilters() const {
  return mutex_.withLock([&] { return logitsFilters_; });
}

void TextDecoder::setLogitsFilters(std::optional<std::vector<std::shared_ptr<const LogitsFiltering>>> filters) {
  mutex_.withLock([&] { logitsFilters_ = std::move(filters); });
}

bool TextDecoder::supportsWordTimestamps() const {
  return outputDimension(kAlignment, 0).has_value();
}

std::optional<int> TextDecoder::logitsSize() const { return outputDimension(kLogits, 2); }
std::optional<int> TextDecoder::kvCacheEmbedDim() const { return inputDimension("key_cache", 1); }
std::optional<int> TextDecoder::kvCacheMaxSequenceLength() const { return inputDimension("key_cache", 3); }
std::optional<int> TextDecoder::windowSize() const { return inputDimension("encoder_output_embeds", 3); }
std::optional<int> TextDecoder::embedSize() const { return inputDimension("encoder_output_embeds", 1); }

void TextDecoder::unloadModel() {
  WhisperMLModel::unloadModel();
  mutex_.withLock([&] { languageLogitsFilter_.reset(); });
}

std::shared_ptr<const LanguageLogitsFilter> TextDecoder::languageLogitsFilter() const {
  return mutex_.withLock([&] { return languageLogitsFilter_; });
}

std::shared_ptr<const LanguageLogitsFilter> TextDecoder::languageFilterFor(const WhisperTokenizer& tokenizer,
                                                                           int logitsDim) {
  return mutex_.withLock([&] {
    if (!languageLogitsFilter_) {
      languageLogitsFilter_ = std::make_shared<const LanguageLogitsFilter>(tokenizer.allLanguageTokens(), logitsDim, 0);
    }
    return languageLogitsFilter_;
  });
}

std::unique_ptr<TextDecoderOutputType> TextDecoder::predictLogits(const TextDecoderInputType& input,
                                                                  std::stop_token stopToken) {
  const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&input);
  if (arrays == nullptr) throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
  if (!model()) return std::make_unique<TextDecoderMLMultiArrayOutputType>(std::nullopt, std::nullopt);
  const TextDecoderInput features(arrays->inputIds, arrays->cacheLength, arrays->keyCache, arrays->valueCache,
                                  arrays->kvCacheUpdateMask, arrays->encoderOutputEmbeds,
                                  arrays->decoderKeyPaddingMask);
  const platform::ml::DictionaryFeatureProvider outputs =
      predict(features, {decoderSignposter(), "TextDecoder"}, std::span<const std::string_view>{}, std::move(stopToken));
  DecodingCache cache{outputs.multiArray(kKeyUpdates), outputs.multiArray(kValueUpdates),
                      outputs.multiArray(kAlignment)};
  return std::make_unique<TextDecoderMLMultiArrayOutputType>(outputs.multiArray(kLogits), std::move(cache));
}

std::optional<TextDecoder::Prediction> TextDecoder::predictLogits(MultiArray inputIds, MultiArray cacheLength,
                                                                  MultiArray keyCache, MultiArray valueCache,
                                                                  MultiArray kvCacheUpdateMask,
                                                                  MultiArray encoderOutputEmbeds,
                                                                  MultiArray decoderKeyPaddingMask,
                                                                  std::stop_token stopToken) {
  if (!model()) return std::nullopt;
  const TextDecoderMLMultiArrayInputType input(std::move(inputIds), std::move(cacheLength), std::move(keyCache),
                                               std::move(valueCache), std::move(kvCacheUpdateMask),
                                               std::move(encoderOutputEmbeds), std::move(decoderKeyPaddingMask));
  std::unique_ptr<TextDecoderOutputType> output = predictLogits(input, std::move(stopToken));
  auto& arrays = dynamic_cast<TextDecoderMLMultiArrayOutputType&>(*output);
  return Prediction{std::move(arrays.logits), std::move(arrays.cache)};
}

std::vector<std::shared_ptr<const LogitsFiltering>> TextDecoder::buildLogitsFilters(
    const DecodingOptions& options, int sampleBegin, const WhisperTokenizer& tokenizer) const {
  std::vector<std::shared_ptr<const LogitsFiltering>> filters = logitsFilters().value_or(
      std::vector<std::shared_ptr<const LogitsFiltering>>{});
  const SpecialTokens& special = tokenizer.specialTokens();
  if (options.suppressBlank) filters.push_back(std::make_shared<const SuppressBlankFilter>(special, sampleBegin));
  if (!options.suppressTokens.empty()) {
    std::vector<int> kept;
    std::copy_if(options.suppressTokens.begin(), options.suppressTokens.end(), std::back_inserter(kept),
                 [&](int id) { return id < special.specialTokenBegin; });
    filters.push_back(std::make_shared<const SuppressTokensFilter>(std::move(kept)));
  }
  if (!options.withoutTimestamps) {
    std::optional<int> maxInitialTimestampIndex;
    if (options.maxInitialTimestamp) {
      maxInitialTimestampIndex = platform::sys::checkedIntegerCast<int>(*options.maxInitialTimestamp / kSecondsPerTimestamp);
    }
    filters.push_back(std::make_shared<const TimestampRulesFilter>(special, sampleBegin, maxInitialTimestampIndex,
                                                                   isModelMultilingual()));
  }
  return filters;
}

DecodingResult TextDecoder::decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options,
                                       const DecodingCallback& callback, std::stop_token stopToken) {
  const std::shared_ptr<const WhisperTokenizer> words = tokenizer();
  if (!words) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  const std::vector<int> prompt = decoderInputs.initialPrompt();
  if (prompt.empty()) throw WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty");
  const SpecialTokens& special = words->specialTokens();
  auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);

  const int promptLength = static_cast<int>(std::min<std::size_t>(prompt.size(), kMaxWindowTokens + 1));
  int nextToken = prompt.back();
  std::vector<int> currentTokens = prompt;
  std::vector<float> logProbs(prompt.size(), 0.0F);
  const auto filters = buildLogitsFilters(options, promptLength, *words);

  std::int64_t loopLimit = kMaxLoopCount;
  if (inputs != nullptr) loopLimit = std::min(loopLimit, maskCapacity(*inputs) - 1);
  const int loopCount = static_cast<int>(
      std::max<std::int64_t>(0, std::min<std::int64_t>(std::int64_t{promptLength} + options.sampleLength - 1, loopLimit)));
  debugLine("Running main loop for a maximum of ", loopCount, " iterations");

  const platform::sync::Uuid windowId = platform::sync::Uuid::random();
  StopFlagGuard stopFlag(earlyStopActor_, windowId);
  std::optional<ProgressReporter> reporter;
  if (callback) {
    // The tokenizer outlives the reporter: it is drained before this call returns.
    const bool skipSpecial = options.skipSpecialTokens;
    const int specialBegin = special.specialTokenBegin;
    auto complete = [words, skipSpecial, specialBegin](TranscriptionProgress& progress) {
      if (skipSpecial) {
        std::vector<int> text;
        std::copy_if(progress.tokens.begin(), progress.tokens.end(), std::back_inserter(text),
                     [&](int id) { return id < specialBegin; });
        progress.text = words->decode(text);
      } else {
        progress.text = words->decode(progress.tokens);
      }
      progress.compressionRatio = TextUtilities::compressionRatio(progress.tokens);
    };
    reporter.emplace(callback, std::move(complete), earlyStopActor_, windowId);
  }

  TranscriptionTimings timings;
  bool hasAlignment = false;
  bool isFirstTokenLogProbTooLow = false;

  for (int tokenIndex = 0; tokenIndex < loopCount; ++tokenIndex) {
    const Clock::time_point stepStart = Clock::now();
    const bool isFirstToken = tokenIndex == promptLength - 1;
    const bool isPrefill = tokenIndex < promptLength - 1;

    if (tokenIndex < promptLength) {
      int& promptToken = currentTokens[static_cast<std::size_t>(tokenIndex)];
      if (tokenIndex == promptLength - 1 && promptToken >= special.timeTokenBegin && nextToken >= special.timeTokenBegin) {
        promptToken = nextToken;
        if (debugEnabled()) {
          debugLine("Skipping prompt tokenIndex: ", tokenIndex, ", token: ", nextToken, ", text: ",
                    decodeOne(*words, nextToken));
        }
      } else {
        nextToken = promptToken;
        if (debugEnabled()) {
          debugLine("Forcing prompt tokenIndex: ", tokenIndex, ", token: ", nextToken, ", text: ",
                    decodeOne(*words, nextToken));
        }
      }
    }

    if (inputs == nullptr) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    inputs->inputIds().setDouble(0, nextToken);
    inputs->cacheLength().setDouble(0, tokenIndex);
    if (tokenIndex < 4 && debugEnabled()) logDecoderInputs(*inputs);

    const Clock::time_point predictionStart = Clock::now();
    const TextDecoderMLMultiArrayInputType stepInput(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(),
                                                     inputs->valueCache(), inputs->kvCacheUpdateMask(), encoderOutput,
                                                     inputs->decoderKeyPaddingMask());
    const std::unique_ptr<TextDecoderOutputType> output = predictLogits(stepInput, stopToken);
    const auto* step = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
    if (step == nullptr || !step->logits) throw WhisperError::decodingLogitsFailed("Unable to decode logits");
    MultiArray logits = usableLogits(*step->logits, "Unable to decode logits");

    const Clock::time_point filteringStart = Clock::now();
    timings.decodingPredictions += secondsBetween(predictionStart, filteringStart);
    for (const auto& filter : filters) logits = filter->filterLogits(std::move(logits), currentTokens);

    const Clock::time_point samplingStart = Clock::now();
    timings.decodingFiltering += secondsBetween(filteringStart, samplingStart);
    const SamplingResult sampled = sampler.update(currentTokens, logits, logProbs);
    if (sampled.tokens.empty() || sampled.logProbs.empty()) {
      throw WhisperError::decodingFailed("Sampler returned no token");
    }
    const int token = sampled.tokens.back();
    const float tokenLogProb = sampled.logProbs.back();
    if (debugEnabled()) {
      debugLine("Predicted next tokenIndex: ", tokenIndex + 1, ", token: ", token, ", text: ", decodeOne(*words, token));
    }
    timings.decodingSampling += secondsBetween(samplingStart, Clock::now());

    const auto endStep = [&] {
      const Clock::time_point now = Clock::now();
      timings.decodingLoop += secondsBetween(stepStart, now);
      timings.decodingNonPrediction += secondsBetween(filteringStart, now);
      timings.totalDecodingLoops += 1;
    };

    if (isFirstToken && options.firstTokenLogProbThreshold && tokenLogProb < *options.firstTokenLogProbThreshold) {
      isFirstTokenLogProbTooLow = true;
      endStep();
      break;
    }
    if ((sampled.completed && !isPrefill) || currentTokens.size() >= kMaxWindowTokens) {
      endStep();
      break;
    }
    if (!isPrefill) {
      currentTokens.push_back(token);
      logProbs.push_back(tokenLogProb);
    }
    nextToken = token;

    const Clock::time_point cachingStart = Clock::now();
    if (!step->cache || !step->cache->keyCache || !step->cache->valueCache) {
      throw WhisperError::decodingFailed("Invalid model output");
    }
    updateKVCache(inputs->keyCache(), *step->cache->keyCache, inputs->valueCache(), *step->cache->valueCache,
                  tokenIndex);
    inputs->decoderKeyPaddingMask().setFloat(tokenIndex + 1, 0);
    inputs->kvCacheUpdateMask().setFloat(tokenIndex, 0);
    inputs->kvCacheUpdateMask().setFloat(tokenIndex + 1, 1);
    if (step->cache->alignmentWeights) {
      updateAlignmentWeights(inputs->alignmentWeights(), *step->cache->alignmentWeights, tokenIndex);
      hasAlignment = true;
    }
    timings.decodingKvCaching += secondsBetween(cachingStart, Clock::now());
    timings.totalKVUpdateRuns += 1;

    if (reporter) {
      TranscriptionProgress progress;
      progress.timings = timings;
      progress.tokens = currentTokens;  // text and compression ratio are filled in by the reporter
      progress.avgLogprob = mean(logProbs);
      progress.windowId = 0;
      reporter->report(std::move(progress), isPrefill);
    }

    if (tokenIndex == 0) {
      debugLine("Found first token at: ", platform::sys::dateDescriptionNow());
      timings.firstTokenTime = platform::sys::absoluteTimeNow();
    }
    endStep();
    if (earlyStopActor_.get(windowId)) break;
  }

  if (reporter) reporter->drain();
  stopFlag.release();

  const SamplingResult finalized = sampler.finalize(currentTokens, logProbs);
  const std::vector<int>& all = finalized.tokens;
  const auto startOfTranscript = std::find(all.begin(), all.end(), special.startOfTranscriptToken);
  const std::size_t start = startOfTranscript == all.end() ? 0 : static_cast<std::size_t>(startOfTranscript - all.begin());
  std::size_t end = all.empty() ? 0 : all.size() - 1;
  if (start < all.size()) {
    const auto endToken = std::find(all.begin() + static_cast<std::ptrdiff_t>(start), all.end(), special.endToken);
    if (endToken != all.end()) end = static_cast<std::size_t>(endToken - all.begin());
  }

  DecodingResult result;
  if (start < all.size()) {
    result.tokens.assign(all.begin() + static_cast<std::ptrdiff_t>(start),
                         all.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    for (std::size_t i = start; i <= end; ++i) {
      const float logProb = i < finalized.logProbs.size() ? finalized.logProbs[i] : 0.0F;
      result.tokenLogProbs.push_back({{all[i], logProb}});
    }
  }
  std::vector<float> keptLogProbs;
  keptLogProbs.reserve(result.tokenLogProbs.size());
  for (const auto& entry : result.tokenLogProbs) keptLogProbs.push_back(entry.begin()->second);

  if (inputs != nullptr) {
    result.cache = DecodingCache{inputs->keyCache(), inputs->valueCache(),
                                 hasAlignment ? std::optional<MultiArray>(rowsFrom(inputs->alignmentWeights(), start))
                                              : std::nullopt};
  }
  result.avgLogProb = mean(keptLogProbs);
  std::vector<int> textTokens;
  std::copy_if(result.tokens.begin(), result.tokens.end(), std::back_inserter(textTokens),
               [&](int id) { return id < special.specialTokenBegin; });
  result.compressionRatio = TextUtilities::compressionRatio(textTokens);
  if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
    result.temperature = noxtal::rounded(greedy->temperature(), 3);
  } else {
    result.temperature = options.temperature;
  }

  if (options.language) {
    result.language = *options.language;
    result.languageProbs = {{*options.language, 0.0F}};
  } else {
    const std::set<int>& languageTokens = words->allLanguageTokens();
    const auto found = std::find_if(result.tokens.begin(), result.tokens.end(),
                                    [&](int id) { return languageTokens.contains(id); });
    if (found != result.tokens.end()) {
      const std::size_t at = static_cast<std::size_t>(found - result.tokens.begin());
      result.language = trimmingSpecialTokenCharacters(decodeOne(*words, *found));
      result.languageProbs = {{result.language, keptLogProbs[at]}};
    } else {
      result.language = std::string(Constants::defaultLanguageCode);
      result.languageProbs = {{result.language, 0.0F}};
    }
  }

  result.text = words->decode(result.tokens);
  debugLine("Completed window: ", result.text);
  result.noSpeechProb = 0;
  result.fallback =
      decodingVerdict(options, isFirstTokenLogProbTooLow, result.noSpeechProb, result.compressionRatio, result.avgLogProb);

  TranscriptionTimings resultTimings;
  resultTimings.firstTokenTime = timings.firstTokenTime;
  resultTimings.decodingLoop = timings.decodingLoop;
  resultTimings.decodingPredictions = timings.decodingPredictions;
  resultTimings.decodingFiltering = timings.decodingFiltering;
  resultTimings.decodingSampling = timings.decodingSampling;
  resultTimings.decodingKvCaching = timings.decodingKvCaching;
  resultTimings.decodingNonPrediction = timings.decodingNonPrediction;
  resultTimings.totalDecodingLoops = timings.totalDecodingLoops;
  resultTimings.totalKVUpdateRuns = timings.totalKVUpdateRuns;
  result.timings = resultTimings;
  return result;
}

DecodingResult TextDecoder::detectLanguage(const AudioEncoderOutputType& encoderOutput,
                                           DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                           const DecodingOptions& /*options*/, float /*temperature*/,
                                           std::stop_token stopToken) {
  const std::shared_ptr<const WhisperTokenizer> words = tokenizer();
  if (!words) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  const std::optional<int> vocabulary = logitsSize();
  if (!vocabulary) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
  const SpecialTokens& special = words->specialTokens();
  const std::vector<int> tokens{special.startOfTranscriptToken};
  const std::vector<float> logProbs{0.0F};
  const std::shared_ptr<const LanguageLogitsFilter> filter = languageFilterFor(*words, *vocabulary);

  decoderInputs.inputIds().setDouble(0, special.startOfTranscriptToken);
  decoderInputs.cacheLength().setDouble(0, 0);
  const Clock::time_point predictionStart = Clock::now();
  Logging::debug("Detecting language...");
  auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
  if (inputs == nullptr) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");

  const TextDecoderMLMultiArrayInputType input(inputs->inputIds(), inputs->cacheLength(), inputs->keyCache(),
                                               inputs->valueCache(), inputs->kvCacheUpdateMask(), encoderOutput,
                                               inputs->decoderKeyPaddingMask());
  const std::unique_ptr<TextDecoderOutputType> output = predictLogits(input, std::move(stopToken));
  const auto* step = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
  constexpr std::string_view kFailure = "Unable to decode logits from the model output";
  if (step == nullptr || !step->logits) {
    Logging::error("Unable to decode logits");
    throw WhisperError::decodingLogitsFailed(std::string(kFailure));
  }
  MultiArray logits = usableLogits(*step->logits, kFailure);
  const Clock::time_point samplingStart = Clock::now();
  const double predictionTime = secondsBetween(predictionStart, samplingStart);

  logits = filter->filterLogits(std::move(logits), tokens);
  const Clock::time_point drawStart = Clock::now();
  const SamplingResult sampled = sampler.update(tokens, logits, logProbs);
  const double samplingTime = secondsBetween(drawStart, Clock::now());

  DecodingResult result;
  const std::set<int>& languageTokens = words->allLanguageTokens();
  for (std::size_t i = 0; i < sampled.tokens.size(); ++i) {
    if (!languageTokens.contains(sampled.tokens[i])) continue;
    const float logProb = i < sampled.logProbs.size() ? sampled.logProbs[i] : 0.0F;
    result.languageProbs[trimmingSpecialTokenCharacters(decodeOne(*words, sampled.tokens[i]))] = logProb;
  }
  std::string language =
      sampled.tokens.empty() ? std::string() : trimmingSpecialTokenCharacters(decodeOne(*words, sampled.tokens.back()));
  if (Constants::languageCodes().contains(language)) {
    Logging::debug("Detected language: " + language);
  } else {
    Logging::error("Detected language " + language + " is not supported, defaulting to " +
                   std::string(Constants::defaultLanguageCode));
    language = std::string(Constants::defaultLanguageCode);
  }
  result.language = std::move(language);
  TranscriptionTimings timings;
  timings.decodingPredictions = predictionTime;
  timings.decodingSampling = samplingTime;
  result.timings = timings;
  return result;
}

void TextDecoder::logDecoderInputs(const DecodingInputs& inputs) {
  const auto at = [](const MultiArray& array, std::int64_t index) {
    return index >= 0 && index < array.count() ? static_cast<double>(array.floatAt(index)) : 0.0;
  };
  char line[160];
  Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
  std::snprintf(line, sizeof line, "Cache Length: %2.0f Input Token: %4.0f", at(inputs.cacheLength(), 0),
                at(inputs.inputIds(), 0));
  Logging::debug(line);
  Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
  for (int p = 0; p < 4; ++p) {
    std::snprintf(line, sizeof line, "%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", at(inputs.keyCache(), p),
                  at(inputs.valueCache(), p), at(inputs.alignmentWeights(), std::int64_t{p} * 1500),
                  at(inputs.kvCacheUpdateMask(), p), at(inputs.decoderKeyPaddingMask(), p), p);
    Logging::debug(line);
  }
}

}  // namespace vostrane
