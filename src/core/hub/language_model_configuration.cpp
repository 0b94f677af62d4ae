#include "core/hub/language_model_configuration.hpp"

#include <exception>
#include <future>
#include <thread>
#include <utility>

#include "core/logging.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "platform/net/http.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/text/text.hpp"

namespace noxtal {

namespace fs = std::filesystem;

namespace {

bool isValidUtf8(const std::string& bytes) { return platform::text::toUtf8(platform::text::toUtf16(bytes)) == bytes; }

std::optional<std::string> chatTemplate(const fs::path& folder) {
  const fs::path jinja = folder / "chat_template.jinja";
  if (fs::exists(jinja)) {
    std::string text = platform::fs::readFile(jinja);
    if (!isValidUtf8(text)) {
      throw Hub::HubClientError::fileSystemError("The file " + jinja.string() + " is not valid UTF-8 text");
    }
    return text;
  }
  const fs::path json = folder / "chat_template.json";
  if (fs::exists(json)) {
    const Config config = hubConfiguration(json);
    if (const BinaryDistinctString* text = config["chatTemplate"].stringValue()) return text->string();
  }
  return std::nullopt;
}

LanguageModelConfigurationFromHub::Configurations readConfigurationsUntranslated(const fs::path& folder) {
  LanguageModelConfigurationFromHub::Configurations result;
  const fs::path modelConfig = folder / "config.json";
  if (fs::exists(modelConfig)) result.modelConfig = hubConfiguration(modelConfig);

  const fs::path tokenizerData = folder / "tokenizer.json";
  if (!fs::exists(tokenizerData)) throw Hub::HubClientError::configurationMissing("tokenizer.json");
  result.tokenizerData = hubConfiguration(tokenizerData);

  const fs::path tokenizerConfig = folder / "tokenizer_config.json";
  if (fs::exists(tokenizerConfig)) result.tokenizerConfig = hubConfiguration(tokenizerConfig);

  if (auto text = chatTemplate(folder)) {
    Config templateValue{std::string_view(*text)};
    const Config::Dictionary* existing = result.tokenizerConfig ? result.tokenizerConfig->dictionaryValue() : nullptr;
    Config::Dictionary dictionary = existing ? *existing : Config::Dictionary{};
    dictionary.insert_or_assign(BinaryDistinctString("chat_template"), std::move(templateValue));
    result.tokenizerConfig = Config(std::move(dictionary));
  }
  return result;
}

}  // namespace

Config hubConfiguration(const fs::path& fileURL) {
  const std::string bytes = platform::fs::readFile(fileURL);
  Config config;
  try {
    config = Config::parse(bytes);
  } catch (const platform::json::JsonError&) {
    throw Hub::HubClientError::jsonSerialization(
        fileURL, "JSON Serialization failed for " + fileURL.string() +
                     ". Please verify that you have set the HF_TOKEN environment variable.");
  }
  if (config.kind() != Config::Kind::dictionary) throw Hub::HubClientError::parse();
  return config;
}

std::string capitalized(std::string_view text) {
  const std::u16string units = platform::text::toUtf16(text);
  std::u16string out;
  out.reserve(units.size());
  for (const platform::text::Range& word : platform::text::wordRanges(units)) {
    const std::u16string_view piece = std::u16string_view(units).substr(word.begin, word.end - word.begin);
    // The first code point (one or two units) goes upper case, the rest lower case.
    const std::size_t firstLength = (piece.size() > 1 && piece[0] >= 0xD800 && piece[0] <= 0xDBFF) ? 2 : 1;
    out += platform::text::toUpper(piece.substr(0, firstLength));
    out += platform::text::toLower(piece.substr(firstLength));
  }
  return platform::text::toUtf8(out);
}

const std::vector<std::string>& LanguageModelConfigurationFromHub::fileNames() {
  static const std::vector<std::string> names = {"config.json", "tokenizer_config.json", "chat_template.jinja",
                                                 "chat_template.json", "tokenizer.json"};
  return names;
}

// The background work of one configuration and its result. The work thread stops when the
// caller's token or the destructor asks it to; the destructor then joins it.
class LanguageModelConfigurationFromHub::Work {
 public:
  Work(Task task, std::stop_token callerToken) : result_(promise_.get_future().share()) {
    thread_ = std::jthread([this, task = std::move(task), callerToken = std::move(callerToken)](std::stop_token own) {
      std::stop_source linked;
      std::stop_callback fromOwner(own, [&linked] { linked.request_stop(); });
      std::stop_callback fromCaller(callerToken, [&linked] { linked.request_stop(); });
      try {
        platform::sync::throwIfStopped(linked.get_token());
        promise_.set_value(task(linked.get_token()));
      } catch (...) {
        promise_.set_exception(std::current_exception());
      }
    });
  }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  // The jthread member asks the work to stop and joins it.
  ~Work() = default;

