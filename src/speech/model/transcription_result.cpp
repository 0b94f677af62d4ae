#include "speech/model/transcription_result.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/logging.hpp"
#include "speech/model/json_fields.hpp"

namespace vostrane {
namespace {

using platform::json::Json;
using platform::json::JsonError;
namespace jf = json_fields;

void hashCombine(std::size_t& seed, std::size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Hash of a float consistent with ==: 0.0 and -0.0 hash alike.
std::size_t hashFloat(float value) { return value == 0.0F ? 0 : std::hash<float>{}(value); }

Json tokenLogProbsToJson(const std::vector<std::map<int, float>>& list) {
  Json out = Json::array();
  for (const auto& map : list) {
    Json object = Json::object();
    for (const auto& [token, logProb] : map) object[std::to_string(token)] = platform::json::fromFloat(logProb);
    out.push_back(std::move(object));
  }
  return out;
}

std::vector<std::map<int, float>> tokenLogProbsFromJson(const Json& value) {
  if (!value.is_array()) throw JsonError("wrong type for \"tokenLogProbs\": expected an array");
  std::vector<std::map<int, float>> out;
  out.reserve(value.size());
  for (const Json& object : value) {
    if (!object.is_object()) throw JsonError("wrong type in \"tokenLogProbs\": expected an object");
    std::map<int, float> map;
    for (auto it = object.begin(); it != object.end(); ++it) {
      const std::string& key = it.key();
      int token = 0;
      auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), token);
      if (error != std::errc() || end != key.data() + key.size() || key.empty()) {
        throw JsonError("\"tokenLogProbs\" key \"" + key + "\" is not an integer");
      }
      map[token] = jf::toFloat(it.value(), "tokenLogProbs");
    }
    out.push_back(std::move(map));
  }
  return out;
}

// printf-style formatting of one double; a NaN prints as "nan" whatever its sign bit.
std::string formatNumber(const char* format, double value) {
  if (std::isnan(value)) value = std::fabs(value);
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, format, value);
  return std::string(buffer, n < 0 ? 0 : static_cast<std::size_t>(n));
}

// The shortest round-trip decimal of a double in the usual description form: fixed notation
// with at least one fractional digit ("2.0") for magnitudes in [1e-4, 2^53), scientific
// notation ("1e+20") outside, "nan"/"inf"/"-inf" for non-finite values.
std::string describeDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  const double magnitude = std::fabs(value);
  const bool fixed = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 9007199254740992.0);
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                              fixed ? std::chars_format::fixed : std::chars_format::scientific);
  std::string text(buffer, result.ptr);
  if (fixed && text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace

Json WordTiming::toJson() const {
  Json out = Json::object();
  out["word"] = word;
  out["tokens"] = jf::fromIntList(tokens);
  out["start"] = platform::json::fromFloat(start);
  out["end"] = platform::json::fromFloat(end);
  out["probability"] = platform::json::fromFloat(probability);
  return out;
}

WordTiming WordTiming::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for WordTiming");
  WordTiming w;
  w.word = jf::requireString(v, "word");
  w.tokens = jf::requireIntList(v, "tokens");
  w.start = jf::requireFloat(v, "start");
  w.end = jf::requireFloat(v, "end");
  w.probability = jf::requireFloat(v, "probability");
  return w;
}

Json TranscriptionSegment::toJson() const {
  using platform::json::fromFloat;
  Json out = Json::object();
  out["id"] = id;
  out["seek"] = seek;
  out["start"] = fromFloat(start);
  out["end"] = fromFloat(end);
  out["text"] = text;
  out["tokens"] = jf::fromIntList(tokens);
  out["tokenLogProbs"] = tokenLogProbsToJson(tokenLogProbs);
  out["temperature"] = fromFloat(temperature);
  out["avgLogprob"] = fromFloat(avgLogprob);
  out["compressionRatio"] = fromFloat(compressionRatio);
  out["noSpeechProb"] = fromFloat(noSpeechProb);
  if (words) {
    Json list = Json::array();
    for (const WordTiming& w : *words) list.push_back(w.toJson());
    out["words"] = std::move(list);
  }
  return out;
}

TranscriptionSegment TranscriptionSegment::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for TranscriptionSegment");
  TranscriptionSegment s;
  s.id = jf::requireInt(v, "id");
  s.seek = jf::requireInt(v, "seek");
  s.start = jf::requireFloat(v, "start");
  s.end = jf::requireFloat(v, "end");
  s.text = jf::requireString(v, "text");
  s.tokens = jf::requireIntList(v, "tokens");
  s.tokenLogProbs = tokenLogProbsFromJson(jf::requireMember(v, "tokenLogProbs"));
  s.temperature = jf::requireFloat(v, "temperature");
  s.avgLogprob = jf::requireFloat(v, "avgLogprob");
  s.compressionRatio = jf::requireFloat(v, "compressionRatio");
  s.noSpeechProb = jf::requireFloat(v, "noSpeechProb");
  if (const Json* words = jf::optionalMember(v, "words")) {
    if (!words->is_array()) throw JsonError("wrong type for \"words\": expected an array");
    std::vector<WordTiming> list;
    list.reserve(words->size());
    for (const Json& w : *words) list.push_back(WordTiming::fromJson(w));
    s.words = std::move(list);
  }
  return s;
}

