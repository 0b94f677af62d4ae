// The main class's transcription entry points: one sample array, one file, batches of arrays and
// of files.
#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sync/task_group.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/audio_loading_times.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {

using noxtal::Logging;
using noxtal::ModelState;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void report(const Vostrane::TranscriptionStateCallback& callback, TranscriptionState state) {
  if (callback) callback(state);
}

std::size_t hardwareThreads() { return std::max(1u, std::thread::hardware_concurrency()); }

// One outcome per item, in item order: the items run in batches of `workers` one after another
// (0 or below: one batch, at most hardwareThreads() items at once). Each item holds the
// instance only while it runs and becomes a failure when it is gone or `transcribeItem` throws.
template <class TranscribeItem>
std::vector<TranscriptionOutcome> runInBatches(std::size_t count, int workers, const std::weak_ptr<Vostrane>& weakSelf,
                                               const TranscribeItem& transcribeItem) {
  const std::size_t batchSize = workers > 0 ? static_cast<std::size_t>(workers) : count;
  const std::size_t parallel = workers > 0 ? batchSize : hardwareThreads();
  std::vector<TranscriptionOutcome> outcomes(count, TranscriptionOutcome::success({}));
  for (std::size_t batchStart = 0; batchStart < count; batchStart += batchSize) {
    const std::size_t batchCount = std::min(batchSize, count - batchStart);
    try {
      platform::sync::runConcurrently(batchCount, parallel, [&](std::size_t place, const std::stop_token&) {
        const std::size_t index = batchStart + place;
        try {
          auto self = weakSelf.lock();
          if (!self) throw WhisperError::transcriptionFailed("Vostrane instance was deallocated");
          outcomes[index] = TranscriptionOutcome::success(transcribeItem(*self, index));
        } catch (...) {
          outcomes[index] = TranscriptionOutcome::failure(std::current_exception());
        }
      });
    } catch (...) {
      // The items throw nothing, so the group failed before any of them ran (its threads could
      // not be started): every item of the batch fails with that error.
      const std::exception_ptr error = std::current_exception();
      for (std::size_t place = 0; place < batchCount; ++place) {
        outcomes[batchStart + place] = TranscriptionOutcome::failure(error);
      }
    }
  }
  return outcomes;
}

}  // namespace

std::vector<TranscriptionSegment> Vostrane::applySeekOffset(std::vector<TranscriptionSegment> segments,
                                                            int seekOffsetIndex) {
  const float seconds = static_cast<float>(seekOffsetIndex) / static_cast<float>(sampleRate);
  for (auto& segment : segments) {
    segment.seek += seekOffsetIndex;
    segment.start += seconds;
    segment.end += seconds;
    if (segment.words) {
      for (auto& word : *segment.words) {
        word.start += seconds;
        word.end += seconds;
      }
    }
  }
  return segments;
}

