// Two stateless steps the engine applies to every request: TranscriptSanitizer cleans a
// finished transcript against the audio length, and VocabularyFormatter turns the request's
// custom vocabulary into the prompt sentence whose tokens the speech model gets. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "transcription/transcript_records.hpp"

namespace velmoria {

struct TranscriptSanitizer {
  // The transcript with only the segments that start before `audioDuration` (seconds; a NaN
  // start is dropped), their ends clipped to it (words keep their own times), and trailing
  // segments of exactly one word with probability below 0.3 removed. Every other field is
  // unchanged.
  static TranscriptResult sanitize(const TranscriptResult& transcript, double audioDuration);
  // The mean probability of the segment's words; absent without words.
  static std::optional<float> deriveConfidence(const TranscriptSegment& segment);
};

struct VocabularyFormatter {
  // Characters (user-perceived) the taken terms may cost, each counting its length + 2; a term
  // that would bring the total to this bound or past it ends the list.
  static constexpr std::size_t kPromptBudget = 741;

  // "Transcript mentioning: " + the terms (trimmed of white space and line breaks, empty ones
  // dropped, cut at the budget) joined with ", " + "."; absent when no term is taken.
  static std::optional<std::string> formatPrompt(const std::vector<std::string>& terms);
};

}  // namespace velmoria
