// The records that cross the connection between the app and the worker: the request of one
// transcription (XPCProcessRequest) and its result (TranscriptResult with its segments, words,
// speaker embedding set and per-speaker speech durations), with their JSON, which is the wire
// format of the service.
//
// Each record declares its fields once for the project's record codec: keys as the field names,
// in declaration order; absent optionals left out (missing or null reads as absent); every
// other key required with its JSON type; unknown keys ignored. UUIDs are upper-case canonical
// text (any case reads); dates are seconds since 2001-01-01 00:00:00 UTC; integer-keyed maps
// are objects keyed by the decimal text. A non-finite number cannot be written, with one
// exception: a non-finite confidence, noSpeechProbability or word probability (a model's score
// gone wrong) is written as 0 with an error line in the log, so one bad score does not lose the
// whole transcript.
//
// Equality is field by field; floats compare numerically (a NaN is never equal). All records
// are plain values; every function is thread-safe on distinct values.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/json/record.hpp"
#include "platform/sync/uuid.hpp"

namespace velmoria {

// A moment as seconds since 2001-01-01 00:00:00 UTC (the reference date of the app's
// platform), the form transcripts carry on the wire.
struct Date {
  double secondsSinceReferenceDate = 0;

  // Seconds between 1970-01-01 and 2001-01-01.
  static constexpr double kUnixTimeOfReferenceDate = 978307200.0;
  // The current wall-clock time.
  static Date now();
  static Date fromUnixSeconds(double seconds) { return Date{seconds - kUnixTimeOfReferenceDate}; }
  double unixSeconds() const { return secondsSinceReferenceDate + kUnixTimeOfReferenceDate; }

  friend bool operator==(const Date&, const Date&) = default;
};

// What the vectors of an embedding set are; written as "raw".
enum class EmbeddingKind { raw };

}  // namespace velmoria

template <>
struct platform::json::EnumStrings<velmoria::EmbeddingKind> {
  static constexpr std::string_view typeName = "EmbeddingKind";
  static constexpr std::array<std::pair<velmoria::EmbeddingKind, std::string_view>, 1> cases{
      {{velmoria::EmbeddingKind::raw, "raw"}}};
};

namespace velmoria {

// ---- Coders of the irregular field forms

// A UUID as its text; reading any text Uuid::parse accepts.
struct UuidCoder {
  platform::json::Json encode(const platform::sync::Uuid& id) const;
  platform::sync::Uuid decode(const platform::json::Json& json, std::string_view key) const;
};

// A date as a JSON number of seconds since the reference date.
struct DateCoder {
  platform::json::Json encode(const Date& date) const;
  Date decode(const platform::json::Json& json, std::string_view key) const;
};

// A score written as 0 (with an error log line naming `key`) when it is not finite.
struct ScoreCoder {
  const char* key;
  platform::json::Json encode(float value) const;
  float decode(const platform::json::Json& json, std::string_view key) const;
};

// ---- Records

struct XPCProcessRequest {
  std::string micPath{};
  std::string systemPath{};
  std::vector<std::string> customVocabulary{};

  static constexpr auto fields() {
    using platform::json::field;
    using R = XPCProcessRequest;
    return std::tuple{field("micPath", &R::micPath), field("systemPath", &R::systemPath),
                      field("customVocabulary", &R::customVocabulary)};
  }
  friend bool operator==(const XPCProcessRequest& a, const XPCProcessRequest& b) {
    return platform::json::recordEquals(a, b);
  }
};

struct TranscriptWord {
  std::string word{};
  double startTime = 0;
  double endTime = 0;
  float probability = 0;
  std::optional<std::int64_t> speakerID{};