std::unique_ptr<TranscribeTask> Vostrane::setupTranscribeTask(
    TranscriptionTimings currentTimings, std::shared_ptr<noxtal::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) {
  return std::make_unique<TranscribeTask>(currentTimings, std::move(progress), std::move(audioProcessor),
                                          std::move(audioEncoder), std::move(featureExtractor),
                                          std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults Vostrane::runTranscribeTask(std::span<const float> audioArray,
                                                 const std::optional<DecodingOptions>& decodeOptions,
                                                 const DecodingCallback& callback,
                                                 const SegmentDiscoveryCallback& segmentCallback,
                                                 std::stop_token stopToken) {
  ensureLoaded(stopToken);
  const Components parts = components();
  if (!parts.tokenizer) throw WhisperError::tokenizerUnavailable();
  if (stopToken.stop_requested()) {
    setProgress(noxtal::Progress::make(0));
    throw platform::sync::CancellationError();
  }
  auto child = noxtal::Progress::make(0);
  parts.progress->setTotalUnitCount(std::max<std::int64_t>(parts.progress->totalUnitCount(), 1));
  parts.progress->addChild(child, 1);
  auto task = setupTranscribeTask(currentTimings(), child, parts.audioProcessor, parts.audioEncoder,
                                  parts.featureExtractor, parts.segmentSeeker, parts.textDecoder, parts.tokenizer);
  task->setSegmentDiscoveryCallback(segmentCallback);
  try {
    auto result = task->run(audioArray, decodeOptions, callback, stopToken);
    if (decodeOptions && decodeOptions->verbose) result->logTimings();
    if (parts.progress->isFinished()) setProgress(noxtal::Progress::make(0));
    return {std::move(result)};
  } catch (const platform::sync::CancellationError&) {
    setProgress(noxtal::Progress::make(0));
    throw;
  }
}

TranscriptionResults Vostrane::transcribe(std::span<const float> audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const DecodingCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback, std::stop_token stopToken) {
  return transcribe(audioArray, 0, decodeOptions, callback, segmentCallback, stopToken);
}

TranscriptionResults Vostrane::transcribe(std::span<const float> audioArray, int audioArrayOffset,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const DecodingCallback& callback,
                                          const SegmentDiscoveryCallback& segmentCallback, std::stop_token stopToken) {
  if (decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad &&
      static_cast<std::int64_t>(audioArray.size()) > windowSamples()) {
    return transcribeChunked(audioArray, audioArrayOffset, *decodeOptions, callback, stopToken);
  }
  SegmentDiscoveryCallback receiver = segmentCallback ? segmentCallback : segmentDiscoveryCallback();
  if (receiver && audioArrayOffset > 0) {
    receiver = [inner = std::move(receiver), audioArrayOffset](const std::vector<TranscriptionSegment>& segments) {
      inner(applySeekOffset(segments, audioArrayOffset));
    };
  }
  auto results = runTranscribeTask(audioArray, decodeOptions, callback, receiver, stopToken);
  if (decodeOptions && decodeOptions->verbose) {
    Logging::info("Total Transcription Results: " + std::to_string(results.size()));
    for (std::size_t i = 0; i < results.size(); ++i) {
      Logging::debug("[Result " + std::to_string(i) + "]");
      results[i]->logSegments();
    }
  }
  return results;
}

TranscriptionResults Vostrane::transcribe(const std::string& audioPath,
                                          const std::optional<AudioInputOptions>& audioInputOptions,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const DecodingCallback& callback, std::stop_token stopToken) {
  const AudioInputOptions options = audioInputOptions ? *audioInputOptions : this->audioInputOptions();
  // The audio side's time goes into the current timings on success and on failure alike.
  const auto keepLoadingTime = [this](const TranscriptionTimings& measured) {
    updateCurrentTimings([&measured](TranscriptionTimings& timings) { timings.audioLoading = measured.audioLoading; });
  };
  TranscriptionTimings loading;
  if (options.audioLoadingMode.isIncremental()) {
    const auto start = std::chrono::system_clock::now();
    try {
      auto results = transcribeFileIncrementally(audioPath, options, decodeOptions, callback, true, stopToken);
      recordAudioStreamingTime(loading, start);
      keepLoadingTime(loading);
      return results;
    } catch (...) {
      recordAudioStreamingTime(loading, start);
      keepLoadingTime(loading);
      throw;
    }
  }

  const auto stateCallback = transcriptionStateCallback();
  report(stateCallback, TranscriptionState::convertingAudio);
  std::vector<float> samples;
  try {
    samples = measureAudioLoading(loading, audioPath, options, stopToken);
  } catch (...) {
    keepLoadingTime(loading);
    throw;
  }
  keepLoadingTime(loading);
  report(stateCallback, TranscriptionState::transcribing);
  try {
    auto results = transcribe(std::span<const float>(samples), decodeOptions, callback, {}, stopToken);
    report(stateCallback, TranscriptionState::finished);
    return results;
  } catch (...) {
    report(stateCallback, TranscriptionState::finished);
    throw;
  }
}

std::vector<TranscriptionOutcome> Vostrane::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays,
    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<int>>& seekOffsets, const DecodingCallback& callback, std::stop_token stopToken) {
  if (decodeOptionsArray.size() != audioArrays.size()) {
    return {TranscriptionOutcome::failure(std::make_exception_ptr(WhisperError::transcriptionFailed(
        "The number of audio arrays and decoding options must be balanced.")))};
  }
  if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
    return {TranscriptionOutcome::failure(std::make_exception_ptr(WhisperError::transcriptionFailed(
        "The number of audio arrays and seek offset indexes must be balanced.")))};
  }
  int largest = 0;
  for (const auto& options : decodeOptionsArray) largest = std::max(largest, options ? options->concurrentWorkerCount : 0);
  const SegmentDiscoveryCallback discovery = segmentDiscoveryCallback();
  return runInBatches(audioArrays.size(), largest, weak_from_this(), [&](Vostrane& self, std::size_t index) {
    DecodingCallback itemCallback;
    if (callback) {
      itemCallback = [&callback, index](const TranscriptionProgress& progress) {
        TranscriptionProgress copy = progress;
        copy.windowId = static_cast<int>(index);
        return callback(copy);
      };
    }
    SegmentDiscoveryCallback segments = discovery;
    if (seekOffsets && discovery) {
      const int offset = (*seekOffsets)[index];
      segments = [discovery, offset](const std::vector<TranscriptionSegment>& found) {
        discovery(applySeekOffset(found, offset));
      };
    }
    return self.transcribe(std::span<const float>(audioArrays[index]), decodeOptionsArray[index], itemCallback,
                           segments, stopToken);
  });
}

std::vector<TranscriptionOutcome> Vostrane::transcribeWithResults(const std::vector<std::vector<float>>& audioArrays,
                                                                  const std::optional<DecodingOptions>& decodeOptions,
                                                                  const DecodingCallback& callback,
                                                                  std::stop_token stopToken) {
  return transcribeWithOptions(audioArrays, std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
                               std::nullopt, callback, stopToken);
}

