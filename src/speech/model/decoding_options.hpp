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

#include "platform/json/json.hpp"

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

struct DecodingOptions {
  // Arguments of the explicit constructor: every field's default, with three fields that are
  // resolved when left absent (detectLanguage -> !usePrefillPrompt, suppressTokens -> empty,
  // concurrentWorkerCount -> 16). Use designated initialisers:
  //   DecodingOptions({.usePrefillPrompt = false})
  struct Arguments;

  // The defaults of every field (detectLanguage false, suppressTokens empty).
  DecodingOptions() = default;
  // Stores every argument as given, without checks or clamping, after resolving the three
  // optional ones.
  explicit DecodingOptions(const Arguments& arguments);

  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language{};
  float temperature = 0.0F;
  float temperatureIncrementOnFallback = 0.2F;
  int temperatureFallbackCount = 5;
  int sampleLength = 224;  // the library's maximum token context
  int topK = 5;
  bool usePrefillPrompt = true;
  bool detectLanguage = false;
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

  // The JSON object: the 27 field names in declaration order, absent optionals left out.
  // Throws platform::json::JsonError on a non-finite number.
  platform::json::Json toJson() const;
  // Reads the JSON object: every non-optional key is required (no defaults are filled in);
  // an optional key may be missing or null; unknown keys are ignored. Throws
  // platform::json::JsonError on a missing required key or a value of the wrong type.
  static DecodingOptions fromJson(const platform::json::Json& value);

  friend bool operator==(const DecodingOptions&, const DecodingOptions&) = default;
};

struct DecodingOptions::Arguments {
  bool verbose = false;
  DecodingTask task = DecodingTask::transcribe;
  std::optional<std::string> language{};
  float temperature = 0.0F;
  float temperatureIncrementOnFallback = 0.2F;
  int temperatureFallbackCount = 5;
  int sampleLength = 224;
  int topK = 5;
  bool usePrefillPrompt = true;
  std::optional<bool> detectLanguage{};
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
  std::optional<std::vector<int>> suppressTokens{};
  std::optional<float> compressionRatioThreshold = 2.4F;
  std::optional<float> logProbThreshold = -1.0F;
  std::optional<float> firstTokenLogProbThreshold = -1.5F;
  std::optional<float> noSpeechThreshold = 0.6F;
  std::optional<int> concurrentWorkerCount{};
  std::optional<ChunkingStrategy> chunkingStrategy{};
};

}  // namespace vostrane
