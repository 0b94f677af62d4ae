#include "speech/pipeline/transcribe_task.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <utility>

#include "core/logging.hpp"
#include "platform/log/check.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/sys/clock.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/decoding/token_sampler.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using noxtal::Logging;
using SteadyClock = std::chrono::steady_clock;

constexpr int kSampleRate = 16000;

// Log texts are built only when their line will be written.
bool debugEnabled() { return Logging::isLoggingEnabled(Logging::LogLevel::debug); }
bool infoEnabled() { return Logging::isLoggingEnabled(Logging::LogLevel::info); }

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string formatted(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// ["a", "b"]: a list of texts in the platform's default text form.
std::string quotedList(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += '"';
    out += texts[i];
    out += '"';
  }
  return out + "]";
}

std::vector<std::string> tokenTexts(const WhisperTokenizer& tokenizer, const std::vector<int>& ids) {
  std::vector<std::string> texts;
  texts.reserve(ids.size());
  for (int id : ids) texts.push_back(tokenizer.convertIdToToken(id).value_or(""));
  return texts;
}

struct Clip {
  std::int64_t start = 0;
  std::int64_t end = 0;
};

std::string clipList(const std::vector<Clip>& clips) {
  std::string out = "[";
  for (std::size_t i = 0; i < clips.size(); ++i) {
    if (i > 0) out += ", ";
    out += "(start: " + std::to_string(clips[i].start) + ", end: " + std::to_string(clips[i].end) + ")";
  }
  return out + "]";
}

// The run's clips: the option's clip timestamps as sample ranges, clamped to the audio, empty
// and reversed ranges left out.
std::vector<Clip> seekClips(const DecodingOptions& options, std::int64_t sampleCount) {
  std::vector<Clip> clips;
  for (const auto& [start, end] : clipTimestampsToSampleIndices(options.clipTimestamps, sampleCount)) {
    const Clip clamped{std::clamp<std::int64_t>(start, 0, sampleCount), std::clamp<std::int64_t>(end, 0, sampleCount)};
    if (clamped.end > clamped.start) clips.push_back(clamped);
  }
  return clips;
}

// Options a run cannot go on with are refused before the first window.
void validateOptions(const DecodingOptions& options) {
  if (options.maxWindowSeek && *options.maxWindowSeek <= 0) {
    throw WhisperError::transcriptionFailed("maxWindowSeek must be positive");
  }
  const float clipTime = options.windowClipTime;
  if (!std::isfinite(clipTime) || clipTime < 0 ||
      !platform::sys::checkedIntegerCast<int>(clipTime * static_cast<float>(kSampleRate))) {
    throw WhisperError::transcriptionFailed("windowClipTime must be a finite number of seconds at least 0");
  }
}

void mergeDecodingTimings(TranscriptionTimings& into, const TranscriptionTimings& from) {
  into.firstTokenTime = std::min(into.firstTokenTime, from.firstTokenTime);
  into.decodingPredictions += from.decodingPredictions;
  into.decodingFiltering += from.decodingFiltering;
  into.decodingSampling += from.decodingSampling;
  into.decodingKvCaching += from.decodingKvCaching;
  into.decodingNonPrediction += from.decodingNonPrediction;
  into.totalDecodingLoops += from.totalDecodingLoops;
  into.totalKVUpdateRuns += from.totalKVUpdateRuns;
}

