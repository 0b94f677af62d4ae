#include "speech/model/transcription_result.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <utility>

#include "core/logging.hpp"

namespace vostrane {
namespace {

using platform::json::Json;
using platform::json::JsonError;

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

std::size_t hashValue(const WordTiming& w) { return platform::json::recordHash(w); }

std::size_t hashValue(const TranscriptionSegment& s) { return platform::json::recordHash(s); }

bool contains(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
  for (const TranscriptionSegment& s : segments) {
    if (s.start == segment.start) return true;
  }
  return false;
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

void TranscriptionResult::appendSegment(TranscriptionSegment segment) {
  segments_.withLock([&](std::vector<TranscriptionSegment>& list) { list.push_back(std::move(segment)); });
}

void TranscriptionResult::appendSegments(std::vector<TranscriptionSegment> segments) {
  segments_.withLock([&](std::vector<TranscriptionSegment>& list) {
    // Reserving first makes the moves below unable to fail, so a failure leaves the list whole.
    list.reserve(list.size() + segments.size());
    std::move(segments.begin(), segments.end(), std::back_inserter(list));
  });
}

Json TranscriptionResult::toJson() const {
  Json out = snapshot().toJson();
  if (!out.contains("seekTime")) out["seekTime"] = nullptr;
  return out;
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for TranscriptionResult");
  (void)platform::json::require(v, "seekTime");  // required here, though it may be null
  TranscriptionResultStruct r = TranscriptionResultStruct::fromJson(v);
  return std::make_shared<TranscriptionResult>(std::move(r.text), std::move(r.segments), std::move(r.language),
                                               r.timings, r.seekTime);
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
