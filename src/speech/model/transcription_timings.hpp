// TranscriptionTimings: where the time of one transcription went (model loading, audio,
// mel extraction, encoding, each step of the decoding loop) and how often each step ran.
// The pipeline fills it, copies it into progress reports and decoding results, and stores
// the final one in the TranscriptionResult, whose logTimings() prints it as a fixed report.
// A plain value; not thread-safe by itself (the result guards its copy with a lock).
#pragma once

#include <cfloat>
#include <tuple>

#include "platform/json/record.hpp"

namespace vostrane {

// An aggregate: name the fields to set with designated initialisers, in declaration order,
// every other field keeps its default:
//   TranscriptionTimings{.decodingWordTimestamps = 1.5, .totalDecodingLoops = 7}
struct TranscriptionTimings {
  // Time stamps in seconds on the pipeline's clock; they start at the greatest finite double.
  double pipelineStart = DBL_MAX;
  double firstTokenTime = DBL_MAX;
  double inputAudioSeconds = 0.001;
  // Durations in seconds.
  double modelLoading = 0;
  double prewarmLoadTime = 0;
  double encoderLoadTime = 0;
  double decoderLoadTime = 0;
  double encoderSpecializationTime = 0;
  double decoderSpecializationTime = 0;
  double tokenizerLoadTime = 0;
  double audioLoading = 0;
  double audioProcessing = 0;
  double logmels = 0;
  double encoding = 0;
  double decodingInit = 0;
  double decodingLoop = 0;
  double decodingPredictions = 0;
  double decodingFiltering = 0;
  double decodingSampling = 0;
  double decodingFallback = 0;
  double decodingWindowing = 0;
  double decodingKvCaching = 0;
  double decodingWordTimestamps = 0;  // the word-timestamp alignment time
  double decodingNonPrediction = 0;
  // Counts kept as doubles.
  double totalAudioProcessingRuns = 0;
  double totalLogmelRuns = 0;
  double totalEncodingRuns = 0;
  double totalDecodingLoops = 0;
  double totalKVUpdateRuns = 0;
  double totalTimestampAlignmentRuns = 0;
  double totalDecodingFallbacks = 0;
  double totalDecodingWindows = 0;
  double fullPipeline = 0;

  // Derived figures, computed on each read without guards (a zero divisor gives inf or NaN).
  double tokensPerSecond() const { return totalDecodingLoops / fullPipeline; }
  double realTimeFactor() const { return fullPipeline / inputAudioSeconds; }
  double speedFactor() const { return inputAudioSeconds / fullPipeline; }

  // The JSON form: all 33 fields as numbers, keyed by their names, in declaration order.
  static constexpr auto fields() {
    using platform::json::field;
    using T = TranscriptionTimings;
    return std::tuple{field("pipelineStart", &T::pipelineStart),
                      field("firstTokenTime", &T::firstTokenTime),
                      field("inputAudioSeconds", &T::inputAudioSeconds),
                      field("modelLoading", &T::modelLoading),
                      field("prewarmLoadTime", &T::prewarmLoadTime),
                      field("encoderLoadTime", &T::encoderLoadTime),
                      field("decoderLoadTime", &T::decoderLoadTime),
                      field("encoderSpecializationTime", &T::encoderSpecializationTime),
                      field("decoderSpecializationTime", &T::decoderSpecializationTime),
                      field("tokenizerLoadTime", &T::tokenizerLoadTime),
                      field("audioLoading", &T::audioLoading),
                      field("audioProcessing", &T::audioProcessing),
                      field("logmels", &T::logmels),
                      field("encoding", &T::encoding),
                      field("decodingInit", &T::decodingInit),
                      field("decodingLoop", &T::decodingLoop),
                      field("decodingPredictions", &T::decodingPredictions),
                      field("decodingFiltering", &T::decodingFiltering),
                      field("decodingSampling", &T::decodingSampling),
                      field("decodingFallback", &T::decodingFallback),
                      field("decodingWindowing", &T::decodingWindowing),
                      field("decodingKvCaching", &T::decodingKvCaching),
                      field("decodingWordTimestamps", &T::decodingWordTimestamps),
                      field("decodingNonPrediction", &T::decodingNonPrediction),
                      field("totalAudioProcessingRuns", &T::totalAudioProcessingRuns),
                      field("totalLogmelRuns", &T::totalLogmelRuns),
                      field("totalEncodingRuns", &T::totalEncodingRuns),
                      field("totalDecodingLoops", &T::totalDecodingLoops),
                      field("totalKVUpdateRuns", &T::totalKVUpdateRuns),
                      field("totalTimestampAlignmentRuns", &T::totalTimestampAlignmentRuns),
                      field("totalDecodingFallbacks", &T::totalDecodingFallbacks),
                      field("totalDecodingWindows", &T::totalDecodingWindows),
                      field("fullPipeline", &T::fullPipeline)};
  }

  // Throws platform::json::JsonError when a field is not finite.
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  // Every key is required and must be a number; unknown keys are ignored. Throws
  // platform::json::JsonError otherwise.
  static TranscriptionTimings fromJson(const platform::json::Json& value) {
    return platform::json::decode<TranscriptionTimings>(value, "TranscriptionTimings");
  }

  friend bool operator==(const TranscriptionTimings& a, const TranscriptionTimings& b) {
    return platform::json::recordEquals(a, b);
  }
};

}  // namespace vostrane