std::string trimmingSpacesAndTabs(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

double pipelineClockNow() { return platform::sys::absoluteTimeNow(); }

void resetDecoderInputs(DecodingInputsType& inputs) {
  try {
    inputs.reset(Constants::maxTokenContext);
  } catch (const std::invalid_argument&) {
    throw WhisperError::prepareDecoderInputsFailed("Decoder inputs hold fewer than " +
                                                   std::to_string(Constants::maxTokenContext) + " cache positions");
  }
}

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<noxtal::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker,
                               std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      progress_(progress ? std::move(progress) : noxtal::Progress::make(0)),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {
  platform::log::requireThat(audioEncoder_ && featureExtractor_ && segmentSeeker_ && textDecoder_,
                             "TranscribeTask needs an audio encoder, a feature extractor, a segment seeker and a "
                             "text decoder");
}

const WhisperTokenizer& TranscribeTask::requireTokenizer() const {
  if (!tokenizer_) throw WhisperError::tokenizerUnavailable();
  return *tokenizer_;
}

void TranscribeTask::windowPreprocess(const AudioProcessorOutputType&, int, int) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(int, int,
                                                                    std::vector<TranscriptionSegment> originalSegments) {
  return originalSegments;
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(std::span<const float> audioArray,
                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                         const DecodingCallback& callback, std::stop_token stopToken) {
  platform::log::SignpostInterval interval(Signposters::transcribeTask(), "TranscribeAudio");
  timings_.pipelineStart = std::min(timings_.pipelineStart, pipelineClockNow());
  if (debugEnabled()) Logging::debug("Starting pipeline at: " + platform::sys::dateDescriptionNow());

  DecodingOptions options = decodeOptions.value_or(DecodingOptions());
  options.verbose = Logging::isLoggingEnabled();
  validateOptions(options);
  const WhisperTokenizer& tokenizer = requireTokenizer();
  const SpecialTokens& special = tokenizer.specialTokens();

  const auto sampleCount = static_cast<std::int64_t>(audioArray.size());
  if (sampleCount > std::numeric_limits<int>::max()) {
    throw WhisperError::transcriptionFailed("Audio is too long for sample positions");
  }
  // The audio after the first clip timestamp, which counts as clamped to the audio like the clips.
  const double duration = static_cast<double>(sampleCount) / kSampleRate;
  double firstClipTime = options.clipTimestamps.empty() ? 0.0 : options.clipTimestamps.front();
  if (!(firstClipTime > 0)) firstClipTime = 0;
  timings_.inputAudioSeconds = duration - std::min(firstClipTime, duration);

  std::optional<std::string> detectedLanguage;
  std::vector<TranscriptionSegment> allSegments;
  std::vector<int> allTokens;

  const double initStart = pipelineClockNow();
  std::shared_ptr<DecodingInputsType> decoderInputs =
      textDecoder_->prepareDecoderInputs({special.startOfTranscriptToken});
  if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prepare decoder inputs");
  // Every window starts from a reset to the library's token context; inputs too short for it
  // are refused here rather than at the end of the first window.
  resetDecoderInputs(*decoderInputs);
  timings_.decodingInit = pipelineClockNow() - initStart;
  if (debugEnabled()) Logging::debug("Decoder init time: " + noxtal::floatingText(timings_.decodingInit));

  if (options.usePrefillPrompt) {
    decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, options);
    if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prefill decoder inputs");
  }
  if (debugEnabled()) {
    Logging::debug("Prefill prompt: " + quotedList(tokenTexts(tokenizer, decoderInputs->initialPrompt())));
  }

  const std::vector<Clip> clips = seekClips(options, sampleCount);
  if (debugEnabled()) Logging::debug("Decoding seek clips: " + clipList(clips));
  std::int64_t totalUnits = 0;
  for (const Clip& clip : clips) totalUnits += clip.end - clip.start;
  // Counts are absolute for this run: what an earlier run on the same progress left is dropped.
  progress_->setTotalUnitCount(totalUnits);
  progress_->setCompletedUnitCount(0);

  // Room for what the windows usually give (a window decodes at most 224 tokens, speech rarely
  // makes more than 16 segments in one), so the collections do not reallocate window after
  // window. More windows than whole model windows (seeks that move less) still grow them.
  {
    const std::int64_t windowLength =
        std::max(1, featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples));
    std::int64_t expectedWindows = 0;
    for (const Clip& clip : clips) expectedWindows += (clip.end - clip.start + windowLength - 1) / windowLength;
    allTokens.reserve(static_cast<std::size_t>(expectedWindows) * 224);
    allSegments.reserve(static_cast<std::size_t>(expectedWindows) * 16);
  }

  const double loopStart = pipelineClockNow();
  const int windowPadding = *platform::sys::checkedIntegerCast<int>(options.windowClipTime * 16000.0F);
  std::vector<float> windowAudio;

  for (const Clip& clip : clips) {
    const std::int64_t previousSeekProgress = progress_->completedUnitCount();
    const int windowSamples = featureExtractor_->windowSamples().value_or(Constants::defaultWindowSamples);
    if (windowSamples < 1) throw WhisperError::transcriptionFailed("Model window must hold at least one sample");
    const int start = static_cast<int>(clip.start);
    const int end = static_cast<int>(clip.end);

    int seek = start;
    while (seek < end - windowPadding) {
      const int segmentSize = std::min({windowSamples, static_cast<int>(sampleCount) - seek, end - seek});
      const float timeOffset = static_cast<float>(seek) / kSampleRate;
      const float timeOffsetEnd = static_cast<float>(seek + segmentSize) / kSampleRate;
      if (debugEnabled()) {
        Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" + formatted("%.2f", timeOffset) + "s)");
        Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                       formatted("%.2f", timeOffsetEnd - timeOffset) + "s)");
      }

      const auto audioStart = SteadyClock::now();
      windowAudio.assign(audioArray.begin() + seek, audioArray.begin() + seek + segmentSize);
      std::optional<AudioProcessorOutputType> padded = audioProcessor_->padOrTrim(windowAudio, 0, windowSamples);
      if (!padded) throw WhisperError::transcriptionFailed("Audio samples are nil");
      windowPreprocess(*padded, seek, segmentSize);
      timings_.audioProcessing += secondsSince(audioStart);
      timings_.totalAudioProcessingRuns += 1;

      platform::sync::throwIfStopped(stopToken);

      const auto melStart = SteadyClock::now();
      std::optional<FeatureExtractorOutputType> mel = featureExtractor_->logMelSpectrogram(*padded, stopToken);
      if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
      timings_.logmels += secondsSince(melStart);
      timings_.totalLogmelRuns += 1;

      platform::sync::throwIfStopped(stopToken);

      const auto encoderStart = SteadyClock::now();
      std::optional<AudioEncoderOutputType> encoded = audioEncoder_->encodeFeatures(*mel, stopToken);
      if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");
      timings_.encoding += secondsSince(encoderStart);
      timings_.totalEncodingRuns += 1;

      if (infoEnabled()) {
        Logging::info("Decoding " + formatted("%.2f", timeOffset) + "s - " + formatted("%.2f", timeOffsetEnd) + "s");
      }

      DecodingCallback windowCallback;
      if (callback) {
        const int windowId =
            platform::sys::checkedIntegerCast<int>(timings_.totalDecodingWindows - timings_.totalDecodingFallbacks)
                .value_or(0);
        windowCallback = [&callback, windowId](const TranscriptionProgress& report) {
          TranscriptionProgress copy = report;
          copy.windowId = windowId;
          return callback(copy);
        };
      }

      platform::sync::throwIfStopped(stopToken);

      const DecodingResult result =
          decodeWithFallback(*encoded, options, decoderInputs, detectedLanguage, windowCallback, stopToken);

      const auto windowingStart = SteadyClock::now();
      auto [seekerSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
          result, options, static_cast<int>(allSegments.size()), seek, segmentSize, kSampleRate,
          special.timeTokenBegin, special.specialTokenBegin, tokenizer);
      int newSeek = std::max(seekerSeek, seek);

      if (options.wordTimestamps && result.cache && result.cache->alignmentWeights) {
        const auto wordStart = SteadyClock::now();
        std::vector<TranscriptionSegment> timed = segmentSeeker_->addWordTimestamps(
            segments.value_or(std::vector<TranscriptionSegment>{}), *result.cache->alignmentWeights, tokenizer, seek,
            segmentSize, Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations,
            static_cast<float>(static_cast<double>(seek) / kSampleRate), options, timings_);
        timings_.decodingWordTimestamps += secondsSince(wordStart);
        timings_.totalTimestampAlignmentRuns += 1;

        std::erase_if(timed, [](const TranscriptionSegment& segment) { return !(segment.end > segment.start); });
        if (!timed.empty()) {
          if (const auto lastEnd = platform::sys::checkedIntegerCast<int>(timed.back().end * 16000.0F)) {
            newSeek = std::max(newSeek, *lastEnd);
          }
        }
        if (options.verbose && debugEnabled()) {
          Logging::debug("Word timestamps:");
          for (const TranscriptionSegment& segment : timed) {
            for (const WordTiming& word : segment.words.value_or(std::vector<WordTiming>{})) {
              Logging::debug("[" + formatted("%.3g", word.start) + " -> " + formatted("%.3g", word.end) +
                             "] prob: " + noxtal::floatingText(word.probability) + ", word: " + word.word);
            }
          }
        }
        segments = std::move(timed);
      }

      // A window must move the seek, or the same audio would be decoded again and again.
      if (newSeek <= seek) {
        if (debugEnabled()) {
          Logging::debug("Seek did not advance past " + std::to_string(seek) + "; going on at " +
                         std::to_string(seek + segmentSize));
        }
        newSeek = seek + segmentSize;
      }
      // Summed wide: a cap as large as the int range means no cap, not a negative seek.
      if (options.maxWindowSeek) {
        newSeek = static_cast<int>(std::min<std::int64_t>(newSeek, std::int64_t{seek} + *options.maxWindowSeek));
      }

      // The next window starts from fresh masks, whether or not this one produced segments.
      resetDecoderInputs(*decoderInputs);

      if (!segments) {
        seek = newSeek;
        continue;
      }

      std::vector<TranscriptionSegment> processed = windowPostProcess(seek, segmentSize, std::move(*segments));
      if (options.verbose && debugEnabled()) {
        Logging::debug("Segments for window:");
        for (const TranscriptionSegment& segment : processed) {
          Logging::debug("[" + formatted("%.2f", segment.start) + " --> " + formatted("%.2f", segment.end) + "] " +
                         segment.text);
        }
      }
      if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(processed);
      for (const TranscriptionSegment& segment : processed) {
        allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
      }
      allSegments.insert(allSegments.end(), std::make_move_iterator(processed.begin()),
                         std::make_move_iterator(processed.end()));

      timings_.decodingWindowing += secondsSince(windowingStart);
      timings_.totalDecodingWindows += 1;
      progress_->setCompletedUnitCount(previousSeekProgress + std::min(newSeek, end) - start);
      seek = newSeek;
    }
  }

  progress_->setCompletedUnitCount(progress_->totalUnitCount());
  const double now = pipelineClockNow();
  timings_.decodingLoop = now - loopStart;
  timings_.fullPipeline = now - timings_.pipelineStart;
  return finalizeTranscriptionResult(allTokens, std::move(allSegments), detectedLanguage, timings_);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<int>& tokens, std::vector<TranscriptionSegment> segments,
    const std::optional<std::string>& language, const TranscriptionTimings& timings) const {
  const WhisperTokenizer& tokenizer = requireTokenizer();
  const int specialBegin = tokenizer.specialTokens().specialTokenBegin;
  std::vector<int> kept;
  kept.reserve(tokens.size());
  std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(kept), [&](int t) { return t < specialBegin; });
  std::string text = trimmingSpacesAndTabs(tokenizer.decode(kept));
  return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments),
                                               language.value_or(std::string(Constants::defaultLanguageCode)),
                                               timings, std::nullopt);
}

