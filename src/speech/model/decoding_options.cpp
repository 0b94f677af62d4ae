#include "speech/model/decoding_options.hpp"

#include "speech/model/json_fields.hpp"

namespace vostrane {

using platform::json::Json;
using platform::json::JsonError;
namespace jf = json_fields;

std::string_view description(DecodingTask task) {
  return task == DecodingTask::transcribe ? "transcribe" : "translate";
}

Json toJson(DecodingTask task) { return platform::json::enumCase(description(task)); }

DecodingTask decodingTaskFromJson(const Json& value) {
  if (!value.is_object()) throw JsonError("expected an object for DecodingTask");
  const Json* found = nullptr;
  DecodingTask task = DecodingTask::transcribe;
  int count = 0;
  for (DecodingTask candidate : kAllDecodingTasks) {
    auto it = value.find(description(candidate));
    if (it != value.end()) {
      ++count;
      found = &*it;
      task = candidate;
    }
  }
  if (count != 1) throw JsonError("Invalid number of keys found, expected one.");
  if (!found->is_object()) throw JsonError("expected an object as the value of the DecodingTask case");
  return task;
}

std::string_view rawValue(ChunkingStrategy strategy) { return strategy == ChunkingStrategy::none ? "none" : "vad"; }

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view text) {
  for (ChunkingStrategy candidate : kAllChunkingStrategies) {
    if (rawValue(candidate) == text) return candidate;
  }
  return std::nullopt;
}

Json toJson(ChunkingStrategy strategy) { return Json(std::string(rawValue(strategy))); }

ChunkingStrategy chunkingStrategyFromJson(const Json& value) {
  const std::string text = jf::toString(value, "chunkingStrategy");
  auto strategy = chunkingStrategyFromRawValue(text);
  if (!strategy) throw JsonError("Cannot initialize ChunkingStrategy from invalid String value " + text);
  return *strategy;
}

DecodingOptions::DecodingOptions(const Arguments& a)
    : verbose(a.verbose),
      task(a.task),
      language(a.language),
      temperature(a.temperature),
      temperatureIncrementOnFallback(a.temperatureIncrementOnFallback),
      temperatureFallbackCount(a.temperatureFallbackCount),
      sampleLength(a.sampleLength),
      topK(a.topK),
      usePrefillPrompt(a.usePrefillPrompt),
      detectLanguage(a.detectLanguage.value_or(!a.usePrefillPrompt)),
      skipSpecialTokens(a.skipSpecialTokens),
      withoutTimestamps(a.withoutTimestamps),
      wordTimestamps(a.wordTimestamps),
      maxInitialTimestamp(a.maxInitialTimestamp),
      maxWindowSeek(a.maxWindowSeek),
      clipTimestamps(a.clipTimestamps),
      windowClipTime(a.windowClipTime),
      promptTokens(a.promptTokens),
      prefixTokens(a.prefixTokens),
      suppressBlank(a.suppressBlank),
      suppressTokens(a.suppressTokens.value_or(std::vector<int>{})),
      compressionRatioThreshold(a.compressionRatioThreshold),
      logProbThreshold(a.logProbThreshold),
      firstTokenLogProbThreshold(a.firstTokenLogProbThreshold),
      noSpeechThreshold(a.noSpeechThreshold),
      concurrentWorkerCount(a.concurrentWorkerCount.value_or(16)),
      chunkingStrategy(a.chunkingStrategy) {}

