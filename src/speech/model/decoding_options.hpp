// DecodingOptions: every per-transcription decoding setting of the speech library (task and
// language, temperature schedule, token limits, prompts, suppression, timestamps, clip times,
// fallback thresholds, worker count, chunking), with DecodingTask and ChunkingStrategy.
// The caller builds one per transcription; the chunker, decoder, samplers and fallback test
// read it. Plain values, copied freely; nothing here is shared or locked.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tuple>
#include <utility>

#include "platform/json/record.hpp"

namespace vostrane {

enum class DecodingTask { transcribe, translate };

inline constexpr std::array<DecodingTask, 2> kAllDecodingTasks{DecodingTask::transcribe, DecodingTask::translate};

// "transcribe" or "translate".
std::string_view description(DecodingTask task);
// {"transcribe":{}} or {"translate":{}}.
platform::json::Json toJson(DecodingTask task);
// Reads the keyed form: exactly one of the two case names must be a key (other keys are not
// counted) and its value must be an object. Throws platform::json::JsonError otherwise (with
// "Invalid number of keys found, expected one." when the count is not one).
DecodingTask decodingTaskFromJson(const platform::json::Json& value);

enum class ChunkingStrategy { none, vad };

inline constexpr std::array<ChunkingStrategy, 2> kAllChunkingStrategies{ChunkingStrategy::none, ChunkingStrategy::vad};

// "none" or "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// The case whose raw value equals `text` exactly (case-sensitive); absent for any other text.
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view text);
// The raw value as a JSON string; reading anything else throws platform::json::JsonError.
platform::json::Json toJson(ChunkingStrategy strategy);
ChunkingStrategy chunkingStrategyFromJson(const platform::json::Json& value);

}  // namespace vostrane

template <>
struct platform::json::EnumStrings<vostrane::DecodingTask> {
  static constexpr std::string_view typeName = "DecodingTask";
  static constexpr std::array<std::pair<vostrane::DecodingTask, std::string_view>, 2> cases{
      {{vostrane::DecodingTask::transcribe, "transcribe"}, {vostrane::DecodingTask::translate, "translate"}}};
};

template <>
struct platform::json::EnumStrings<vostrane::ChunkingStrategy> {
  static constexpr std::string_view typeName = "ChunkingStrategy";
  static constexpr std::array<std::pair<vostrane::ChunkingStrategy, std::string_view>, 2> cases{
      {{vostrane::ChunkingStrategy::none, "none"}, {vostrane::ChunkingStrategy::vad, "vad"}}};
};

namespace vostrane {

// An aggregate: name the settings to change with designated initialisers, in declaration
// order; the others keep their defaults. detectLanguage defaults to !usePrefillPrompt, so
//   DecodingOptions{.usePrefillPrompt = false}
// detects the language unless .detectLanguage is given too. Values are stored as given,
// without checks or clamping.
struct DecodingOptions {
  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language{};
  float temperature = 0.0F;
  float temperatureIncrementOnFallback = 0.2F;
  int temperatureFallbackCount = 5;
  int sampleLength = 224;  // the library's maximum token context
  int topK = 5;
  bool usePrefillPrompt = true;
  bool detectLanguage = !usePrefillPrompt;
  bool skipSpecialTokens = false;
  bool withoutTimestamps = false;
  bool wordTimestamps = false;
  std::optional<float> maxInitialTimestamp{};
  std::optional<int> maxWindowSeek{};
  std::vector<float> clipTimestamps{};
  float windowClipTime = 1.0F;
  std::optional<std::vector<int>> promptTokens{};
  std::optional<std::vector<int>> prefixTokens{};
  bool suppressBlank = false;
  std::vector<int> suppressTokens{};
  std::optional<float> compressionRatioThreshold = 2.4F;
  std::optional<float> logProbThreshold = -1.0F;
  std::optional<float> firstTokenLogProbThreshold = -1.5F;
  std::optional<float> noSpeechThreshold = 0.6F;
  int concurrentWorkerCount = 16;
  std::optional<ChunkingStrategy> chunkingStrategy{};

  // The JSON form: the 27 field names in declaration order, absent optionals left out. Every
  // non-optional key is required when reading (no defaults are filled in).
  static constexpr auto fields() {
    using platform::json::field;
    using O = DecodingOptions;
    return std::tuple{field("verbose", &O::verbose),
                      field("task", &O::task, platform::json::KeyedEnumCoder<DecodingTask>{}),
                      field("language", &O::language),
                      field("temperature", &O::temperature),
                      field("temperatureIncrementOnFallback", &O::temperatureIncrementOnFallback),
                      field("temperatureFallbackCount", &O::temperatureFallbackCount),
                      field("sampleLength", &O::sampleLength),
                      field("topK", &O::topK),
                      field("usePrefillPrompt", &O::usePrefillPrompt),
                      field("detectLanguage", &O::detectLanguage),
                      field("skipSpecialTokens", &O::skipSpecialTokens),
                      field("withoutTimestamps", &O::withoutTimestamps),
                      field("wordTimestamps", &O::wordTimestamps),
                      field("maxInitialTimestamp", &O::maxInitialTimestamp),
                      field("maxWindowSeek", &O::maxWindowSeek),
                      field("clipTimestamps", &O::clipTimestamps),
                      field("windowClipTime", &O::windowClipTime),
                      field("promptTokens", &O::promptTokens),
                      field("prefixTokens", &O::prefixTokens),
                      field("suppressBlank", &O::suppressBlank),
                      field("suppressTokens", &O::suppressTokens),
                      field("compressionRatioThreshold", &O::compressionRatioThreshold),
                      field("logProbThreshold", &O::logProbThreshold),
                      field("firstTokenLogProbThreshold", &O::firstTokenLogProbThreshold),
                      field("noSpeechThreshold", &O::noSpeechThreshold),
                      field("concurrentWorkerCount", &O::concurrentWorkerCount),
                      field("chunkingStrategy", &O::chunkingStrategy)};
  }

  // Throws platform::json::JsonError on a non-finite number.
  platform::json::Json toJson() const { return platform::json::encode(*this); }
  // An optional key may be missing or null; unknown keys are ignored. Throws
  // platform::json::JsonError on a missing required key or a value of the wrong type.
  static DecodingOptions fromJson(const platform::json::Json& value) {
    return platform::json::decode<DecodingOptions>(value, "DecodingOptions");
  }

  friend bool operator==(const DecodingOptions& a, const DecodingOptions& b) {
    return platform::json::recordEquals(a, b);
  }
};

}  // namespace vostrane
