// Condensing a diarization result for the app: the speakers' speech spans, the total speech
// time per speaker, the name of the space the centroid embeddings live in and the filter that
// keeps only usable centroids; and the builders that turn attributed speaker segments into
// transcript segments. Used by the engine and the speaker analyzer. Plain functions without
// state; thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "diarization/diarization_result.hpp"
#include "platform/json/record.hpp"
#include "transcription/transcript_records.hpp"

namespace velmoria {

// One speaker's speech from `start` to `end`, seconds from the start of the audio.
struct DiarizedSpan {
  std::int64_t speakerID = 0;
  double start = 0;
  double end = 0;

  // {"speakerID", "start", "end"}, all required when reading.
  static constexpr auto fields() {
    using platform::json::field;
    return std::tuple{field("speakerID", &DiarizedSpan::speakerID), field("start", &DiarizedSpan::start),
                      field("end", &DiarizedSpan::end)};
  }
  friend bool operator==(const DiarizedSpan& a, const DiarizedSpan& b) { return platform::json::recordEquals(a, b); }
};

// One span per segment of the result that has a single speaker, in segment order.
std::vector<DiarizedSpan> makeDiarizedSpans(const dellomar::DiarizationResult& result);

// Per speaker id, the sum of max(end - start, 0) over its spans (a NaN length adds 0); every
// speaker with a span has an entry.
std::map<std::int64_t, double> computeSpeakerSpeechDurations(const std::vector<DiarizedSpan>& spans);

struct SpeakerEmbeddingSpace {
  // The speaker-embedding model's default version, "/", and its default variant ("unknown"
  // for an absent part): "pyannote-v3/W8A16" with the library's defaults here.
  static std::string current();
};

// The entries whose vector is non-empty and entirely finite, copied unchanged.
std::map<int, std::vector<float>> finiteCentroidEmbeddings(const std::map<int, std::vector<float>>& centroids);

// One transcript segment (with a fresh id) per speaker segment, the lists flattened in order.
std::vector<TranscriptSegment> makeTranscriptSegments(
    const std::vector<std::vector<dellomar::SpeakerSegment>>& speakerSegments);
// The speaker's single id (absent otherwise) and description, the times widened, the words'
// text, the attached speech segment's average log-probability and no-speech probability (0
// without one), and the words with their own single speaker ids (absent without words).
TranscriptSegment makeTranscriptSegment(const dellomar::SpeakerSegment& segment);

}  // namespace velmoria
