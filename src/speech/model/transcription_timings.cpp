#include "speech/model/transcription_timings.hpp"

#include <iterator>
#include <string>
#include <string_view>
#include <utility>

#include "speech/model/json_fields.hpp"

namespace vostrane {
namespace {

using platform::json::Json;

// The fields with their JSON keys, in declaration order.
using Field = double TranscriptionTimings::*;
constexpr std::pair<std::string_view, Field> kFields[] = {
    {"pipelineStart", &TranscriptionTimings::pipelineStart},
    {"firstTokenTime", &TranscriptionTimings::firstTokenTime},
    {"inputAudioSeconds", &TranscriptionTimings::inputAudioSeconds},
    {"modelLoading", &TranscriptionTimings::modelLoading},
    {"prewarmLoadTime", &TranscriptionTimings::prewarmLoadTime},
    {"encoderLoadTime", &TranscriptionTimings::encoderLoadTime},
    {"decoderLoadTime", &TranscriptionTimings::decoderLoadTime},
    {"encoderSpecializationTime", &TranscriptionTimings::encoderSpecializationTime},
    {"decoderSpecializationTime", &TranscriptionTimings::decoderSpecializationTime},
    {"tokenizerLoadTime", &TranscriptionTimings::tokenizerLoadTime},
    {"audioLoading", &TranscriptionTimings::audioLoading},
    {"audioProcessing", &TranscriptionTimings::audioProcessing},
    {"logmels", &TranscriptionTimings::logmels},
    {"encoding", &TranscriptionTimings::encoding},
    {"decodingInit", &TranscriptionTimings::decodingInit},
    {"decodingLoop", &TranscriptionTimings::decodingLoop},
    {"decodingPredictions", &TranscriptionTimings::decodingPredictions},
    {"decodingFiltering", &TranscriptionTimings::decodingFiltering},
    {"decodingSampling", &TranscriptionTimings::decodingSampling},
    {"decodingFallback", &TranscriptionTimings::decodingFallback},
    {"decodingWindowing", &TranscriptionTimings::decodingWindowing},
    {"decodingKvCaching", &TranscriptionTimings::decodingKvCaching},
    {"decodingWordTimestamps", &TranscriptionTimings::decodingWordTimestamps},
    {"decodingNonPrediction", &TranscriptionTimings::decodingNonPrediction},
    {"totalAudioProcessingRuns", &TranscriptionTimings::totalAudioProcessingRuns},
    {"totalLogmelRuns", &TranscriptionTimings::totalLogmelRuns},
    {"totalEncodingRuns", &TranscriptionTimings::totalEncodingRuns},
    {"totalDecodingLoops", &TranscriptionTimings::totalDecodingLoops},
    {"totalKVUpdateRuns", &TranscriptionTimings::totalKVUpdateRuns},
    {"totalTimestampAlignmentRuns", &TranscriptionTimings::totalTimestampAlignmentRuns},
    {"totalDecodingFallbacks", &TranscriptionTimings::totalDecodingFallbacks},
    {"totalDecodingWindows", &TranscriptionTimings::totalDecodingWindows},
    {"fullPipeline", &TranscriptionTimings::fullPipeline},
};
static_assert(std::size(kFields) == 33);

}  // namespace

TranscriptionTimings::TranscriptionTimings(const Arguments& a)
    : modelLoading(a.modelLoading),
      prewarmLoadTime(a.prewarmLoadTime),
      encoderLoadTime(a.encoderLoadTime),
      decoderLoadTime(a.decoderLoadTime),
      encoderSpecializationTime(a.encoderSpecializationTime),
      decoderSpecializationTime(a.decoderSpecializationTime),
      tokenizerLoadTime(a.tokenizerLoadTime),
      audioLoading(a.audioLoading),
      audioProcessing(a.audioProcessing),
      logmels(a.logmels),
      encoding(a.encoding),
      decodingInit(a.decodingInit),
      decodingLoop(a.decodingLoop),
      decodingPredictions(a.decodingPredictions),
      decodingFiltering(a.decodingFiltering),
      decodingSampling(a.decodingSampling),
      decodingFallback(a.decodingFallback),
      decodingWindowing(a.decodingWindowing),
      decodingKvCaching(a.decodingKvCaching),
      decodingWordTimestamps(a.decodingTimestampAlignment),
      decodingNonPrediction(a.decodingNonPrediction),
      totalAudioProcessingRuns(a.totalAudioProcessingRuns),
      totalLogmelRuns(a.totalLogmelRuns),
      totalEncodingRuns(a.totalEncodingRuns),
      totalDecodingLoops(a.totalDecodingLoops),
      totalKVUpdateRuns(a.totalKVUpdateRuns),
      totalTimestampAlignmentRuns(a.totalTimestampAlignmentRuns),
      totalDecodingFallbacks(a.totalDecodingFallbacks),
      totalDecodingWindows(a.totalDecodingWindows),
      fullPipeline(a.fullPipeline) {}

Json TranscriptionTimings::toJson() const {
  Json out = Json::object();
  for (const auto& [key, field] : kFields) out[std::string(key)] = platform::json::fromDouble(this->*field);
  return out;
}

TranscriptionTimings TranscriptionTimings::fromJson(const Json& value) {
  if (!value.is_object()) throw platform::json::JsonError("expected an object for TranscriptionTimings");
  TranscriptionTimings t;
  for (const auto& [key, field] : kFields) t.*field = json_fields::requireDouble(value, key);
  return t;
}

}  // namespace vostrane