std::size_t hashValue(const WordTiming& w) {
  std::size_t seed = std::hash<std::string>{}(w.word);
  for (int t : w.tokens) hashCombine(seed, std::hash<int>{}(t));
  hashCombine(seed, hashFloat(w.start));
  hashCombine(seed, hashFloat(w.end));
  hashCombine(seed, hashFloat(w.probability));
  return seed;
}

std::size_t hashValue(const TranscriptionSegment& s) {
  std::size_t seed = std::hash<int>{}(s.id);
  hashCombine(seed, std::hash<int>{}(s.seek));
  hashCombine(seed, hashFloat(s.start));
  hashCombine(seed, hashFloat(s.end));
  hashCombine(seed, std::hash<std::string>{}(s.text));
  for (int t : s.tokens) hashCombine(seed, std::hash<int>{}(t));
  for (const auto& map : s.tokenLogProbs) {
    for (const auto& [token, logProb] : map) {
      hashCombine(seed, std::hash<int>{}(token));
      hashCombine(seed, hashFloat(logProb));
    }
    hashCombine(seed, map.size());
  }
  hashCombine(seed, hashFloat(s.temperature));
  hashCombine(seed, hashFloat(s.avgLogprob));
  hashCombine(seed, hashFloat(s.compressionRatio));
  hashCombine(seed, hashFloat(s.noSpeechProb));
  hashCombine(seed, s.words.has_value() ? 1 : 0);
  if (s.words) {
    for (const WordTiming& w : *s.words) hashCombine(seed, hashValue(w));
  }
  return seed;
}

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
  for (const TranscriptionSegment& s : segments) {
    if (s.start == segment.start) return true;
  }
  return false;
}

Json TranscriptionResultStruct::toJson() const {
  Json out = Json::object();
  out["text"] = text;
  Json list = Json::array();
  for (const TranscriptionSegment& s : segments) list.push_back(s.toJson());
  out["segments"] = std::move(list);
  out["language"] = language;
  out["timings"] = timings.toJson();
  if (seekTime) out["seekTime"] = platform::json::fromFloat(*seekTime);
  return out;
}

namespace {

std::vector<TranscriptionSegment> segmentsFromJson(const Json& value) {
  if (!value.is_array()) throw JsonError("wrong type for \"segments\": expected an array");
  std::vector<TranscriptionSegment> out;
  out.reserve(value.size());
  for (const Json& s : value) out.push_back(TranscriptionSegment::fromJson(s));
  return out;
}

}  // namespace

TranscriptionResultStruct TranscriptionResultStruct::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for TranscriptionResultStruct");
  TranscriptionResultStruct r;
  r.text = jf::requireString(v, "text");
  r.segments = segmentsFromJson(jf::requireMember(v, "segments"));
  r.language = jf::requireString(v, "language");
  r.timings = TranscriptionTimings::fromJson(jf::requireMember(v, "timings"));
  r.seekTime = jf::optionalFloat(v, "seekTime");
  return r;
}

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

std::vector<WordTiming> TranscriptionResult::allWords() const {
  std::vector<WordTiming> out;
  for (const TranscriptionSegment& s : segments()) {
    if (s.words) out.insert(out.end(), s.words->begin(), s.words->end());
  }
  return out;
}

void TranscriptionResult::logSegments() const {
  const std::vector<TranscriptionSegment> list = segments();
  for (std::size_t i = 0; i < list.size(); ++i) {
    const TranscriptionSegment& s = list[i];
    noxtal::Logging::debug("[Segment " + std::to_string(i) + "] [" + formatNumber("%.2f", s.start) + " --> " +
                           formatNumber("%.2f", s.end) + "] " + s.text);
  }
}

std::string TranscriptionResult::timingReport() const {
  std::size_t tokenTotal = 0;
  for (const TranscriptionSegment& s : segments()) tokenTotal += s.tokens.size();
  return formatTimingReport(timings(), tokenTotal);
}

void TranscriptionResult::logTimings() const { noxtal::Logging::info(timingReport()); }

TranscriptionResultStruct TranscriptionResult::snapshot() const {
  return TranscriptionResultStruct{text(), segments(), language(), timings(), seekTime()};
}

