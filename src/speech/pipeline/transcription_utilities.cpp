#include "speech/pipeline/transcription_utilities.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "platform/sys/checked_cast.hpp"
#include "speech/model/constants.hpp"

namespace vostrane {
namespace {

constexpr float kSampleRate = 16000.0F;

TranscriptionSegment shifted(const TranscriptionSegment& segment, int seekOffset, float seconds) {
  TranscriptionSegment out = segment;
  // Sample indices are ints; past about 37 hours of audio they stay at the end of the range
  // instead of wrapping round.
  constexpr std::int64_t kLowest = std::numeric_limits<int>::min();
  constexpr std::int64_t kHighest = std::numeric_limits<int>::max();
  out.seek = static_cast<int>(std::clamp(std::int64_t{out.seek} + seekOffset, kLowest, kHighest));
  out.start += seconds;
  out.end += seconds;
  if (out.words) {
    for (WordTiming& word : *out.words) {
      word.start += seconds;
      word.end += seconds;
    }
  }
  return out;
}

std::string twoDecimals(float value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", static_cast<double>(value));
  return buffer;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment,
                                                                  float seekTime) {
  // The product is rounded to float before truncation: 0.7 s gives 11200 samples, where the
  // exact product of the float 0.7 (just below 0.7) would truncate to 11199.
  const float product = seekTime * kSampleRate;
  const int samples = platform::sys::saturatingIntegerCast<int>(product);
  return shifted(segment, samples, seekTime);
}

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment,
                                                                  int seekOffsetIndex) {
  return shifted(segment, seekOffsetIndex, static_cast<float>(seekOffsetIndex) / kSampleRate);
}

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                                bool withTimestamps) {
  std::vector<std::string> lines;
  lines.reserve(segments.size());
  for (const TranscriptionSegment& segment : segments) {
    if (withTimestamps) {
      lines.push_back("[" + twoDecimals(segment.start) + " --> " + twoDecimals(segment.end) + "] " + segment.text);
    } else {
      lines.push_back(segment.text);
    }
  }
  return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                                        const std::vector<WordTiming>& second) {
  std::vector<WordTiming> prefix;
  const std::size_t length = std::min(first.size(), second.size());
  for (std::size_t i = 0; i < length; ++i) {
    if (normalized(first[i].word) != normalized(second[i].word)) break;
    prefix.push_back(second[i]);
  }
  return prefix;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                                           const std::vector<WordTiming>& second) {
  const std::size_t common = findLongestCommonPrefix(first, second).size();
  return std::vector<WordTiming>(second.begin() + static_cast<std::ptrdiff_t>(common), second.end());
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
  std::vector<const TranscriptionResult*> present;
  for (const auto& result : results) {
    if (result) present.push_back(result.get());
  }

  std::string text;
  if (confirmedWords) {
    for (const WordTiming& word : *confirmedWords) text += word.word;
  } else {
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (i > 0) text += ' ';
      if (results[i]) text += results[i]->text();
    }
  }

  std::vector<TranscriptionSegment> segments;
  for (std::size_t r = 0; r < present.size(); ++r) {
    std::vector<TranscriptionSegment> own = present[r]->segments();
    for (std::size_t s = 0; s < own.size(); ++s) {
      own[s].id = static_cast<int>(r + s);
      segments.push_back(std::move(own[s]));
    }
  }

  const std::string language =
      present.empty() ? std::string(Constants::defaultLanguageCode) : present.front()->language();

  // Every field starts at 0: an empty merge reports zeros, not the record's defaults.
  TranscriptionTimings merged{.pipelineStart = 0, .firstTokenTime = 0, .inputAudioSeconds = 0};
  if (!present.empty()) {
    std::vector<TranscriptionTimings> all;
    all.reserve(present.size());
    for (const TranscriptionResult* result : present) all.push_back(result->timings());

    merged.pipelineStart = std::numeric_limits<double>::infinity();
    merged.firstTokenTime = std::numeric_limits<double>::infinity();
    double summedFullPipeline = 0;
    double latestEnd = -std::numeric_limits<double>::infinity();
    for (const TranscriptionTimings& t : all) {
      merged.pipelineStart = std::min(merged.pipelineStart, t.pipelineStart);
      merged.firstTokenTime = std::min(merged.firstTokenTime, t.firstTokenTime);
      merged.modelLoading = std::max(merged.modelLoading, t.modelLoading);
      merged.prewarmLoadTime = std::max(merged.prewarmLoadTime, t.prewarmLoadTime);
      merged.encoderLoadTime = std::max(merged.encoderLoadTime, t.encoderLoadTime);
      merged.decoderLoadTime = std::max(merged.decoderLoadTime, t.decoderLoadTime);
      merged.tokenizerLoadTime = std::max(merged.tokenizerLoadTime, t.tokenizerLoadTime);
      merged.inputAudioSeconds += t.inputAudioSeconds;
      merged.audioLoading += t.audioLoading;
      merged.audioProcessing += t.audioProcessing;
      merged.logmels += t.logmels;
      merged.encoding += t.encoding;
      merged.decodingInit += t.decodingInit;
      merged.decodingLoop += t.decodingLoop;
      merged.decodingPredictions += t.decodingPredictions;
      merged.decodingFiltering += t.decodingFiltering;
      merged.decodingSampling += t.decodingSampling;
      merged.decodingFallback += t.decodingFallback;
      merged.decodingWindowing += t.decodingWindowing;
      merged.decodingKvCaching += t.decodingKvCaching;
      merged.decodingWordTimestamps += t.decodingWordTimestamps;
      merged.decodingNonPrediction += t.decodingNonPrediction;
      merged.totalAudioProcessingRuns += t.totalAudioProcessingRuns;
      merged.totalLogmelRuns += t.totalLogmelRuns;
      merged.totalEncodingRuns += t.totalEncodingRuns;
      merged.totalDecodingLoops += t.totalDecodingLoops;
      merged.totalKVUpdateRuns += t.totalKVUpdateRuns;
      merged.totalTimestampAlignmentRuns += t.totalTimestampAlignmentRuns;
      merged.totalDecodingFallbacks += t.totalDecodingFallbacks;
      merged.totalDecodingWindows += t.totalDecodingWindows;
      summedFullPipeline += t.fullPipeline;
      latestEnd = std::max(latestEnd, t.pipelineStart + t.fullPipeline);
    }
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    merged.fullPipeline = std::min(summedFullPipeline, latestEnd - merged.pipelineStart);
  }

  return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), language, merged, std::nullopt);
}

}  // namespace vostrane
