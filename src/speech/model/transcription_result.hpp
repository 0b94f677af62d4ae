// The speech library's output records: the final result of a transcription
// (TranscriptionResult, shared between threads, and its plain copy TranscriptionResultStruct),
// its segments (TranscriptionSegment) with timed words (WordTiming), the progress report
// handed to a caller's callback (TranscriptionProgress) and the coarse state of a
// transcription (TranscriptionState). The pipeline fills them; the diarization library and
// the engine read them. Result, segment and word records have JSON forms.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/json/record.hpp"
#include "platform/sync/mutex.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {

struct WordTiming {
  std::string word{};
  std::vector<int> tokens{};
  float start = 0;  // seconds
  float end = 0;    // seconds
  float probability = 0;

  float duration() const { return end - start; }

  // {"word", "tokens", "start", "end", "probability"}; all keys required when reading.
  static constexpr auto fields() {
    using platform::json::field;
    return std::tuple{field("word", &WordTiming::word), field("tokens", &WordTiming::tokens),
                      field("start", &WordTiming::start), field("end", &WordTiming::end),
                      field("probability", &WordTiming::probability)};
  }
  // Both throw platform::json::JsonError (non-finite number, missing key, wrong type).
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static WordTiming fromJson(const platform::json::Json& value) {
    return platform::json::decode<WordTiming>(value, "WordTiming");
  }

  // Over all five fields; floats by value, so a NaN field makes two timings unequal.
  friend bool operator==(const WordTiming& a, const WordTiming& b) { return platform::json::recordEquals(a, b); }
};

struct TranscriptionSegment {
  int id = 0;
  int seek = 0;
  float start = 0;  // seconds
  float end = 0;    // seconds
  std::string text{};
  std::vector<int> tokens{};
  std::vector<std::map<int, float>> tokenLogProbs{};  // per token: its id -> log-probability
  float temperature = 0;
  float avgLogprob = 0;
  float compressionRatio = 0;
  float noSpeechProb = 0;
  std::optional<std::vector<WordTiming>> words{};

  // end - start, without clamping.
  float duration() const { return end - start; }

  // The twelve keys in declaration order; "words" only when present. "tokenLogProbs" is an
  // array of objects keyed by token ids in decimal. On reading, "words" may be missing or
  // null and the other eleven keys are required.
  static constexpr auto fields() {
    using platform::json::field;
    using S = TranscriptionSegment;
    return std::tuple{field("id", &S::id),
                      field("seek", &S::seek),
                      field("start", &S::start),
                      field("end", &S::end),
                      field("text", &S::text),
                      field("tokens", &S::tokens),
                      field("tokenLogProbs", &S::tokenLogProbs),
                      field("temperature", &S::temperature),
                      field("avgLogprob", &S::avgLogprob),
                      field("compressionRatio", &S::compressionRatio),
                      field("noSpeechProb", &S::noSpeechProb),
                      field("words", &S::words)};
  }
  // Both throw platform::json::JsonError.
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static TranscriptionSegment fromJson(const platform::json::Json& value) {
    return platform::json::decode<TranscriptionSegment>(value, "TranscriptionSegment");
  }

  friend bool operator==(const TranscriptionSegment& a, const TranscriptionSegment& b) {
    return platform::json::recordEquals(a, b);
  }
};

// Hash values consistent with ==.
std::size_t hashValue(const WordTiming& word);
std::size_t hashValue(const TranscriptionSegment& segment);

// True when some segment of `segments` has a start exactly equal to `segment.start`.
bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

// The plain, unlocked form of a result.
struct TranscriptionResultStruct {
  std::string text{};
  std::vector<TranscriptionSegment> segments{};
  std::string language{};
  TranscriptionTimings timings{};
  std::optional<float> seekTime{};

  // "text", "segments", "language", "timings", "seekTime" (left out when absent). On reading,
  // "seekTime" may be missing or null; the other four are required. Throw JsonError.
  static constexpr auto fields() {
    using platform::json::field;
    using R = TranscriptionResultStruct;
    return std::tuple{field("text", &R::text), field("segments", &R::segments), field("language", &R::language),
                      field("timings", &R::timings), field("seekTime", &R::seekTime)};
  }
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static TranscriptionResultStruct fromJson(const platform::json::Json& value) {
    return platform::json::decode<TranscriptionResultStruct>(value, "TranscriptionResultStruct");
  }

  friend bool operator==(const TranscriptionResultStruct& a, const TranscriptionResultStruct& b) {
    return platform::json::recordEquals(a, b);
  }
};