std::vector<std::optional<TranscriptionResults>> Vostrane::transcribe(
    const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions,
    const DecodingCallback& callback, std::stop_token stopToken) {
  std::vector<std::optional<TranscriptionResults>> answer;
  for (auto& outcome : transcribeWithResults(audioArrays, decodeOptions, callback, stopToken)) {
    answer.push_back(outcome.succeeded() ? std::optional(outcome.results()) : std::nullopt);
  }
  return answer;
}

std::vector<TranscriptionOutcome> Vostrane::transcribeWithResults(
    const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, const DecodingCallback& callback, std::stop_token stopToken) {
  const AudioInputOptions options = audioInputOptions ? *audioInputOptions : this->audioInputOptions();
  if (options.audioLoadingMode.isIncremental()) {
    return transcribePathsIncrementally(audioPaths, options, decodeOptions, callback, stopToken);
  }
  return transcribePathsFullFile(audioPaths, options, decodeOptions, callback, stopToken);
}

std::vector<TranscriptionOutcome> Vostrane::transcribePathsFullFile(const std::vector<std::string>& audioPaths,
                                                                    const AudioInputOptions& options,
                                                                    const std::optional<DecodingOptions>& decodeOptions,
                                                                    const DecodingCallback& callback,
                                                                    std::stop_token stopToken) {
  const auto stateCallback = transcriptionStateCallback();
  report(stateCallback, TranscriptionState::convertingAudio);
  const auto start = Clock::now();
  std::vector<AudioLoadResult> loaded = AudioProcessor::loadAudio(audioPaths, options.channelMode, stopToken);
  std::vector<std::vector<float>> arrays;
  for (AudioLoadResult& result : loaded) {
    if (result.isSuccess()) arrays.push_back(result.takeValue());
  }
  const double elapsed = secondsSince(start);
  updateCurrentTimings([elapsed](TranscriptionTimings& timings) { timings.audioLoading = elapsed; });
  Logging::debug("Total Audio Loading and Converting Time: " + std::to_string(elapsed));

  report(stateCallback, TranscriptionState::transcribing);
  std::vector<TranscriptionOutcome> transcribed = transcribeWithResults(arrays, decodeOptions, callback, stopToken);
  arrays = {};

  std::vector<TranscriptionOutcome> answer;
  answer.reserve(audioPaths.size());
  std::size_t next = 0;
  for (const AudioLoadResult& result : loaded) {
    if (!result.isSuccess()) {
      answer.push_back(TranscriptionOutcome::failure(result.error()));
    } else if (next < transcribed.size()) {
      answer.push_back(std::move(transcribed[next++]));
    } else {
      // Only when the batch answered with fewer entries than arrays (it never does for one
      // options value per array): a path never goes without an answer.
      answer.push_back(TranscriptionOutcome::failure(std::make_exception_ptr(
          WhisperError::transcriptionFailed("No transcription result for " + audioPaths[answer.size()]))));
    }
  }
  report(stateCallback, TranscriptionState::finished);
  return answer;
}

std::vector<TranscriptionOutcome> Vostrane::transcribePathsIncrementally(
    const std::vector<std::string>& audioPaths, const AudioInputOptions& options,
    const std::optional<DecodingOptions>& decodeOptions, const DecodingCallback& callback, std::stop_token stopToken) {
  const auto stateCallback = transcriptionStateCallback();
  report(stateCallback, TranscriptionState::transcribing);
  const auto start = Clock::now();

  const int workers = decodeOptions ? decodeOptions->concurrentWorkerCount : 0;
  std::vector<TranscriptionOutcome> outcomes =
      runInBatches(audioPaths.size(), workers, weak_from_this(), [&](Vostrane& self, std::size_t index) {
        return self.transcribeFileIncrementally(audioPaths[index], options, decodeOptions, callback, false, stopToken);
      });

  const double elapsed = secondsSince(start);
  updateCurrentTimings([elapsed](TranscriptionTimings& timings) { timings.audioProcessing = elapsed; });
  Logging::debug("Total Audio Streaming and Transcription Time: " + std::to_string(elapsed));
  report(stateCallback, TranscriptionState::finished);
  return outcomes;
}

std::vector<std::optional<TranscriptionResults>> Vostrane::transcribe(
    const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions,
    const std::optional<DecodingOptions>& decodeOptions, const DecodingCallback& callback, std::stop_token stopToken) {
  std::vector<std::optional<TranscriptionResults>> answer;
  for (auto& outcome : transcribeWithResults(audioPaths, audioInputOptions, decodeOptions, callback, stopToken)) {
    answer.push_back(outcome.succeeded() ? std::optional(outcome.results()) : std::nullopt);
  }
  return answer;
}

}  // namespace vostrane
