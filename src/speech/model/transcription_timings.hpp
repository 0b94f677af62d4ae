// TranscriptionTimings: where the time of one transcription went (model loading, audio,
// mel extraction, encoding, each step of the decoding loop) and how often each step ran.
// The pipeline fills it, copies it into progress reports and decoding results, and stores
// the final one in the TranscriptionResult, whose logTimings() prints it as a fixed report.
// A plain value; not thread-safe by itself (the result guards its copy with a lock).
#pragma once

#include <cfloat>

#include "platform/json/json.hpp"

namespace vostrane {

struct TranscriptionTimings {
  // Arguments of the explicit constructor: every duration and count, each 0 when left out
  // (the time stamps and inputAudioSeconds are not arguments; they keep their defaults).
  // `decodingTimestampAlignment` is stored into decodingWordTimestamps. Use designated
  // initialisers: TranscriptionTimings({.decodingTimestampAlignment = 1.5})
  struct Arguments;

  // The defaults of every field.
  TranscriptionTimings() = default;
  explicit TranscriptionTimings(const Arguments& arguments);

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

  // All 33 fields as numbers, in declaration order. Throws platform::json::JsonError when a
  // field is not finite.
  platform::json::Json toJson() const;
  // Every key is required and must be a number; unknown keys are ignored. Throws
  // platform::json::JsonError otherwise.
  static TranscriptionTimings fromJson(const platform::json::Json& value);

  friend bool operator==(const TranscriptionTimings&, const TranscriptionTimings&) = default;
};

struct TranscriptionTimings::Arguments {
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
  double decodingTimestampAlignment = 0;  // stored into decodingWordTimestamps
  double decodingNonPrediction = 0;
  double totalAudioProcessingRuns = 0;
  double totalLogmelRuns = 0;
  double totalEncodingRuns = 0;
  double totalDecodingLoops = 0;
  double totalKVUpdateRuns = 0;
  double totalTimestampAlignmentRuns = 0;
  double totalDecodingFallbacks = 0;
  double totalDecodingWindows = 0;
  double fullPipeline = 0;
};

}  // namespace vostrane
