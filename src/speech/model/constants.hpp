// The speech library's fixed numbers, language table and default texts (Constants), and the
// small utilities several components share: clip timestamps to sample ranges, special-token
// trimming, the comparison form of a text, batch-outcome flattening, the model-folder listing
// step and the performance signposters of the model steps.
// Every table is made once, on first use, thread-safely; every function is thread-safe.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/log/log.hpp"
#include "speech/model/model_support.hpp"

namespace vostrane {

struct Constants {
  Constants() = delete;

  // Most frames read from an audio file in one read (30 s at 44,100 frames per second).
  static constexpr std::uint32_t defaultAudioReadFrameSize = 1'323'000;
  // Most tokens the text decoder produces for one window.
  static constexpr int maxTokenContext = 224;
  static constexpr std::string_view defaultLanguageCode = "en";
  // Samples in one model window (30 s at 16,000 samples per second).
  static constexpr int defaultWindowSamples = 480'000;
  // " ' “ ¡ ¿ ( [ { -
  static constexpr std::string_view defaultPrependPunctuations = "\"'\u201C\u00A1\u00BF([{-";
  // " ' . 。 , ， ! ！ ? ？ : ： ” ) ] } 、
  static constexpr std::string_view defaultAppendPunctuations = "\"'.\u3002,\uFF0C!\uFF01?\uFF1F:\uFF1A\u201D)]}\u3001";
  // The model-support file of a model repository.
  static constexpr std::string_view defaultRemoteConfigName = "config.json";
  // The model hub's base address.
  static constexpr std::string_view defaultRemoteEndpoint = "https://huggingface.co";

  // 112 lower-case language names mapped to their codes.
  static const std::map<std::string, std::string>& languages();
  // The 100 distinct codes of languages().
  static const std::set<std::string>& languageCodes();
  // The built-in device-support table.
  static const ModelSupportConfig& fallbackModelSupportConfig();
  // Every supported model folder of the built-in table (22 names, first occurrence order).
  static const std::vector<std::string>& knownModels();
};

// The (start, end) sample-index pairs of clip timestamps in seconds for audio of `sampleCount`
// samples: each timestamp times 16000 in float arithmetic, rounded half away from zero; no
// timestamps means [0]; an odd count gets sampleCount appended; the list is read in pairs.
// No sorting, clamping or validation (pairs beyond the audio or reversed are passed on).
// A non-finite timestamp or one beyond the integer range saturates instead of failing.
std::vector<std::pair<std::int64_t, std::int64_t>> clipTimestampsToSampleIndices(
    const std::vector<float>& clipTimestamps, std::int64_t sampleCount);

// `text` with every leading and trailing "<", "|" or ">" removed ("<|en|>" -> "en").
std::string trimmingSpecialTokenCharacters(std::string_view text);

// The comparison form of a text: lower-cased, "-" replaced by a space, punctuation (Unicode P*)
// removed, runs of spaces collapsed to one, whitespace and line breaks trimmed at both ends.
std::string normalized(std::string_view text);

// The model-folder listing step: each name with at most one trailing "/" removed, in order.
std::vector<std::string> formatModelFolderNames(const std::vector<std::string>& names);

// Batch outcome flattening: a success gives its value, an error gives absent; order kept.
template <class T>
std::vector<std::optional<T>> flattenOutcomes(const std::vector<std::variant<T, std::exception_ptr>>& outcomes) {
  std::vector<std::optional<T>> out;
  out.reserve(outcomes.size());
  for (const auto& outcome : outcomes) {
    if (const T* value = std::get_if<T>(&outcome)) {
      out.emplace_back(*value);
    } else {
      out.emplace_back(std::nullopt);
    }
  }
  return out;
}

// The signposters of the model steps (loggers whose intervals are timed with
// platform::log::SignpostInterval), each made once on first use. Subsystem
// "com.velmoria.vostrane"; categories "FeatureExtractor", "AudioEncoding", "TranscribeTask".
struct Signposters {
  Signposters() = delete;
  static const platform::log::Logger& featureExtractor();
  static const platform::log::Logger& audioEncoding();
  static const platform::log::Logger& transcribeTask();
};

}  // namespace vostrane