// The final result of a transcription, shared between threads (hold it in a shared_ptr).
// Each of the five fields has its own lock: every getter copies out and every setter copies
// in under that field's lock; there is no lock over the whole object, so two reads may see
// different moments. The modify* operations are atomic compound updates of one field (the
// body runs under the lock and must not call back into this object; its change is kept only
// when it returns normally). All operations are thread-safe.
class TranscriptionResult {
 public:
  TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments, std::string language,
                      TranscriptionTimings timings, std::optional<float> seekTime = std::nullopt);
  TranscriptionResult(const TranscriptionResult&) = delete;
  TranscriptionResult& operator=(const TranscriptionResult&) = delete;
  virtual ~TranscriptionResult() = default;

  std::string text() const { return text_.get(); }
  void setText(std::string value) { text_.set(std::move(value)); }
  void modifyText(const std::function<void(std::string&)>& body) { text_.modify(body); }

  std::vector<TranscriptionSegment> segments() const { return segments_.get(); }
  void setSegments(std::vector<TranscriptionSegment> value) { segments_.set(std::move(value)); }
  void modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& body) { segments_.modify(body); }
  // Appends under the lock without copying the list (amortised constant time per segment,
  // where modifySegments copies the whole list). When the append fails (out of memory) the
  // list is left as it was.
  void appendSegment(TranscriptionSegment segment);
  void appendSegments(std::vector<TranscriptionSegment> segments);

  std::string language() const { return language_.get(); }
  void setLanguage(std::string value) { language_.set(std::move(value)); }
  void modifyLanguage(const std::function<void(std::string&)>& body) { language_.modify(body); }

  TranscriptionTimings timings() const { return timings_.get(); }
  void setTimings(TranscriptionTimings value) { timings_.set(value); }
  void modifyTimings(const std::function<void(TranscriptionTimings&)>& body) { timings_.modify(body); }

  std::optional<float> seekTime() const { return seekTime_.get(); }
  void setSeekTime(std::optional<float> value) { seekTime_.set(value); }
  void modifySeekTime(const std::function<void(std::optional<float>&)>& body) { seekTime_.modify(body); }

  // The words of every segment that has them, in segment and word order (segments read once).
  std::vector<WordTiming> allWords() const;

  // Logs one debug line per segment: "[Segment i] [start --> end] text" with i the position
  // in the list and the times with two decimals.
  void logSegments() const;

  // The timing report (see timingReport) logged at info level as one message.
  void logTimings() const;
  // The fixed-layout timing report of this result's timings and segments (no final newline).
  std::string timingReport() const;

  // A plain copy of the five fields (each read under its own lock).
  TranscriptionResultStruct snapshot() const;

  // The five keys, each value written from under its lock; "seekTime" always written (null
  // when absent). Reading requires all five keys ("seekTime" may be null). Throw JsonError.
  platform::json::Json toJson() const;
  static std::shared_ptr<TranscriptionResult> fromJson(const platform::json::Json& value);

 private:
  platform::sync::Locked<std::string> text_{};
  platform::sync::Locked<std::vector<TranscriptionSegment>> segments_{};
  platform::sync::Locked<std::string> language_{};
  platform::sync::Locked<TranscriptionTimings> timings_{};
  platform::sync::Locked<std::optional<float>> seekTime_{};
};

// The timing report text for `timings` with `tokenTotal` tokens (the sum of the segments'
// token counts). Exposed for the result and its tests.
std::string formatTimingReport(const TranscriptionTimings& timings, std::size_t tokenTotal);

// A report handed to a caller's progress callback while a window is decoded.
struct TranscriptionProgress {
  TranscriptionTimings timings{};
  std::string text{};
  std::vector<int> tokens{};
  std::optional<float> temperature{};
  std::optional<float> avgLogprob{};
  std::optional<float> compressionRatio{};
  int windowId = 0;

  // The seven keys by field name in declaration order, absent optionals left out; the
  // optional keys may be missing or null when reading, the others are required.
  static constexpr auto fields() {
    using platform::json::field;
    using P = TranscriptionProgress;
    return std::tuple{field("timings", &P::timings),       field("text", &P::text),
                      field("tokens", &P::tokens),         field("temperature", &P::temperature),
                      field("avgLogprob", &P::avgLogprob), field("compressionRatio", &P::compressionRatio),
                      field("windowId", &P::windowId)};
  }
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  static TranscriptionProgress fromJson(const platform::json::Json& value) {
    return platform::json::decode<TranscriptionProgress>(value, "TranscriptionProgress");
  }

  friend bool operator==(const TranscriptionProgress& a, const TranscriptionProgress& b) {
    return platform::json::recordEquals(a, b);
  }
};

enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing", "Finished".
std::string_view description(TranscriptionState state);

}  // namespace vostrane

template <>
struct std::hash<vostrane::WordTiming> {
  std::size_t operator()(const vostrane::WordTiming& w) const { return vostrane::hashValue(w); }
};
template <>
struct std::hash<vostrane::TranscriptionSegment> {
  std::size_t operator()(const vostrane::TranscriptionSegment& s) const { return vostrane::hashValue(s); }
};
