#include "diarization/diarization_result.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "core/logging.hpp"
#include "diarization/clustering_numerics.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

std::int64_t truncatedFrame(float seconds, float frameRate) {
  return platform::sys::checkedIntegerCast<std::int64_t>(seconds * frameRate).value_or(0);
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

SpeakerSegment SpeakerSegment::fromFrames(SpeakerInfo speaker, std::int64_t startFrame, std::int64_t endFrame,
                                          float frameRate, std::optional<vostrane::TranscriptionSegment> transcription,
                                          std::vector<SpeakerWordTiming> speakerWords) {
  SpeakerSegment segment;
  segment.id = platform::sync::Uuid::random();
  segment.speaker = std::move(speaker);
  segment.startTime = static_cast<float>(startFrame) / frameRate;
  segment.endTime = static_cast<float>(endFrame) / frameRate;
  segment.frameRate = frameRate;
  segment.originalStartFrame = startFrame;
  segment.originalEndFrame = endFrame;
  segment.transcription = std::move(transcription);
  segment.speakerWords = std::move(speakerWords);
  return segment;
}

SpeakerSegment SpeakerSegment::fromTimes(SpeakerInfo speaker, float startTime, float endTime, float frameRate,
                                         std::optional<vostrane::TranscriptionSegment> transcription,
                                         std::vector<SpeakerWordTiming> speakerWords) {
  SpeakerSegment segment;
  segment.id = platform::sync::Uuid::random();
  segment.speaker = std::move(speaker);
  segment.startTime = startTime;
  segment.endTime = endTime;
  segment.frameRate = frameRate;
  segment.transcription = std::move(transcription);
  segment.speakerWords = std::move(speakerWords);
  return segment;
}

SpeakerSegment SpeakerSegment::fromTranscription(vostrane::TranscriptionSegment transcription,
                                                 std::vector<SpeakerWordTiming> speakerWords,
                                                 float diarizationFrameRate) {
  SpeakerInfo speaker;
  float start = 0;
  float end = 0;
  if (!speakerWords.empty()) {
    if (speakerWords.front().speaker.speakerId()) speaker = speakerWords.front().speaker;
    start = speakerWords.front().wordTiming.start;
    end = speakerWords.front().wordTiming.end;
    for (const SpeakerWordTiming& word : speakerWords) {
      start = std::min(start, word.wordTiming.start);
      end = std::max(end, word.wordTiming.end);
    }
  }
  return fromTimes(std::move(speaker), start, end, diarizationFrameRate, std::move(transcription),
                   std::move(speakerWords));
}

std::int64_t SpeakerSegment::startFrame() const {
  return originalStartFrame ? *originalStartFrame : truncatedFrame(startTime, frameRate);
}

std::int64_t SpeakerSegment::endFrame() const {
  return originalEndFrame ? *originalEndFrame : truncatedFrame(endTime, frameRate);
}

std::string SpeakerSegment::text() const {
  std::string out;
  for (const SpeakerWordTiming& word : speakerWords) out += word.wordTiming.word;
  return out;
}

std::string SpeakerSegment::description() const {
  const float start = speakerWords.empty() ? startTime : speakerWords.front().wordTiming.start;
  const float end = speakerWords.empty() ? endTime : speakerWords.back().wordTiming.end;
  char times[96];
  std::snprintf(times, sizeof times, " [%.2f-%.2fs]: ", static_cast<double>(start), static_cast<double>(end));
  const std::string words = text();
  return speaker.description() + times + std::string(trimBlanks(words));
}

std::string SpeakerSegment::debugDescription() const { return "Segment " + id.toString() + " -- " + description(); }

DiarizationResult::DiarizationResult(int speakerCount, std::int64_t totalFrames, float frameRate,
                                     std::vector<SpeakerSegment> segments,
                                     std::shared_ptr<const DiarizationTimings> timings,
                                     CentroidMap speakerCentroidEmbeddings)
    : DiarizationResult({}, speakerCount, totalFrames, frameRate, std::move(segments), std::move(timings),
                        std::move(speakerCentroidEmbeddings)) {}

DiarizationResult::DiarizationResult(BinaryMatrix binaryMatrix, int speakerCount, std::int64_t totalFrames,
                                     float frameRate, std::vector<SpeakerSegment> segments,
                                     std::shared_ptr<const DiarizationTimings> timings,
                                     CentroidMap speakerCentroidEmbeddings)
    : speakerCount(speakerCount),
      totalFrames(totalFrames),
      frameRate(frameRate),
      segments(std::move(segments)),
      timings(std::move(timings)),
      speakerCentroidEmbeddings(std::move(speakerCentroidEmbeddings)),
      binaryMatrix_(std::move(binaryMatrix)) {}

const PyannoteDiarizationTimings* DiarizationResult::pyannoteTimings() const {
  return dynamic_cast<const PyannoteDiarizationTimings*>(timings.get());
}

void DiarizationResult::updateSegments(float minActiveOffset) {
  if (binaryMatrix_.empty()) {
    noxtal::Logging::debug("[Dellomar] updateSegments skipped (no binary matrix)");
    return;
  }
  noxtal::Logging::debug("[Dellomar] updateSegments with min " + noxtal::floatingText(minActiveOffset) + " offset");
  const std::int64_t gap = truncatedFrame(minActiveOffset, frameRate);

  std::vector<SpeakerSegment> built;
  for (std::size_t row = 0; row < binaryMatrix_.size(); ++row) {
    const std::vector<int>& frames = binaryMatrix_[row];
    const SpeakerInfo speaker = SpeakerInfo::speakerId(static_cast<int>(row));
    bool open = false;
    std::int64_t start = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      const auto frame = static_cast<std::int64_t>(i);
      if (frames[i] == 1 && !open) {
        open = true;
        start = frame;
        if (!built.empty() && built.back().speaker == speaker && frame - built.back().endFrame() <= gap) {
          start = built.back().startFrame();
          built.pop_back();
        }
      } else if (frames[i] != 1 && open) {
        open = false;
        built.push_back(SpeakerSegment::fromFrames(speaker, start, frame, frameRate));
      }
    }
    if (open) {
      built.push_back(SpeakerSegment::fromFrames(speaker, start, static_cast<std::int64_t>(frames.size()), frameRate));
    }
  }
  std::stable_sort(built.begin(), built.end(),
                   [](const SpeakerSegment& a, const SpeakerSegment& b) { return a.startFrame() < b.startFrame(); });
  segments = std::move(built);
}

std::optional<float> DiarizationResult::centroidCosineDistance(int a, int b) const {
  const auto first = speakerCentroidEmbeddings.find(a);
  const auto second = speakerCentroidEmbeddings.find(b);
  if (first == speakerCentroidEmbeddings.end() || second == speakerCentroidEmbeddings.end()) return std::nullopt;
  if (first->second.empty() || first->second.size() != second->second.size()) return std::nullopt;
  return cosineDistance(first->second, second->second);
}

std::optional<NearestSpeaker> DiarizationResult::nearestSpeakerCentroid(std::span<const float> embedding) const {
  if (embedding.empty()) return std::nullopt;
  std::optional<NearestSpeaker> best;
  for (const auto& [id, centroid] : speakerCentroidEmbeddings) {
    if (centroid.size() != embedding.size()) continue;
    const float distance = cosineDistance(embedding, centroid);
    if (!best || distance < best->distance) best = NearestSpeaker{id, distance};
  }
  return best;
}

}  // namespace dellomar
