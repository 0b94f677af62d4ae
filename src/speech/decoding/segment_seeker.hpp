// The segment seeker: after a window has been decoded, it decides where the next window starts
// (a sample index into the whole audio) and which timed segments the window produced, cutting
// the tokens at the timestamp tokens the model emitted (0.02 s per timestamp step). On request
// it also gives the segments word timings, aligning tokens to audio frames by dynamic time
// warping over the decoder's cross-attention weights.
//
// The transcribe task calls findSeekPointAndSegments once per decoded window and, for word
// timestamps, addWordTimestamps once per window. SegmentSeeker holds no state: one instance
// serves every window, from any number of threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/ml/multi_array.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/decoding_records.hpp"
#include "speech/model/transcription_result.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {

// Token and frame indices of an alignment, in path order from the first token and frame to the
// last; both lists have the same length.
struct AlignmentPath {
  std::vector<int> tokenIndices;
  std::vector<int> frameIndices;
  friend bool operator==(const AlignmentPath&, const AlignmentPath&) = default;
};

// The step taken into each cell of the time warping: 0 diagonal, 1 from the row above (one
// token back), 2 from the column before (one frame back); (rows + 1) x (columns + 1) cells,
// row-major.
struct TraceMatrix {
  int rows = 0;     // tokens
  int columns = 0;  // frames
  std::vector<std::int8_t> steps;
  std::int8_t at(int i, int j) const {
    return steps[static_cast<std::size_t>(i) * static_cast<std::size_t>(columns + 1) + static_cast<std::size_t>(j)];
  }
};

// Median and longest plausible word duration in seconds.
struct WordDurationConstraints {
  float median = 0;
  float max = 0;
};

class SegmentSeeking {
 public:
  virtual ~SegmentSeeking() = default;

  // The next seek position and the window's segments in time order; the segments are absent
  // when the window was skipped as silence. `specialToken` is not used. sampleRate must be
  // positive and decodingResult.tokenLogProbs should hold one entry per token (a missing one
  // is an empty map).
  virtual std::pair<int, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount, int currentSeek,
      int segmentSize, int sampleRate, int timeToken, int specialToken, const WhisperTokenizer& tokenizer) const = 0;

  // The segments with word timings (see SegmentSeeker). `segmentSize`, `options` and `timings`
  // are not used.
  virtual std::vector<TranscriptionSegment> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const platform::ml::MultiArray& alignmentWeights,
      const WhisperTokenizer& tokenizer, int seek, int segmentSize, std::string_view prependPunctuations,
      std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
      const TranscriptionTimings& timings) const = 0;
};

class SegmentSeeker : public SegmentSeeking {
 public:
  SegmentSeeker() = default;

  // Silence skip (noSpeechProb above noSpeechThreshold unless avgLogProb is above
  // logProbThreshold) gives (currentSeek + segmentSize, absent). Without two adjacent
  // timestamp tokens the whole window is one segment and the seek moves by the window.
  // Otherwise segments end at each second timestamp of an adjacent pair, plus after the last
  // timestamp for a text-timestamp-text ending, or at the end for a no-timestamp ending; the
  // seek moves to the last segment's closing timestamp (by the whole window for a
  // no-timestamp ending). Times are single precision; the seek offset goes through the checked
  // cast (out of range: the seek moves by the whole window). A seek equal to currentSeek is
  // returned as it is.
  std::pair<int, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount, int currentSeek,
      int segmentSize, int sampleRate, int timeToken, int specialToken,
      const WhisperTokenizer& tokenizer) const override;

  // Word timings for one window's segments. `alignmentWeights` has one row per token of the
  // segments, in order (row 0 belongs to the first segment's first token), and one column per
  // 0.02 s audio frame; rows it lacks read as 0. The tokens are aligned to frames, grouped into
  // words by the tokenizer, given start, end and probability, long words are cut at sentence
  // ends, punctuation marks are merged into their neighbours, and each word goes to the segment
  // holding its first text token (word and segment boundaries adjusted there). With no tokens,
  // no columns or fewer than two words, every segment comes back with an empty word list and
  // its times unchanged. Throws WhisperError::segmentingFailed ("Invalid shape in
  // alignmentWeights") for a shapeless array; the caller's segments are never changed.
  std::vector<TranscriptionSegment> addWordTimestamps(
      const std::vector<TranscriptionSegment>& segments, const platform::ml::MultiArray& alignmentWeights,
      const WhisperTokenizer& tokenizer, int seek, int segmentSize, std::string_view prependPunctuations,
      std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
      const TranscriptionTimings& timings) const override;

  // Median (upper middle, at most 0.7 s) of the positive word durations, 0 when none, and
  // twice it as the maximum.
  virtual WordDurationConstraints calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const;

  // From the second word on, a word longer than maxDuration is cut to it: a sentence-end mark
  // (". 。 ! ！ ? ？") keeps its start, a word after one keeps its end.
  virtual std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& words,
                                                                        float maxDuration) const;

  // Places each word (its tokens below specialTokenBegin; words without any are dropped) into
  // the segment whose text tokens hold its first text token, with times offset by seek / 16000
  // and rounded to 2 decimals, then adjusts short words after gaps, long words after pauses and
  // the segment's start and end. One segment per input segment, in order; a segment without
  // words gets an empty list and keeps its times.
  virtual std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
      const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, int seek,
      float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration,
      const WhisperTokenizer& tokenizer) const;

  // Dynamic time warping over the negated weights of a [tokens, frames] matrix (read as
  // doubles; ties step back one frame). Throws WhisperError::segmentingFailed ("Invalid
  // alignment matrix shape") unless the matrix has two dimensions of at least 1.
  AlignmentPath computeAlignmentPath(const platform::ml::MultiArray& matrix) const;
  // The path from the last cell back to the first, following the steps, reversed.
  AlignmentPath tracePath(const TraceMatrix& trace) const;

  // The words of `tokens` with the times of the alignment path over `alignment` and the
  // probability exp(mean log-probability of their tokens); empty with fewer than two words.
  // A missing log-probability counts as 0; words past the path's tokens are left out.
  std::vector<WordTiming> wordTimingsFromAlignment(const std::vector<int>& tokens,
                                                   const platform::ml::MultiArray& alignment,
                                                   const std::vector<float>& logProbs,
                                                   const WhisperTokenizer& tokenizer) const;

  // Joins opening marks (`prepend`) to the word after them and closing marks (`append`) to
  // the word before them, then drops words that are empty or punctuation marks alone. A mark
  // belongs to a set when its text (trimmed of whitespace for the joins) occurs in the set's
  // text; an empty text belongs to no set. A first word that is an opening mark joins the
  // next word whether or not it starts with whitespace.
  std::vector<WordTiming> mergePunctuationMarks(const std::vector<WordTiming>& words, std::string_view prepend,
                                                std::string_view append) const;
};

}  // namespace vostrane