Json DecodingOptions::toJson() const {
  using platform::json::fromFloat;
  Json out = Json::object();
  out["verbose"] = verbose;
  out["task"] = vostrane::toJson(task);
  if (language) out["language"] = *language;
  out["temperature"] = fromFloat(temperature);
  out["temperatureIncrementOnFallback"] = fromFloat(temperatureIncrementOnFallback);
  out["temperatureFallbackCount"] = temperatureFallbackCount;
  out["sampleLength"] = sampleLength;
  out["topK"] = topK;
  out["usePrefillPrompt"] = usePrefillPrompt;
  out["detectLanguage"] = detectLanguage;
  out["skipSpecialTokens"] = skipSpecialTokens;
  out["withoutTimestamps"] = withoutTimestamps;
  out["wordTimestamps"] = wordTimestamps;
  if (maxInitialTimestamp) out["maxInitialTimestamp"] = fromFloat(*maxInitialTimestamp);
  if (maxWindowSeek) out["maxWindowSeek"] = *maxWindowSeek;
  out["clipTimestamps"] = jf::fromFloatList(clipTimestamps);
  out["windowClipTime"] = fromFloat(windowClipTime);
  if (promptTokens) out["promptTokens"] = jf::fromIntList(*promptTokens);
  if (prefixTokens) out["prefixTokens"] = jf::fromIntList(*prefixTokens);
  out["suppressBlank"] = suppressBlank;
  out["suppressTokens"] = jf::fromIntList(suppressTokens);
  if (compressionRatioThreshold) out["compressionRatioThreshold"] = fromFloat(*compressionRatioThreshold);
  if (logProbThreshold) out["logProbThreshold"] = fromFloat(*logProbThreshold);
  if (firstTokenLogProbThreshold) out["firstTokenLogProbThreshold"] = fromFloat(*firstTokenLogProbThreshold);
  if (noSpeechThreshold) out["noSpeechThreshold"] = fromFloat(*noSpeechThreshold);
  out["concurrentWorkerCount"] = concurrentWorkerCount;
  if (chunkingStrategy) out["chunkingStrategy"] = vostrane::toJson(*chunkingStrategy);
  return out;
}

DecodingOptions DecodingOptions::fromJson(const Json& v) {
  if (!v.is_object()) throw JsonError("expected an object for DecodingOptions");
  DecodingOptions o;
  o.verbose = jf::requireBool(v, "verbose");
  o.task = decodingTaskFromJson(jf::requireMember(v, "task"));
  o.language = jf::optionalString(v, "language");
  o.temperature = jf::requireFloat(v, "temperature");
  o.temperatureIncrementOnFallback = jf::requireFloat(v, "temperatureIncrementOnFallback");
  o.temperatureFallbackCount = jf::requireInt(v, "temperatureFallbackCount");
  o.sampleLength = jf::requireInt(v, "sampleLength");
  o.topK = jf::requireInt(v, "topK");
  o.usePrefillPrompt = jf::requireBool(v, "usePrefillPrompt");
  o.detectLanguage = jf::requireBool(v, "detectLanguage");
  o.skipSpecialTokens = jf::requireBool(v, "skipSpecialTokens");
  o.withoutTimestamps = jf::requireBool(v, "withoutTimestamps");
  o.wordTimestamps = jf::requireBool(v, "wordTimestamps");
  o.maxInitialTimestamp = jf::optionalFloat(v, "maxInitialTimestamp");
  o.maxWindowSeek = jf::optionalInt(v, "maxWindowSeek");
  o.clipTimestamps = jf::requireFloatList(v, "clipTimestamps");
  o.windowClipTime = jf::requireFloat(v, "windowClipTime");
  o.promptTokens = jf::optionalIntList(v, "promptTokens");
  o.prefixTokens = jf::optionalIntList(v, "prefixTokens");
  o.suppressBlank = jf::requireBool(v, "suppressBlank");
  o.suppressTokens = jf::requireIntList(v, "suppressTokens");
  o.compressionRatioThreshold = jf::optionalFloat(v, "compressionRatioThreshold");
  o.logProbThreshold = jf::optionalFloat(v, "logProbThreshold");
  o.firstTokenLogProbThreshold = jf::optionalFloat(v, "firstTokenLogProbThreshold");
  o.noSpeechThreshold = jf::optionalFloat(v, "noSpeechThreshold");
  o.concurrentWorkerCount = jf::requireInt(v, "concurrentWorkerCount");
  if (const Json* m = jf::optionalMember(v, "chunkingStrategy")) o.chunkingStrategy = chunkingStrategyFromJson(*m);
  return o;
}

}  // namespace vostrane
