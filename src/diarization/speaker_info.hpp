// The speaker attached to a speech segment or word after attribution: SpeakerInfo (one speaker,
// several, or none), the strategy that chooses how speech segments are cut before attribution
// (SpeakerInfoStrategy), a word with its speaker (SpeakerWordTiming) and the simpler word with
// an optional speaker id that RTTM lines are made from (WordWithSpeaker).
//
// Plain values; every member is thread-safe on distinct values. The JSON forms follow the
// keyed-case layout of the project's records: {"speakerId": {"_0": 2}}, {"multiple": {"_0":
// [0, 1]}}, {"noMatch": {}}.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/json/json.hpp"
#include "speech/model/transcription_result.hpp"

namespace dellomar {

class SpeakerInfo {
 public:
  enum class Case { noMatch, multiple, speakerId };

  // noMatch.
  SpeakerInfo() = default;
  static SpeakerInfo noMatch() { return SpeakerInfo(); }
  static SpeakerInfo multiple(std::vector<int> speakerIds);
  static SpeakerInfo speakerId(int id);

  Case kind() const { return kind_; }
  // The id of the speakerId case; absent for the others.
  std::optional<int> speakerId() const;
  // Empty for noMatch, the list for multiple, one id for speakerId.
  std::vector<int> speakerIds() const;
  // "No Speaker Matched", "Multiple Speakers: [0, 1]", "Speaker 2".
  std::string description() const;

  platform::json::Json toJson() const;
  // Throws platform::json::JsonError: "Invalid number of keys found, expected one." for an
  // object without exactly one member; an unknown case, a missing "_0" or a payload of the
  // wrong type also fail.
  static SpeakerInfo fromJson(const platform::json::Json& value);

  friend bool operator==(const SpeakerInfo&, const SpeakerInfo&) = default;

 private:
  Case kind_ = Case::noMatch;
  std::vector<int> ids_;
};

std::size_t hashValue(const SpeakerInfo& info);

class SpeakerInfoStrategy {
 public:
  enum class Case { subsegment, segment };
  static constexpr float kDefaultBetweenWordThreshold = 0.15f;

  // Cut each speech segment where the pause between two words exceeds `betweenWordThreshold`
  // seconds.
  static SpeakerInfoStrategy subsegment(float betweenWordThreshold = kDefaultBetweenWordThreshold) {
    return SpeakerInfoStrategy(Case::subsegment, betweenWordThreshold);
  }
  // Attribute each speech segment as a whole.
  static SpeakerInfoStrategy segment() { return SpeakerInfoStrategy(Case::segment, 0); }
  // "segment" or "subsegment" (threshold 0.15), in any letter case; absent for other text.
  static std::optional<SpeakerInfoStrategy> fromString(std::string_view text);

  Case kind() const { return kind_; }
  // Meaningful for subsegment only.
  float betweenWordThreshold() const { return threshold_; }

  // Same case and, for subsegment, numerically equal thresholds.
  friend bool operator==(const SpeakerInfoStrategy& a, const SpeakerInfoStrategy& b) {
    return a.kind_ == b.kind_ && (a.kind_ == Case::segment || a.threshold_ == b.threshold_);
  }

 private:
  SpeakerInfoStrategy(Case kind, float threshold) : kind_(kind), threshold_(threshold) {}
  Case kind_;
  float threshold_;
};

std::size_t hashValue(const SpeakerInfoStrategy& strategy);

struct SpeakerWordTiming {
  vostrane::WordTiming wordTiming;
  SpeakerInfo speaker;

  // {"wordTiming": {...}, "speaker": {...}}. Both throw platform::json::JsonError.
  platform::json::Json toJson() const;
  static SpeakerWordTiming fromJson(const platform::json::Json& value);

  friend bool operator==(const SpeakerWordTiming&, const SpeakerWordTiming&) = default;
};

std::size_t hashValue(const SpeakerWordTiming& word);

// The input of RTTM lines: a word and its speaker id, absent when the word has no single speaker.
struct WordWithSpeaker {
  vostrane::WordTiming wordTiming;
  std::optional<int> speaker;

  friend bool operator==(const WordWithSpeaker&, const WordWithSpeaker&) = default;
};

}  // namespace dellomar

template <>
struct std::hash<dellomar::SpeakerInfo> {
  std::size_t operator()(const dellomar::SpeakerInfo& info) const { return dellomar::hashValue(info); }
};
template <>
struct std::hash<dellomar::SpeakerInfoStrategy> {
  std::size_t operator()(const dellomar::SpeakerInfoStrategy& s) const { return dellomar::hashValue(s); }
};
template <>
struct std::hash<dellomar::SpeakerWordTiming> {
  std::size_t operator()(const dellomar::SpeakerWordTiming& w) const { return dellomar::hashValue(w); }
};