  static constexpr auto fields() {
    using platform::json::field;
    using R = TranscriptWord;
    return std::tuple{field("word", &R::word), field("startTime", &R::startTime), field("endTime", &R::endTime),
                      field("probability", &R::probability, ScoreCoder{"probability"}),
                      field("speakerID", &R::speakerID)};
  }
  friend bool operator==(const TranscriptWord& a, const TranscriptWord& b) {
    return platform::json::recordEquals(a, b);
  }
};

struct TranscriptSegment {
  platform::sync::Uuid id{};
  std::optional<std::int64_t> speakerID{};
  std::string speakerLabel{};
  double startTime = 0;
  double endTime = 0;
  std::string text{};
  float confidence = 0;
  float noSpeechProbability = 0;
  std::optional<std::vector<TranscriptWord>> words{};

  static constexpr auto fields() {
    using platform::json::field;
    using R = TranscriptSegment;
    return std::tuple{field("id", &R::id, UuidCoder{}),
                      field("speakerID", &R::speakerID),
                      field("speakerLabel", &R::speakerLabel),
                      field("startTime", &R::startTime),
                      field("endTime", &R::endTime),
                      field("text", &R::text),
                      field("confidence", &R::confidence, ScoreCoder{"confidence"}),
                      field("noSpeechProbability", &R::noSpeechProbability, ScoreCoder{"noSpeechProbability"}),
                      field("words", &R::words)};
  }
  friend bool operator==(const TranscriptSegment& a, const TranscriptSegment& b) {
    return platform::json::recordEquals(a, b);
  }
};

struct SpeakerEmbeddingSet {
  EmbeddingKind kind = EmbeddingKind::raw;
  std::string space{};
  std::map<std::int64_t, std::vector<float>> vectors{};

  static constexpr auto fields() {
    using platform::json::field;
    using R = SpeakerEmbeddingSet;
    return std::tuple{field("kind", &R::kind), field("space", &R::space), field("vectors", &R::vectors)};
  }
  friend bool operator==(const SpeakerEmbeddingSet& a, const SpeakerEmbeddingSet& b) {
    return platform::json::recordEquals(a, b);
  }
};

struct TranscriptResult {
  platform::sync::Uuid id{};
  Date createdAt{};
  std::string transcriptionMethodId{};
  std::string language{};
  std::int64_t speakerCount = 0;
  std::vector<TranscriptSegment> segments{};
  std::vector<SpeakerEmbeddingSet> embeddingSets{};
  std::map<std::int64_t, double> speakerSpeechDurations{};
  double processingDuration = 0;

  static constexpr auto fields() {
    using platform::json::field;
    using R = TranscriptResult;
    return std::tuple{field("id", &R::id, UuidCoder{}),
                      field("createdAt", &R::createdAt, DateCoder{}),
                      field("transcriptionMethodId", &R::transcriptionMethodId),
                      field("language", &R::language),
                      field("speakerCount", &R::speakerCount),
                      field("segments", &R::segments),
                      field("embeddingSets", &R::embeddingSets),
                      field("speakerSpeechDurations", &R::speakerSpeechDurations),
                      field("processingDuration", &R::processingDuration)};
  }
  friend bool operator==(const TranscriptResult& a, const TranscriptResult& b) {
    return platform::json::recordEquals(a, b);
  }
};

// ---- The wire forms. Encoding throws CodingError::invalidValue (NSCocoaErrorDomain 4866) with
// the codec's message, or naming the member whose text is not UTF-8; decoding throws
// CodingError::dataCorrupted (4864) on text that is not JSON or a value that is not the record.

platform::json::Json encodeJson(const XPCProcessRequest& request);
platform::json::Json encodeJson(const TranscriptResult& result);
// Compact JSON text.
std::string encodeText(const XPCProcessRequest& request);
std::string encodeText(const TranscriptResult& result);

XPCProcessRequest decodeProcessRequest(const platform::json::Json& value);
XPCProcessRequest decodeProcessRequestText(std::string_view text);
TranscriptResult decodeTranscriptResult(const platform::json::Json& value);
TranscriptResult decodeTranscriptResultText(std::string_view text);

}  // namespace velmoria

