// The main class's two ways of cutting audio before transcribing it: long sample arrays cut at
// silences and transcribed as a batch, and files streamed piece by piece.
#include <algorithm>
#include <exception>
#include <limits>
#include <utility>

#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_chunker.hpp"
#include "speech/audio/voice_activity_detector.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {

using noxtal::Logging;

namespace {

void report(const Vostrane::TranscriptionStateCallback& callback, TranscriptionState state) {
  if (callback) callback(state);
}

// A sample position that segments can carry.
int samplePosition(std::int64_t index) {
  if (index < std::numeric_limits<int>::min() || index > std::numeric_limits<int>::max()) {
    throw WhisperError::transcriptionFailed("Audio is too long for sample positions");
  }
  return static_cast<int>(index);
}

void logResults(const TranscriptionResults& results) {
  Logging::info("Total Transcription Results: " + std::to_string(results.size()));
  for (std::size_t i = 0; i < results.size(); ++i) {
    Logging::debug("[Result " + std::to_string(i) + "]");
    results[i]->logSegments();
  }
}

// Calls a piece's completion signal exactly once: at fire(), or when it goes away unfired.
class CompletionSignal {
 public:
  explicit CompletionSignal(std::function<void()> signal) : signal_(std::move(signal)) {}
  CompletionSignal(const CompletionSignal&) = delete;
  CompletionSignal& operator=(const CompletionSignal&) = delete;
  ~CompletionSignal() { fire(); }
  void fire() noexcept {
    auto signal = std::exchange(signal_, nullptr);
    if (signal) signal();
  }

 private:
  std::function<void()> signal_;
};

}  // namespace

std::int64_t Vostrane::windowSamples() const {
  return featureExtractor()->windowSamples().value_or(Constants::defaultWindowSamples);
}

TranscriptionResults Vostrane::transcribeChunked(std::span<const float> audioArray, int audioArrayOffset,
                                                 const DecodingOptions& decodeOptions, const DecodingCallback& callback,
                                                 std::stop_token stopToken) {
  std::shared_ptr<const VoiceActivityDetector> detector = voiceActivityDetector();
  if (!detector) detector = std::make_shared<const EnergyVAD>(EnergyVAD::makeDefault());
  const VADAudioChunker chunker(VADAudioChunker::kDefaultWindowPadding, std::move(detector));
  std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, windowSamples(), decodeOptions);
  Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");

  const auto total = progress();
  total->setTotalUnitCount(std::max<std::int64_t>(total->totalUnitCount(), static_cast<std::int64_t>(chunks.size())));

  // The clip ranges are applied by the cut: the pieces are transcribed whole.
  DecodingOptions pieceOptions = decodeOptions;
  pieceOptions.clipTimestamps.clear();
  std::vector<std::vector<float>> arrays;
  std::vector<int> seekOffsets;
  arrays.reserve(chunks.size());
  seekOffsets.reserve(chunks.size());
  for (AudioChunk& chunk : chunks) {
    seekOffsets.push_back(samplePosition(static_cast<std::int64_t>(audioArrayOffset) + chunk.seekOffsetIndex));
    arrays.push_back(std::exchange(chunk.audioSamples, {}));
  }
  std::vector<TranscriptionOutcome> outcomes =
      transcribeWithOptions(arrays, std::vector<std::optional<DecodingOptions>>(arrays.size(), pieceOptions),
                            seekOffsets, callback, stopToken);
  arrays = {};
  // Every piece of a stopped run fails; that is a cancellation, not an empty transcription.
  platform::sync::throwIfStopped(stopToken);

  std::vector<ChunkTranscriptionOutcome> pieceOutcomes;
  pieceOutcomes.reserve(outcomes.size());
  for (const TranscriptionOutcome& outcome : outcomes) {
    if (outcome.succeeded()) {
      pieceOutcomes.emplace_back(outcome.results());
    } else {
      pieceOutcomes.emplace_back(outcome.error());
    }
  }
  TranscriptionResults results = chunker.updateSeekOffsetsForResults(pieceOutcomes, chunks);
  if (decodeOptions.verbose) logResults(results);
  return results;
}

TranscriptionResults Vostrane::transcribeIncrementally(const IncrementalChunkSource& chunks,
                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                       const DecodingCallback& callback, bool reportState,
                                                       std::stop_token stopToken) {
  if (decodeOptions && !decodeOptions->clipTimestamps.empty()) {
    throw WhisperError::transcriptionFailed(
        "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired "
        "range as a separate call.");
  }
  const TranscriptionStateCallback stateCallback = reportState ? transcriptionStateCallback() : nullptr;
  report(stateCallback, TranscriptionState::transcribing);

  TranscriptionResults collected;
  try {
    for (;;) {
      std::optional<IncrementalFileChunk> piece = chunks();
      if (!piece) break;
      CompletionSignal signal(std::move(piece->completionSignal));
      const int offset = samplePosition(piece->audioChunk.seekOffsetIndex);
      TranscriptionResults results = transcribe(std::span<const float>(piece->audioChunk.audioSamples), offset,
                                                decodeOptions, callback, {}, stopToken);
      const float seconds = static_cast<float>(offset) / static_cast<float>(sampleRate);
      for (const auto& result : results) {
        result->modifySegments([offset](std::vector<TranscriptionSegment>& segments) {
          segments = applySeekOffset(std::move(segments), offset);
        });
        result->modifySeekTime(
            [seconds](std::optional<float>& seekTime) { seekTime = seekTime.value_or(0.0F) + seconds; });
      }
      collected.insert(collected.end(), results.begin(), results.end());
      signal.fire();
    }
    // A stop ends the stream early: what was collected is not the whole file.
    platform::sync::throwIfStopped(stopToken);
  } catch (...) {
    report(stateCallback, TranscriptionState::finished);
    throw;
  }

  std::stable_sort(collected.begin(), collected.end(), [](const auto& a, const auto& b) {
    return a->seekTime().value_or(0.0F) < b->seekTime().value_or(0.0F);
  });
  report(stateCallback, TranscriptionState::finished);
  return collected;
}

TranscriptionResults Vostrane::transcribeIncrementally(IncrementalAudioStream& chunks,
                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                       const DecodingCallback& callback, bool reportState,
                                                       std::stop_token stopToken) {
  return transcribeIncrementally([&chunks] { return chunks.next(); }, decodeOptions, callback, reportState,
                                 std::move(stopToken));
}

TranscriptionResults Vostrane::transcribeFileIncrementally(const std::string& audioPath,
                                                           const AudioInputOptions& options,
                                                           const std::optional<DecodingOptions>& decodeOptions,
                                                           const DecodingCallback& callback, bool reportState,
                                                           std::stop_token stopToken) {
  const AudioLoadingMode& mode = options.audioLoadingMode;
  // The stream is ended and its reader joined when this returns or throws.
  const std::unique_ptr<IncrementalAudioStream> stream =
      loadAudioIncrementally(audioPath, options.channelMode, mode.chunkDurationSeconds(), mode.maxBufferedChunks(),
                             windowSamples(), voiceActivityDetector(), stopToken);
  return transcribeIncrementally(*stream, decodeOptions, callback, reportState, std::move(stopToken));
}

}  // namespace vostrane
