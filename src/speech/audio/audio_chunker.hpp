// Cutting long audio into model-sized chunks at silences, and moving the results of the chunks
// back onto the timeline of the whole signal.
//
// AudioChunking is the contract; VADAudioChunker implements it on top of a voice-activity
// detector: each chunk holds at most maxChunkLength samples and every cut is placed in the
// middle of the longest silence of the second half of its window. The transcription pipeline
// (VAD chunking strategy) and the incremental file loader use it. Chunkers are immutable and
// may be shared between threads.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "speech/audio/voice_activity_detector.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/transcription_result.hpp"

namespace vostrane {

// A piece of a signal: its first sample's index in the signal it was cut from, and its samples
// (16 kHz mono).
struct AudioChunk {
  std::int64_t seekOffsetIndex = 0;
  std::vector<float> audioSamples{};

  AudioChunk() = default;
  AudioChunk(std::int64_t seekOffsetIndex, std::vector<float> audioSamples)
      : seekOffsetIndex(seekOffsetIndex), audioSamples(std::move(audioSamples)) {}

  friend bool operator==(const AudioChunk&, const AudioChunk&) = default;
};

// The outcome of transcribing one chunk: its results, or the error that stopped it.
using ChunkTranscriptionOutcome = std::variant<std::vector<std::shared_ptr<TranscriptionResult>>, std::exception_ptr>;

class AudioChunking {
 public:
  virtual ~AudioChunking() = default;

  // The chunks of `audioArray`, each at most `maxChunkLength` samples, in clip order and, within
  // a clip, in time order. Blocking; thread-safe for a const chunker.
  virtual std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                           const std::optional<DecodingOptions>& decodeOptions) const = 0;

  // Moves every successful chunk's results onto the whole signal's timeline, in place: each
  // segment's seek grows by the chunk's seekOffsetIndex (saturating at the int range), its start
  // and end and those of its words by the offset in seconds (seekOffsetIndex / 16000); the
  // result's seekTime becomes that offset. Failed chunks are logged at debug level ("Error
  // transcribing chunk i: <text>") and skipped. Returns the same result objects, flattened in
  // chunk order. Throws std::invalid_argument when the two lists differ in length. Not
  // thread-safe with respect to other writers of the same results.
  virtual std::vector<std::shared_ptr<TranscriptionResult>> updateSeekOffsetsForResults(
      const std::vector<ChunkTranscriptionOutcome>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const;
};

class VADAudioChunker : public AudioChunking {
 public:
  // One second at 16 kHz: the padding both library callers use.
  static constexpr std::int64_t kDefaultWindowPadding = 16000;

  // `windowPadding` (>= 0): a clip whose remaining part is at most this long is not searched
  // for further cuts; the remainder becomes the clip's last chunk. An absent `vad` is replaced
  // by the default EnergyVAD (16,000 Hz, 1,600-sample frames, no overlap, threshold 0.02).
  // Throws std::invalid_argument for a negative windowPadding.
  explicit VADAudioChunker(std::int64_t windowPadding = kDefaultWindowPadding,
                           std::shared_ptr<const VoiceActivityDetector> vad = nullptr);

  std::int64_t windowPadding() const { return windowPadding_; }
  const VoiceActivityDetector& vad() const { return *vad_; }

  // The sample index at which a chunk starting at `startIndex` and allowed to reach `endIndex`
  // ends: the first sample of the middle frame of the longest silence in [mid, endIndex), mid
  // being the middle of the window; `endIndex` when that half has no silent frame. Requires
  // 0 <= startIndex <= endIndex <= audioArray.size() (std::invalid_argument otherwise).
  std::int64_t splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                             std::int64_t endIndex) const;

  // An array of at most maxChunkLength samples is one chunk at 0. Otherwise every clip of the
  // options' clipTimestamps (the whole array without options or timestamps), clamped to the
  // audio, is cut window by window; empty or reversed clips give no chunk. Chunks of one clip
  // are contiguous and together cover the clip exactly; a last remainder of at most
  // windowPadding samples is the clip's final chunk. Logs each chunk at debug level.
  // Throws std::invalid_argument when maxChunkLength < 1.
  std::vector<AudioChunk> chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                   const std::optional<DecodingOptions>& decodeOptions) const override;

 private:
  std::int64_t windowPadding_;
  std::shared_ptr<const VoiceActivityDetector> vad_;
};

}  // namespace vostrane
