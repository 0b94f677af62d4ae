#include "diarization/aggregation.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_set>
#include <utility>

#include "core/logging.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

using Clock = std::chrono::steady_clock;

constexpr float kChunkSeconds = 30.0f;
// Frames in a grid beyond which a geometry is treated as broken rather than allocated.
constexpr std::int64_t kMaximumGridCells = std::int64_t{1} << 34;

void logPostProcessingTime(Clock::time_point since) {
  char line[96];
  std::snprintf(line, sizeof line, "[Dellomar] Post processing time: %.2f ms",
                std::chrono::duration<double, std::milli>(Clock::now() - since).count());
  noxtal::Logging::debug(std::string(line));
}

DiarizationResult emptyResult(float frameRate) {
  DiarizationResult result({}, 0, 0, frameRate, {}, nullptr, {});
  result.updateSegments(0);
  return result;
}

}  // namespace

WindowGeometry windowGeometry(const SpeakerSegmenterModel& segmenter, std::int64_t sampleCount) {
  WindowGeometry geometry;
  geometry.modelLoaded = static_cast<bool>(segmenter.model());
  geometry.secondsPerWindow = segmenter.windowDuration();
  geometry.framesPerWindow = segmenter.framesPerWindow();
  geometry.maxChunks = segmenter.chunkCount(sampleCount);
  return geometry;
}

DiarizationResult aggregate(const std::vector<SpeakerEmbedding>& embeddings, SpeakerCentroids speakerCentroids,
                            const WindowGeometry& geometry, bool useExclusiveReconciliation) {
  const Clock::time_point t0 = Clock::now();
  const float frameRate = geometry.frameRate();
  if (embeddings.empty()) {
    DiarizationResult result = emptyResult(frameRate);
    logPostProcessingTime(t0);
    return result;
  }
  const float secondsPerWindow = geometry.secondsPerWindow;
  const std::optional<std::int64_t> windowsPerChunk =
      secondsPerWindow > 0 ? platform::sys::checkedIntegerCast<std::int64_t>(kChunkSeconds / secondsPerWindow)
                           : std::nullopt;
  if (!geometry.modelLoaded || !windowsPerChunk) {
    noxtal::Logging::error("[PyannoteDiarizer] No window geometry for " + std::to_string(embeddings.size()) +
                           " embeddings (segmentation model without a window duration); empty result");
    DiarizationResult result = emptyResult(frameRate);
    logPostProcessingTime(t0);
    return result;
  }

  int largestCluster = -1;
  for (const SpeakerEmbedding& e : embeddings) largestCluster = std::max(largestCluster, e.clusterId);
  const int speakers = largestCluster + 1;
  const auto framesPerWindow = static_cast<std::int64_t>(embeddings.front().activeFrames.size());
  std::int64_t totalFrames = 0;
  if (__builtin_mul_overflow(geometry.maxChunks, *windowsPerChunk, &totalFrames) ||
      __builtin_mul_overflow(totalFrames, framesPerWindow, &totalFrames) || totalFrames < 0 ||
      (speakers > 0 && totalFrames > kMaximumGridCells / speakers)) {
    noxtal::Logging::error("[PyannoteDiarizer] Frame grid too large: " + std::to_string(geometry.maxChunks) +
                           " chunks of " + std::to_string(*windowsPerChunk) + " windows of " +
                           std::to_string(framesPerWindow) + " frames; empty result");
    DiarizationResult result = emptyResult(frameRate);
    logPostProcessingTime(t0);
    return result;
  }
  noxtal::Logging::debug("[PyannoteDiarizer] Speakers: " + std::to_string(speakers) +
                         ", maxChunks: " + std::to_string(geometry.maxChunks) +
                         ", framesPerWindow " + std::to_string(framesPerWindow));

  const auto s = static_cast<std::size_t>(std::max(speakers, 0));
  const auto t = static_cast<std::size_t>(totalFrames);
  std::vector<std::vector<float>> activation(s, std::vector<float>(t, 0.0f));
  std::vector<float> frameWindowCount(t, 0.0f);
  std::unordered_set<std::int64_t> countedStarts;
  const float framesPerSecond = static_cast<float>(framesPerWindow) / secondsPerWindow;

  for (const SpeakerEmbedding& e : embeddings) {
    const std::int64_t startFrame =
        platform::sys::checkedIntegerCast<std::int64_t>(static_cast<float>(e.windowIndex) * framesPerSecond)
            .value_or(-1);
    if (e.clusterId < 0 || e.clusterId >= speakers) {
      noxtal::Logging::error("[PyannoteDiarizer] Invalid clusterId: " + std::to_string(e.clusterId) +
                             ", speakerCount: " + std::to_string(speakers));
      continue;
    }
    const bool counted = countedStarts.contains(startFrame);
    std::vector<float>& row = activation[static_cast<std::size_t>(e.clusterId)];
    for (std::size_t i = 0; i < e.activeFrames.size(); ++i) {
      const std::int64_t frame = startFrame + static_cast<std::int64_t>(i);
      if (frame < 0 || frame >= totalFrames) {
        noxtal::Logging::error("Frame counter index out of range: " + std::to_string(frame) + " not in [0, " +
                               std::to_string(totalFrames) + "), startOffset: " + std::to_string(startFrame) +
                               ", index: " + std::to_string(i) + ", windowIndex: " + std::to_string(e.windowIndex));
        continue;
      }
      const auto f = static_cast<std::size_t>(frame);
      if (e.activeFrames[i] != 0) row[f] += 1;  // NaN counts as active
      if (!counted) frameWindowCount[f] += 1;
    }
    countedStarts.insert(startFrame);
  }

  std::vector<int> speakersAtFrame(t, 0);
  for (std::size_t f = 0; f < t; ++f) {
    if (frameWindowCount[f] <= 0) continue;
    // Each speaker counts by its own share, rounded (halves up): two speakers at 0.4 make no
    // speaker, two at 0.5 make two.
    int count = 0;
    for (std::size_t k = 0; k < s; ++k) {
      activation[k][f] /= frameWindowCount[f];
      count += platform::sys::checkedIntegerCast<int>(std::round(activation[k][f])).value_or(0);
    }
    speakersAtFrame[f] = count;
  }

  DiarizationResult::BinaryMatrix binary(s, std::vector<int>(t, 0));
  std::vector<std::pair<std::size_t, float>> candidates;
  candidates.reserve(s);
  for (std::size_t f = 0; f < t; ++f) {
    const int wanted = useExclusiveReconciliation ? std::min(speakersAtFrame[f], 1) : speakersAtFrame[f];
    if (wanted <= 0) continue;
    candidates.clear();
    for (std::size_t k = 0; k < s; ++k) candidates.emplace_back(k, activation[k][f]);
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    const std::size_t marked = std::min(static_cast<std::size_t>(wanted), s);
    for (std::size_t c = 0; c < marked; ++c) {
      // Two local speakers of one window in one cluster add up to a share above 1 and an
      // extra count; that count must not mark a speaker who was not active.
      if (!(candidates[c].second > 0)) break;
      binary[candidates[c].first][f] = 1;
    }
  }

  const auto totalColumns = binary.empty() ? std::int64_t{0} : static_cast<std::int64_t>(binary.front().size());
  DiarizationResult result(std::move(binary), speakers, totalColumns, frameRate, {}, nullptr,
                           std::move(speakerCentroids));
  result.updateSegments(0);
  logPostProcessingTime(t0);
  return result;
}

}  // namespace dellomar
