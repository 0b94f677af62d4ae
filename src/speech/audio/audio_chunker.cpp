#include "speech/audio/audio_chunker.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/logging.hpp"
#include "platform/sys/error_description.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using noxtal::Logging;

constexpr double kSamplesPerSecond = 16000.0;

std::string seconds(std::int64_t sampleIndex) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(static_cast<float>(sampleIndex) / 16000.0F));
  return text;
}

int shiftedSeek(int seek, std::int64_t offset) {
  const std::int64_t sum = std::int64_t{seek} + offset;
  return static_cast<int>(
      std::clamp<std::int64_t>(sum, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

}  // namespace

std::vector<std::shared_ptr<TranscriptionResult>> AudioChunking::updateSeekOffsetsForResults(
    const std::vector<ChunkTranscriptionOutcome>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const {
  if (chunkedResults.size() != audioChunks.size()) {
    throw std::invalid_argument("updateSeekOffsetsForResults: " + std::to_string(chunkedResults.size()) +
                                " chunk results for " + std::to_string(audioChunks.size()) + " audio chunks");
  }
  std::vector<std::shared_ptr<TranscriptionResult>> updated;
  for (std::size_t i = 0; i < chunkedResults.size(); ++i) {
    if (const auto* error = std::get_if<std::exception_ptr>(&chunkedResults[i])) {
      Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " + platform::sys::describeError(*error));
      continue;
    }
    const auto& results = std::get<std::vector<std::shared_ptr<TranscriptionResult>>>(chunkedResults[i]);
    if (results.empty()) continue;
    const std::int64_t sampleOffset = audioChunks[i].seekOffsetIndex;
    const auto offset = static_cast<float>(static_cast<double>(sampleOffset) / kSamplesPerSecond);
    for (const auto& result : results) {
      if (!result) continue;
      result->modifySegments([&](std::vector<TranscriptionSegment>& segments) {
        for (auto& segment : segments) {
          segment.seek = shiftedSeek(segment.seek, sampleOffset);
          segment.start += offset;
          segment.end += offset;
          if (segment.words) {
            for (auto& word : *segment.words) {
              word.start += offset;
              word.end += offset;
            }
          }
        }
      });
      result->setSeekTime(offset);
      updated.push_back(result);
    }
  }
  return updated;
}

VADAudioChunker::VADAudioChunker(std::int64_t windowPadding, std::shared_ptr<const VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(std::move(vad)) {
  if (windowPadding_ < 0) throw std::invalid_argument("VADAudioChunker: windowPadding must not be negative");
  if (!vad_) vad_ = std::make_shared<const EnergyVAD>(EnergyVAD::makeDefault());
}

std::int64_t VADAudioChunker::splitOnMiddleOfLongestSilence(std::span<const float> audioArray, std::int64_t startIndex,
                                                            std::int64_t endIndex) const {
  if (startIndex < 0 || startIndex > endIndex || endIndex > static_cast<std::int64_t>(audioArray.size())) {
    throw std::invalid_argument("splitOnMiddleOfLongestSilence: indices outside the audio");
  }
  const std::int64_t mid = startIndex + (endIndex - startIndex) / 2;
  const auto activity =
      vad_->voiceActivity(audioArray.subspan(static_cast<std::size_t>(mid), static_cast<std::size_t>(endIndex - mid)));
  const auto silence = vad_->findLongestSilence(activity);
  if (!silence) return endIndex;
  const std::int64_t middleFrame = silence->startIndex + (silence->endIndex - silence->startIndex) / 2;
  return mid + middleFrame * vad_->frameLengthSamples();
}

std::vector<AudioChunk> VADAudioChunker::chunkAll(std::span<const float> audioArray, std::int64_t maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) const {
  if (maxChunkLength < 1) throw std::invalid_argument("chunkAll: maxChunkLength must be at least 1");
  const auto count = static_cast<std::int64_t>(audioArray.size());
  if (count <= maxChunkLength) {
    return {AudioChunk(0, std::vector<float>(audioArray.begin(), audioArray.end()))};
  }
  const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
  const auto clips = clipTimestampsToSampleIndices(options.clipTimestamps, count);
  const bool logChunks = Logging::isLoggingEnabled(Logging::LogLevel::debug);

  std::vector<AudioChunk> chunks;
  auto append = [&](std::int64_t from, std::int64_t to) {
    if (logChunks) Logging::debug("Found chunk from " + seconds(from) + " to " + seconds(to));
    chunks.emplace_back(from, std::vector<float>(audioArray.begin() + from, audioArray.begin() + to));
  };

  for (const auto& [clipStart, clipEnd] : clips) {
    // Clip boundaries come from the caller: keep them inside the audio; empty or reversed clips
    // hold nothing to transcribe.
    const std::int64_t s = std::clamp<std::int64_t>(clipStart, 0, count);
    const std::int64_t e = std::clamp<std::int64_t>(clipEnd, 0, count);
    if (s >= e) continue;
    std::int64_t cursor = s;
    // Cut while more than windowPadding samples remain (or more than one chunk's worth, when
    // the padding exceeds the chunk length).
    while (cursor < e - windowPadding_ || e - cursor > maxChunkLength) {
      if (cursor < 0 || cursor >= count)
        throw WhisperError::audioProcessingFailed("startIndex is outside the buffer size");
      const std::int64_t windowEnd = cursor + maxChunkLength;
      std::int64_t chunkEnd = e;
      if (windowEnd < e) {
        chunkEnd = splitOnMiddleOfLongestSilence(audioArray, cursor, std::min(windowEnd, count));
        // A window too short to hold a silence past its start is cut at its end instead, so
        // the clip always advances.
        if (chunkEnd <= cursor) chunkEnd = windowEnd;
      }
      append(cursor, chunkEnd);
      cursor = chunkEnd;
    }
    // The remainder (at most windowPadding and maxChunkLength samples) is the clip's last chunk.
    if (cursor < e) append(cursor, e);
  }
  return chunks;
}

}  // namespace vostrane