Json TranscriptionResult::toJson() const {
  Json out = Json::object();
  out["text"] = text_.withLock([](const std::string& v) { return Json(v); });
  out["segments"] = segments_.withLock([](const std::vector<TranscriptionSegment>& v) {
    Json list = Json::array();
    for (const TranscriptionSegment& s : v) list.push_back(s.toJson());
    return list;
  });
  out["language"] = language_.withLock([](const std::string& v) { return Json(v); });
  out["timings"] = timings_.withLock([](const TranscriptionTimings& v) { return v.toJson(); });
  out["seekTime"] = seekTime_.withLock(
      [](const std::optional<float>& v) { return v ? platform::json::fromFloat(*v) : Json(nullptr); });
  return out;
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for TranscriptionResult");
  std::string text = jf::requireString(v, "text");
  std::vector<TranscriptionSegment> segments = segmentsFromJson(jf::requireMember(v, "segments"));
  std::string language = jf::requireString(v, "language");
  TranscriptionTimings timings = TranscriptionTimings::fromJson(jf::requireMember(v, "timings"));
  const Json& seek = platform::json::require(v, "seekTime");
  std::optional<float> seekTime;
  if (!seek.is_null()) seekTime = jf::toFloat(seek, "seekTime");
  return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings,
                                               seekTime);
}

std::string formatTimingReport(const TranscriptionTimings& t, std::size_t tokenTotal) {
  double total = std::max(t.decodingLoop, t.fullPipeline);
  if (std::isnan(t.decodingLoop) || std::isnan(t.fullPipeline)) total = t.decodingLoop;
  total *= 1000;
  const auto f = [total](double time, double runs) {
    return noxtal::Logging::formatTimeWithPercentage(time, runs, total);
  };
  const double r = t.fullPipeline / t.inputAudioSeconds;
  std::string out;
  out += "---- Transcription Timings ----\nAudio Load:          " + f(t.audioLoading, 1);
  out += "\nAudio Processing:    " + f(t.audioProcessing, t.totalAudioProcessingRuns);
  out += "\nMels:                " + f(t.logmels, t.totalLogmelRuns);
  out += "\nEncoding:            " + f(t.encoding, t.totalEncodingRuns);
  out += "\nMatrices Init:       " + f(t.decodingInit, 1);
  out += "\nDecoding:            " + f(t.decodingPredictions, t.totalDecodingLoops);
  out += "\nNon-inference:       " + f(t.decodingNonPrediction, t.totalDecodingLoops);
  out += "\n- Logit Filtering:   " + f(t.decodingFiltering, t.totalDecodingLoops);
  out += "\n- Sampling:          " + f(t.decodingSampling, t.totalDecodingLoops);
  out += "\n- Kv Caching:        " + f(t.decodingKvCaching, t.totalKVUpdateRuns);
  out += "\n- Word Timestamps:   " + f(t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
  out += "\n- Windowing:         " + f(t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
  out += "\nFallbacks:           " + f(t.decodingFallback, t.totalDecodingFallbacks);
  out += "\nDecoding Full Loop:  " + f(t.decodingLoop, t.totalDecodingLoops);
  out += "\n-------------------------------\nModel Load Time:               " + formatNumber("%.2f", t.modelLoading);
  out += " seconds\n- Prewarm:                     " + formatNumber("%.2f", t.prewarmLoadTime);
  out += " seconds\n- Encoder:                     " + formatNumber("%.2f", t.encoderLoadTime);
  out += " seconds\n- Decoder:                     " + formatNumber("%.2f", t.decoderLoadTime);
  out += " seconds\n- Tokenizer:                   " + formatNumber("%.2f", t.tokenizerLoadTime);
  out += " seconds\nInference Duration (Global):   " + formatNumber("%.2f", t.fullPipeline);
  out +=
      " seconds\n- Decoding Loop (Avg/window):  " + formatNumber("%.2f", t.decodingLoop / t.totalAudioProcessingRuns);
  out += " seconds\n- Audio Windows:               " + formatNumber("%.2f", t.totalAudioProcessingRuns);
  out += "\nTime to first token:           " + formatNumber("%.2f", t.firstTokenTime - t.pipelineStart);
  out += " seconds\nTotal Tokens:                  " + std::to_string(tokenTotal);
  out += "\nTokens per Second:             " + formatNumber("%.2f", t.totalDecodingLoops / t.fullPipeline);
  out += " tok/s\nReal Time Factor:              " + formatNumber("%.3f", r);
  out += "\nSpeed Factor:                  " + formatNumber("%.3f", 1 / r);
  out += "\nFallbacks:                     " + describeDouble(t.totalDecodingFallbacks);
  return out;
}

std::string_view description(TranscriptionState state) {
  switch (state) {
    case TranscriptionState::convertingAudio:
      return "Converting Audio";
    case TranscriptionState::transcribing:
      return "Transcribing";
    case TranscriptionState::finished:
      return "Finished";
  }
  return "";
}

}  // namespace vostrane
