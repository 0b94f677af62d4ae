#include "core/tokenizers/auto_tokenizer.hpp"

#include <exception>
#include <functional>
#include <unordered_map>
#include <utility>

#include "core/hub/hub_errors.hpp"
#include "core/hub/language_model_configuration.hpp"
#include "core/tokenizers/llama_tokenizer.hpp"
#include "core/tokenizers/pretrained_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "platform/text/text.hpp"

namespace noxtal::tokenizers {

namespace fs = std::filesystem;

namespace {

using TokenizerMaker = std::shared_ptr<const Tokenizer> (*)(const Config&, const Config&, bool);

template <class T>
std::shared_ptr<const Tokenizer> make(const Config& tokenizerConfig, const Config& tokenizerData, bool strict) {
  return std::make_shared<const T>(tokenizerConfig, tokenizerData, strict);
}

const std::unordered_map<std::string, TokenizerMaker>& tokenizerClasses() {
  static const std::unordered_map<std::string, TokenizerMaker> classes = {
      {"LlamaTokenizer", &make<LlamaPreTrainedTokenizer>},
  };
  return classes;
}

std::string withoutFast(std::string name) {
  for (std::size_t at = name.find("Fast"); at != std::string::npos; at = name.find("Fast", at)) name.erase(at, 4);
  return name;
}

// Why a configuration file of `folder` cannot be read as a tokenizer file, naming the file;
// absent when every file reads.
std::optional<std::string> unreadableFile(const fs::path& folder) {
  const fs::path data = folder / "tokenizer.json";
  std::error_code error;
  if (!fs::exists(data, error)) return "The tokenizer file " + data.string() + " is missing";
  for (const char* name : {"tokenizer.json", "tokenizer_config.json", "config.json", "chat_template.json"}) {
    const fs::path file = folder / name;
    if (!fs::exists(file, error)) continue;
    std::string bytes;
    try {
      bytes = platform::fs::readFile(file);
    } catch (const std::exception& e) {
      return "The tokenizer file " + file.string() + " cannot be read: " + e.what();
    }
    Config parsed;
    try {
      parsed = Config::parse(bytes);
    } catch (const platform::json::JsonError& e) {
      return "The tokenizer file " + file.string() + " is not JSON: " + e.what();
    }
    if (parsed.kind() != Config::Kind::dictionary) {
      return "The tokenizer file " + file.string() + " does not hold a JSON object";
    }
  }
  const fs::path jinja = folder / "chat_template.jinja";
  if (fs::exists(jinja, error)) {
    try {
      if (!platform::text::isValidUtf8(platform::fs::readFile(jinja))) {
        return "The tokenizer file " + jinja.string() + " is not UTF-8 text";
      }
    } catch (const std::exception& e) {
      return "The tokenizer file " + jinja.string() + " cannot be read: " + e.what();
    }
  }
  return std::nullopt;
}

// Waits for the configuration's files and builds the tokenizer from them (the tokenizer data
// is read in place, never copied). A failure to read the files as tokenizer files becomes
// invalidConfiguration naming the file; every other error of the fetch passes unchanged.
std::shared_ptr<const Tokenizer> build(const LanguageModelConfigurationFromHub& configuration, const fs::path& folder,
                                       bool strict, bool byClassName) {
  std::optional<Config> tokenizerConfig;
  const Config* tokenizerData = nullptr;
  try {
    tokenizerConfig = configuration.tokenizerConfig();
    if (!tokenizerConfig) throw TokenizerError::missingConfig();
    tokenizerData = &configuration.tokenizerData();
  } catch (const Hub::HubClientError& error) {
    switch (error.errorCase()) {
      case Hub::HubClientErrorCase::configurationMissing:
      case Hub::HubClientErrorCase::jsonSerialization:
      case Hub::HubClientErrorCase::parse:
      case Hub::HubClientErrorCase::fileSystemError:
        if (std::optional<std::string> reason = unreadableFile(folder)) {
          throw TokenizerError::invalidConfiguration(std::move(*reason));
        }
        break;
      default:
        break;
    }
    throw;
  }
  return makePreTrainedTokenizer(*tokenizerConfig, *tokenizerData, strict, byClassName);
}

}  // namespace

std::shared_ptr<const Tokenizer> makePreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                                                         bool strict, bool byClassName) {
  if (byClassName) {
    if (const BinaryDistinctString* name = tokenizerConfig["tokenizerClass"].stringValue()) {
      const auto found = tokenizerClasses().find(withoutFast(name->string()));
      if (found != tokenizerClasses().end()) return found->second(tokenizerConfig, tokenizerData, strict);
    }
  }
  return make<PreTrainedTokenizer>(tokenizerConfig, tokenizerData, strict);
}

std::shared_ptr<const Tokenizer> makePreTrainedTokenizer(std::string_view tokenizerJson,
                                                         std::string_view tokenizerConfigJson, bool strict) {
  auto document = [](std::string_view bytes, const char* name) {
    Config parsed;
    try {
      parsed = Config::parse(bytes);
    } catch (const platform::json::JsonError& e) {
      throw TokenizerError::invalidConfiguration(std::string("The tokenizer file ") + name + " is not JSON: " + e.what());
    }
    if (parsed.kind() != Config::Kind::dictionary) {
      throw TokenizerError::invalidConfiguration(std::string("The tokenizer file ") + name +
                                                 " does not hold a JSON object");
    }
    return parsed;
  };
  const Config data = document(tokenizerJson, "tokenizer.json");
  const Config config = document(tokenizerConfigJson, "tokenizer_config.json");
  return makePreTrainedTokenizer(config, data, strict, false);
}

TokenizerWrapper AutoTokenizerWrapper::fromPretrained(const std::string& repoId, std::optional<HubApiWrapper> hubApi,
                                                      bool strict, std::stop_token stopToken) {
  const HubApiWrapper hub = hubApi ? *hubApi : HubApiWrapper::shared();
  const fs::path folder = hub.localRepoLocation(HubApiWrapper::Repo{repoId, HubApiWrapper::RepoType::models});
  const auto configuration = LanguageModelConfigurationFromHub::fromHub(repoId, "main", hub, std::move(stopToken));
  return TokenizerWrapper(build(configuration, folder, strict, true));
}

TokenizerWrapper AutoTokenizerWrapper::fromModelFolder(const fs::path& modelFolder, std::optional<HubApiWrapper>,
                                                       bool strict, std::stop_token stopToken) {
  const auto configuration = LanguageModelConfigurationFromHub::fromFolder(modelFolder, std::move(stopToken));
  return TokenizerWrapper(build(configuration, modelFolder, strict, false));
}

}  // namespace noxtal::tokenizers
