// LanguageModelConfigurationFromHub: the configuration files a tokenizer needs, from a hub
// repository or a local model folder.
//
// The tokenizer loaders create one with a repository id (fetching "config.json",
// "tokenizer_config.json", "chat_template.jinja", "chat_template.json" and "tokenizer.json" into
// the local cache through a snapshot) or with a model folder, then read tokenizerConfig() and
// tokenizerData(). The work starts in the background as soon as the object exists; every reader
// waits for the same result or error. Also here: reading one JSON configuration file into a
// Config (hubConfiguration), which passes the file's bytes to the JSON reader unchanged, so
// strings that begin with U+FEFF keep exactly their own marks.
//
// Thread-safety: copies share the one background result; all members may be called from any
// number of threads at once. The background work runs on one thread that receives the
// caller's stop token; destroying the last copy cancels the work and then joins its thread, so
// no work outlives the object.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/hub/hub_api.hpp"
#include "core/hub/hub_api_wrapper.hpp"

namespace noxtal {

// Reads one JSON configuration file into a Config. Throws: the file read's error unchanged
// (platform::fs::FileError); Hub::HubClientError::jsonSerialization ("JSON Serialization failed
// for <file URL>. Please verify that you have set the HF_TOKEN environment variable.") when the
// bytes are not JSON; Hub::HubClientError::parse when the top level is not an object.
Config hubConfiguration(const std::filesystem::path& fileURL);

class LanguageModelConfigurationFromHub {
 public:
  struct Configurations {
    std::optional<Config> modelConfig;      // "config.json", absent when missing
    std::optional<Config> tokenizerConfig;  // "tokenizer_config.json" with the chat template added
    Config tokenizerData;                   // "tokenizer.json"
  };

  // The file names a hub fetch asks for (as snapshot patterns), in this order.
  static const std::vector<std::string>& fileNames();

  // Starts fetching the files of the model repository `modelName` at `revision` through
  // `hubApi` (shared() when absent) and reading them. Returns at once; never fails (errors reach
  // the readers). When `stopToken` is triggered, or the last copy is destroyed, the fetch stops
  // and the readers get platform::sync::CancellationError.
  static LanguageModelConfigurationFromHub fromHub(std::string modelName, std::string revision = "main",
                                                   std::optional<HubApiWrapper> hubApi = std::nullopt,
                                                   std::stop_token stopToken = {});
  // Starts reading the files in `modelFolder`. Returns at once; never fails. A triggered
  // `stopToken` before the read begins gives the readers platform::sync::CancellationError.
  static LanguageModelConfigurationFromHub fromFolder(std::filesystem::path modelFolder,
                                                      std::stop_token stopToken = {});

  // Reads the configuration files of a folder now:
  //   "config.json" -> modelConfig when present;
  //   "tokenizer.json" -> tokenizerData (missing: Hub::HubClientError::configurationMissing
  //   "tokenizer.json");
  //   "tokenizer_config.json" -> tokenizerConfig when present;
  //   a chat template (the whole of "chat_template.jinja", else the string "chatTemplate" /
  //   "chat_template" of "chat_template.json") is written into tokenizerConfig as
  //   "chat_template", or becomes a configuration of its own when tokenizerConfig is absent or
  //   not a dictionary.
  // Throws Hub::HubClientError as hubConfiguration does; every other failure (unreadable file,
  // a ".jinja" file that is not UTF-8) as Hub::HubClientError::fileSystemError.
  static Configurations readConfigurations(const std::filesystem::path& modelFolder);

  // The result of the background work. Waits for it; throws its error: from a hub fetch, a
  // transport failure becomes Hub::HubClientError::networkError, everything else (the hub
  // client's own errors, CancellationError, readConfigurations' errors) is passed unchanged.
  const Configurations& configurations() const;

  // The tokenizer configuration; when it names no "tokenizerClass"/"tokenizer_class" string and
  // the model configuration has a "modelType" string, a copy with "tokenizer_class" =
  // capitalized model type + "Tokenizer" ("whisper" -> "WhisperTokenizer"); the stored value is
  // not changed. Absent when there is none. Waits; throws as configurations().
  std::optional<Config> tokenizerConfig() const;
  // The model configuration's "modelType" string, else absent. Waits; throws as configurations().
  std::optional<std::string> modelType() const;
  // The tokenizer definition. Waits; throws as configurations().
  const Config& tokenizerData() const;

 private:
  class Work;
  using Task = std::function<Configurations(std::stop_token)>;
  // Starts `task` on the work thread, linked to `stopToken`.
  LanguageModelConfigurationFromHub(Task task, std::stop_token stopToken);

  std::shared_ptr<Work> work_;  // never null; shared by copies
};

// "whisper" -> "Whisper", "t5-base" -> "T5-Base": the first letter of every word upper case, the
// other letters lower case (Unicode word boundaries).
std::string capitalized(std::string_view text);

}  // namespace noxtal
