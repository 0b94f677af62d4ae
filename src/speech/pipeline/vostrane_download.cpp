// Vostrane's static model discovery and download operations.
#include <exception>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "core/extensions.hpp"
#include "core/logging.hpp"
#include "platform/json/json.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/model_utilities.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {

namespace fs = std::filesystem;
using noxtal::HubApiWrapper;
using noxtal::Logging;

namespace {

HubApiWrapper::Repo modelsRepo(const std::string& id) { return HubApiWrapper::Repo{id, noxtal::HubRepoType::models}; }

std::string inQuotes(const std::string& text) { return "\"" + text + "\""; }

// The set of model folders of a listing: the names' first path components, plain names only
// (a listing naming "." or ".." would point at the repository or above it).
std::set<std::string> modelFolders(const std::vector<std::string>& files) {
  std::set<std::string> folders;
  for (const std::string& file : files) {
    const std::string folder = file.substr(0, file.find('/'));
    if (folder.empty() || folder == "." || folder == ".." || folder.find('\\') != std::string::npos) {
      Logging::debug("Ignoring model folder " + inQuotes(folder) + " of " + inQuotes(file));
      continue;
    }
    folders.insert(folder);
  }
  return folders;
}

std::string readWholeFile(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) throw std::runtime_error("Cannot read " + file.string());
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  if (stream.bad()) throw std::runtime_error("Cannot read " + file.string());
  return bytes.str();
}

}  // namespace

ModelSupport Vostrane::recommendedModels() {
  const std::string name = deviceName();
  Logging::debug("Running on " + name);
  return ModelUtilities::modelSupport(name);
}

ModelSupportConfig Vostrane::fetchModelSupportConfig(const std::string& repo, const std::optional<fs::path>& downloadBase,
                                                     const std::optional<std::string>& token,
                                                     const std::string& remoteConfigName, const std::string& endpoint,
                                                     std::stop_token stopToken) {
  const HubApiWrapper hub(downloadBase, token, endpoint, false);
  const auto repository = modelsRepo(repo);
  Logging::debug("Searching for config file matching " + inQuotes(remoteConfigName) + " in " + repo);
  try {
    const auto files = hub.getFilenames(repository, "main", {remoteConfigName}, stopToken);
    if (files.empty()) {
      Logging::info("No config files found matching " + inQuotes(remoteConfigName) + " in " + repo + ", using fallback");
      return fallbackModelSupportConfig();
    }
    if (files.size() > 1) {
      std::string list = "[";
      for (std::size_t i = 0; i < files.size(); ++i) list += (i ? ", " : "") + inQuotes(files[i]);
      list += "]";
      Logging::info("Multiple config files found (" + std::to_string(files.size()) + "): " + list +
                    ". Using first matching file: " + files.front());
    }
    const std::string& chosen = files.front();
    const fs::path folder = hub.snapshot(repository, "main", {chosen}, nullptr, stopToken);
    return ModelSupportConfig::fromJson(platform::json::parse(readWholeFile(folder / chosen)));
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    Logging::error(std::string("Fetch model support config failed with error: ") + e.what());
    return fallbackModelSupportConfig();
  }
}

ModelSupport Vostrane::recommendedRemoteModels(const std::string& repo, const std::optional<fs::path>& downloadBase,
                                               const std::optional<std::string>& token,
                                               const std::string& remoteConfigName, const std::string& endpoint,
                                               std::stop_token stopToken) {
  return fetchModelSupportConfig(repo, downloadBase, token, remoteConfigName, endpoint, std::move(stopToken))
      .modelSupport(deviceName());
}

std::vector<std::string> Vostrane::fetchAvailableModels(const std::string& repo, const std::vector<std::string>& matching,
                                                        const std::optional<fs::path>& downloadBase,
                                                        const std::optional<std::string>& token,
                                                        const std::string& remoteConfigName,
                                                        const std::string& endpoint, std::stop_token stopToken) {
  const ModelSupport support =
      recommendedRemoteModels(repo, downloadBase, token, remoteConfigName, endpoint, std::move(stopToken));
  std::set<std::string> names;
  for (const std::string& glob : matching) {
    for (std::string& name : noxtal::matching(support.supported, glob)) names.insert(std::move(name));
  }
  return ModelUtilities::formatModelFiles(std::vector<std::string>(names.begin(), names.end()));
}

fs::path Vostrane::download(const std::string& variant, const std::optional<fs::path>& downloadBase,
                            bool useBackgroundSession, const std::string& repo, const std::optional<std::string>& token,
                            const std::string& endpoint, const DownloadProgressCallback& progressCallback,
                            std::stop_token stopToken) {
  const HubApiWrapper hub(downloadBase, token, endpoint, useBackgroundSession);
  const auto repository = modelsRepo(repo);
  try {
    std::string pattern = "*" + variant + "/*";
    Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + repo);
    std::set<std::string> folders = modelFolders(hub.getFilenames(repository, "main", {pattern}, stopToken));
    if (folders.size() != 1) {
      if (folders.size() > 1) Logging::debug("Multiple models found matching " + inQuotes(pattern));
      pattern = "*openai*" + variant + "/*";
      Logging::debug("Searching for models matching " + inQuotes(pattern) + " in " + repo);
      folders = modelFolders(hub.getFilenames(repository, "main", {pattern}, stopToken));
    }
    if (folders.size() != 1) {
      throw WhisperError::modelsUnavailable(std::string(folders.empty() ? "No" : "Multiple") +
                                            " models found matching " + inQuotes(pattern) + " in " + repo);
    }
    const std::string folder = *folders.begin();
    Logging::debug("Downloading model " + folder + "...");
    const fs::path root = hub.snapshot(
        repository, "main", {pattern},
        [&](const noxtal::Progress& progress) {
          Logging::debug(progress.debugDescription());
          if (progressCallback) progressCallback(progress);
        },
        stopToken);
    return root / folder;
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    Logging::debug(e.what());
    throw;
  }
}

}  // namespace vostrane