DecodingResult TranscribeTask::decodeWithFallback(const AudioEncoderOutputType& encoderOutput,
                                                  const DecodingOptions& decodingOptions,
                                                  std::shared_ptr<DecodingInputsType>& decoderInputs,
                                                  std::optional<std::string>& detectedLanguage,
                                                  const DecodingCallback& callback, std::stop_token stopToken) {
  platform::log::SignpostInterval interval(Signposters::transcribeTask(), "Decode");
  const WhisperTokenizer& tokenizer = requireTokenizer();
  if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Decoder inputs are missing");

  // Attempt i runs at temperature + i * increment. The temperatures are computed as the attempts
  // go, with a wide counter, so even the largest count neither allocates its list up front nor
  // overflows the loop.
  const std::int64_t fallbackCount = std::max(0, decodingOptions.temperatureFallbackCount);
  const auto temperatureOf = [&decodingOptions](std::int64_t i) {
    return decodingOptions.temperature + static_cast<float>(i) * decodingOptions.temperatureIncrementOnFallback;
  };
  if (debugEnabled()) {
    constexpr std::int64_t kListedTemperatures = 32;
    std::string list = "[";
    for (std::int64_t i = 0; i <= std::min(fallbackCount, kListedTemperatures - 1); ++i) {
      if (i > 0) list += ", ";
      list += noxtal::floatingText(temperatureOf(i));
    }
    if (fallbackCount >= kListedTemperatures) list += ", ... " + noxtal::floatingText(temperatureOf(fallbackCount));
    Logging::debug("Decoding with temperatures " + list + "]");
  }

  std::optional<DecodingResult> kept;
  for (std::int64_t i = 0; i <= fallbackCount; ++i) {
    const float temperature = temperatureOf(i);
    if (infoEnabled()) Logging::info("Decoding Temperature: " + noxtal::floatingText(temperature));
    const auto attemptStart = SteadyClock::now();
    GreedyTokenSampler sampler(temperature, tokenizer.specialTokens().endToken, decodingOptions);
    DecodingOptions attemptOptions = decodingOptions;

    if (textDecoder_->isModelMultilingual() && !decodingOptions.language && decodingOptions.detectLanguage) {
      std::optional<DecodingResult> detection;
      try {
        detection = textDecoder_->detectLanguage(encoderOutput, *decoderInputs, sampler, decodingOptions,
                                                 temperature, stopToken);
      } catch (const platform::sync::CancellationError&) {
        throw;
      } catch (const std::exception& e) {
        if (debugEnabled()) Logging::debug("Language detection failed: " + std::string(e.what()));
      }
      std::optional<std::string> language;
      if (detection && !detection->language.empty()) language = detection->language;
      attemptOptions.language = language;
      detectedLanguage = language;
      if (decodingOptions.usePrefillPrompt) {
        decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, attemptOptions);
        if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prefill decoder inputs");
      }
      if (debugEnabled()) {
        Logging::debug("Prefill prompt updated to: " + quotedList(tokenTexts(tokenizer, decoderInputs->initialPrompt())));
      }
      if (detection && detection->timings) {
        timings_.decodingPredictions += detection->timings->decodingPredictions;
        timings_.decodingSampling += detection->timings->decodingSampling;
      }
    }

    DecodingResult result =
        textDecoder_->decodeText(encoderOutput, *decoderInputs, sampler, attemptOptions, callback, stopToken);
    if (!detectedLanguage && !result.language.empty()) detectedLanguage = result.language;
    if (result.timings) mergeDecodingTimings(timings_, *result.timings);

    const bool needsFallback = result.fallback && result.fallback->needsFallback;
    if (needsFallback) {
      timings_.decodingFallback += secondsSince(attemptStart);
      timings_.totalDecodingFallbacks = static_cast<double>(i);
      resetDecoderInputs(*decoderInputs);
      if (infoEnabled()) {
        Logging::info("Fallback #" + std::to_string(i + 1) + " (" + result.fallback->fallbackReason + ")");
      }
    }
    kept = std::move(result);
    if (!needsFallback) break;
  }
  if (!kept) throw WhisperError::decodingFailed("Decoding failed");
  return std::move(*kept);
}

}  // namespace vostrane
