#include "diarization/speaker_info.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <utility>

#include "platform/json/record.hpp"
#include "platform/sys/hash.hpp"

namespace dellomar {

namespace {

using platform::json::Json;
using platform::json::JsonError;

std::size_t combine(std::size_t seed, std::size_t value) { return platform::sys::hashCombine(seed, value); }

const Json& payloadOf(const Json& inner, std::string_view caseName) {
  const auto it = inner.find("_0");
  if (it == inner.end()) throw JsonError("missing required key \"_0\" in case \"" + std::string(caseName) + "\"");
  return *it;
}

}  // namespace

SpeakerInfo SpeakerInfo::multiple(std::vector<int> speakerIds) {
  SpeakerInfo info;
  info.kind_ = Case::multiple;
  info.ids_ = std::move(speakerIds);
  return info;
}

SpeakerInfo SpeakerInfo::speakerId(int id) {
  SpeakerInfo info;
  info.kind_ = Case::speakerId;
  info.ids_ = {id};
  return info;
}

std::optional<int> SpeakerInfo::speakerId() const {
  if (kind_ != Case::speakerId) return std::nullopt;
  return ids_.front();
}

std::vector<int> SpeakerInfo::speakerIds() const { return kind_ == Case::noMatch ? std::vector<int>{} : ids_; }

std::string SpeakerInfo::description() const {
  switch (kind_) {
    case Case::noMatch:
      return "No Speaker Matched";
    case Case::speakerId:
      return "Speaker " + std::to_string(ids_.front());
    case Case::multiple: {
      std::string text = "Multiple Speakers: [";
      for (std::size_t i = 0; i < ids_.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(ids_[i]);
      }
      return text + "]";
    }
  }
  return {};
}

Json SpeakerInfo::toJson() const {
  switch (kind_) {
    case Case::noMatch:
      return platform::json::enumCase("noMatch");
    case Case::speakerId:
      return platform::json::enumCase("speakerId", ids_.front());
    case Case::multiple:
      return platform::json::enumCase("multiple", ids_);
  }
  return {};
}

SpeakerInfo SpeakerInfo::fromJson(const Json& value) {
  if (!value.is_object() || value.size() != 1) throw JsonError("Invalid number of keys found, expected one.");
  const std::string name = value.begin().key();
  const Json& inner = value.begin().value();
  if (!inner.is_object()) throw JsonError("expected an object for case \"" + name + "\"");
  if (name == "noMatch") return noMatch();
  if (name == "speakerId") {
    return speakerId(platform::json::requireAs<int>(inner, "_0"));
  }
  if (name == "multiple") {
    const Json& list = payloadOf(inner, name);
    if (!list.is_array()) throw JsonError("wrong type for key \"_0\": expected array, found " + std::string(list.type_name()));
    std::vector<int> ids;
    for (const Json& id : list) ids.push_back(platform::json::detail::convertMember<int>(id, "_0"));
    return multiple(std::move(ids));
  }
  throw JsonError("unknown SpeakerInfo case \"" + name + "\"");
}

std::size_t hashValue(const SpeakerInfo& info) {
  std::size_t seed = static_cast<std::size_t>(info.kind());
  for (const int id : info.speakerIds()) seed = combine(seed, std::hash<int>{}(id));
  return seed;
}

std::optional<SpeakerInfoStrategy> SpeakerInfoStrategy::fromString(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "segment") return segment();
  if (lower == "subsegment") return subsegment();
  return std::nullopt;
}

std::size_t hashValue(const SpeakerInfoStrategy& strategy) {
  std::size_t seed = static_cast<std::size_t>(strategy.kind());
  if (strategy.kind() == SpeakerInfoStrategy::Case::subsegment) {
    // Equal thresholds (0 and -0 included) hash alike.
    const float threshold = strategy.betweenWordThreshold() == 0 ? 0.0f : strategy.betweenWordThreshold();
    seed = combine(seed, std::hash<float>{}(threshold));
  }
  return seed;
}

Json SpeakerWordTiming::toJson() const {
  Json out = Json::object();
  out["wordTiming"] = wordTiming.toJson();
  out["speaker"] = speaker.toJson();
  return out;
}

SpeakerWordTiming SpeakerWordTiming::fromJson(const Json& value) {
  return {vostrane::WordTiming::fromJson(platform::json::require(value, "wordTiming")),
          SpeakerInfo::fromJson(platform::json::require(value, "speaker"))};
}

std::size_t hashValue(const SpeakerWordTiming& word) {
  return combine(vostrane::hashValue(word.wordTiming), hashValue(word.speaker));
}

}  // namespace dellomar