  const Configurations& get() const { return result_.get(); }

 private:
  std::promise<Configurations> promise_;
  std::shared_future<Configurations> result_;
  std::jthread thread_;  // declared last: stopped and joined before the promise goes
};

LanguageModelConfigurationFromHub::LanguageModelConfigurationFromHub(Task task, std::stop_token stopToken)
    : work_(std::make_shared<Work>(std::move(task), std::move(stopToken))) {}

LanguageModelConfigurationFromHub LanguageModelConfigurationFromHub::fromHub(std::string modelName,
                                                                             std::string revision,
                                                                             std::optional<HubApiWrapper> hubApi,
                                                                             std::stop_token stopToken) {
  HubApi hub = hubApi ? hubApi->impl() : HubApiWrapper::shared().impl();
  auto fetch = [hub = std::move(hub), modelName = std::move(modelName),
                revision = std::move(revision)](std::stop_token token) {
    try {
      const HubApi::Repo repo{modelName, HubApi::RepoType::models};
      const fs::path folder = snapshot(hub, repo, revision, fileNames(), nullptr, token);
      platform::sync::throwIfStopped(token);
      return readConfigurations(folder);
    } catch (const platform::net::TransportError& error) {
      // A transfer cut short by our own stop request is a cancellation, not a network fault.
      platform::sync::throwIfStopped(token);
      throw Hub::HubClientError::networkError(error);
    }
  };
  return LanguageModelConfigurationFromHub(std::move(fetch), std::move(stopToken));
}

LanguageModelConfigurationFromHub LanguageModelConfigurationFromHub::fromFolder(fs::path modelFolder,
                                                                                std::stop_token stopToken) {
  auto read = [folder = std::move(modelFolder)](std::stop_token) { return readConfigurations(folder); };
  return LanguageModelConfigurationFromHub(std::move(read), std::move(stopToken));
}

LanguageModelConfigurationFromHub::Configurations LanguageModelConfigurationFromHub::readConfigurations(
    const fs::path& modelFolder) {
  try {
    return readConfigurationsUntranslated(modelFolder);
  } catch (const Hub::HubClientError&) {
    throw;
  } catch (const std::exception& error) {
    throw Hub::HubClientError::fileSystemError(error);
  }
}

const LanguageModelConfigurationFromHub::Configurations& LanguageModelConfigurationFromHub::configurations() const {
  return work_->get();
}

std::optional<Config> LanguageModelConfigurationFromHub::tokenizerConfig() const {
  const Configurations& all = configurations();
  if (!all.tokenizerConfig) return std::nullopt;
  const Config& config = *all.tokenizerConfig;
  if (config["tokenizerClass"].stringValue() != nullptr) return config;
  const std::optional<std::string> type = modelType();
  if (!type) return config;
  Config::Dictionary dictionary = config.dictionaryValue() ? *config.dictionaryValue() : Config::Dictionary{};
  dictionary.insert_or_assign(BinaryDistinctString("tokenizer_class"),
                              Config(std::string_view(capitalized(*type) + "Tokenizer")));
  return Config(std::move(dictionary));
}

std::optional<std::string> LanguageModelConfigurationFromHub::modelType() const {
  const Configurations& all = configurations();
  if (!all.modelConfig) return std::nullopt;
  if (const BinaryDistinctString* type = (*all.modelConfig)["modelType"].stringValue()) return type->string();
  return std::nullopt;
}

const Config& LanguageModelConfigurationFromHub::tokenizerData() const { return configurations().tokenizerData; }

}  // namespace noxtal
