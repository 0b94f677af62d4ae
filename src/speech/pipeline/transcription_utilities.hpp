// TranscriptionUtilities: helpers over the speech library's result types for callers that
// transcribe a recording piece by piece: shifting a segment found in a later piece to the time
// of the whole recording, display lines of segments, the common beginning of two word lists
// (to confirm words that two successive transcriptions agree on), and merging several results
// into one.
//
// All functions are pure: they keep no state, read no files, never log, never modify their
// arguments, and may run on any thread. Samples are counted at 16,000 per second.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/model/transcription_result.hpp"

namespace vostrane {

struct TranscriptionUtilities {
  TranscriptionUtilities() = delete;

  // The segment moved later by `seekTime` seconds: seek += the whole samples of
  // seekTime x 16000 (the product in single precision, then truncated toward zero; a seek past
  // the integer range stays at its end), start, end and every word's start and end += seekTime.
  static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
  // The segment moved later by `seekOffsetIndex` samples: seek += the offset, every time +=
  // offset / 16000 (single precision).
  static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, int seekOffsetIndex);

  // One line per segment: its text, or with timestamps "[start --> end] text" (times "%.2f").
  static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                 bool withTimestamps);

  // The words of `second` at the leading positions where both lists' words have the same
  // comparison form (lower case, "-" as a blank, punctuation removed, blanks collapsed,
  // trimmed), up to the shorter list's length.
  static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                         const std::vector<WordTiming>& second);
  // `second` without the words of findLongestCommonPrefix(first, second).
  static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                            const std::vector<WordTiming>& second);

  // One result made of `results` (null entries are absent ones): the text is the confirmed
  // words' texts joined with nothing between them when `confirmedWords` is given, else every
  // entry's text joined with one blank (an absent entry gives an empty text); the segments of
  // the present results in order, each segment's id = the position of its result among the
  // present results + its position in that result; the first present result's language ("en"
  // when none); no seek time; the timings merged field by field (minimum of pipelineStart and
  // firstTokenTime, maximum of the load times, 0 for the specialization times, sums of the
  // rest, and fullPipeline the smaller of the summed spans and latest end - earliest start;
  // every field 0 when no result is present). Never returns null.
  static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
      const std::vector<std::shared_ptr<TranscriptionResult>>& results,
      const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

}  // namespace vostrane
