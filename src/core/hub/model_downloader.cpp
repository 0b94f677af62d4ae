#include "core/hub/model_downloader.hpp"

#include <system_error>
#include <utility>

#include "core/hub/hub_snapshot.hpp"
#include "core/logging.hpp"
#include "core/model_utilities.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig(std::nullopt, std::move(repoName), std::move(modelToken), std::nullopt,
                                          useBackgroundSession, std::move(endpoint), std::move(revision))) {}

std::optional<std::filesystem::path> ModelDownloader::resolvedDownloadBase(
    const std::optional<std::filesystem::path>& downloadBase) const {
  if (downloadBase) return downloadBase;
  if (config_.downloadBase()) return std::filesystem::path(*config_.downloadBase());
  return std::nullopt;
}

HubApi ModelDownloader::makeHubApi(const std::optional<std::filesystem::path>& downloadBase,
                                   std::optional<bool> useOfflineMode) const {
  return HubApi(resolvedDownloadBase(downloadBase), config_.modelToken(), config_.endpoint(),
                config_.useBackgroundSession(), useOfflineMode);
}

std::optional<std::filesystem::path> ModelDownloader::modelURLIfExists(const std::filesystem::path& folder,
                                                                       std::string_view name) {
  std::filesystem::path url = ModelUtilities::detectModelURL(folder, name);
  std::error_code error;
  if (std::filesystem::exists(url, error)) return url;
  return std::nullopt;
}

std::filesystem::path ModelDownloader::baseLocalRepoLocation(
    const std::optional<std::filesystem::path>& downloadBase) const {
  return makeHubApi(downloadBase, std::nullopt).repoDestination(repo());
}

std::filesystem::path ModelDownloader::localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) {
  return baseLocalRepoLocation(downloadBase);
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& patterns,
                                                         const std::optional<std::filesystem::path>& downloadBase,
                                                         std::stop_token stopToken) {
  const HubApi hub = makeHubApi(downloadBase, std::nullopt);
  return getFilenames(hub, repo(), config_.revision(), patterns, std::move(stopToken));
}

std::filesystem::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                                     const std::optional<std::filesystem::path>& downloadBase,
                                                     std::optional<bool> useOfflineMode, std::stop_token stopToken) {
  const std::string pattern = modelInfo.downloadPattern();
  const HubApi hub = makeHubApi(downloadBase, useOfflineMode);
  // Offline, the local copy is only verified: the verification names what is missing, and no
  // listing is asked of a hub that may be out of reach.
  const bool offline = useOfflineMode.value_or(false);
  if (offline) {
    Logging::debug("[ModelDownloader] Searching for models matching \"" + pattern + "\" in Repo(id: \"" +
                   config_.modelRepo() + "\", type: " + std::string(rawValue(HubApi::RepoType::models)) + ")");
  }
  Logging::debug(std::string("[ModelDownloader] Downloading model ") + pattern +
                 " with offline mode: " + (offline ? "true" : "false"));
  return snapshot(hub, repo(), config_.revision(), {pattern}, nullptr, std::move(stopToken));
}

std::filesystem::path ModelDownloader::resolveModel(std::string_view name, const ModelInfo& modelInfo,
                                                    const std::optional<std::filesystem::path>& modelFolder,
                                                    const std::optional<std::filesystem::path>& downloadBase,
                                                    bool download, const StateCallback& stateCallback,
                                                    std::stop_token stopToken) {
  const std::string x(name);
  std::optional<std::filesystem::path> folder = modelFolder;
  if (!folder && config_.modelFolder()) folder = std::filesystem::path(*config_.modelFolder());
  if (folder) {
    if (auto found = modelURLIfExists(modelInfo.modelURL(*folder), name)) {
      Logging::debug("[ModelDownloader] Found " + x + " in model folder");
      return *found;
    }
  }

  const std::optional<std::filesystem::path> base = resolvedDownloadBase(downloadBase);
  std::optional<std::filesystem::path> cachedRepo;
  try {
    cachedRepo = downloadModel(modelInfo, base, true, stopToken);
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    // Not in the cache (or not verifiable there): look further.
    Logging::debug("[ModelDownloader] No usable cached copy of " + x + " (" + error.what() + "); looking further.");
  } catch (...) {
    Logging::debug("[ModelDownloader] No usable cached copy of " + x + " (unknown error); looking further.");
  }
  if (cachedRepo) {
    if (auto found = modelURLIfExists(modelInfo.modelURL(*cachedRepo), name)) {
      Logging::debug("[ModelDownloader] Found existing " + x + " in cache");
      if (stateCallback) stateCallback(ModelState::downloaded);
      return *found;
    }
  }

  if (!download) throw ModelDownloaderError::modelUnavailable("No model found for " + x + " (download disabled)");

  if (stateCallback) stateCallback(ModelState::downloading);
  const std::filesystem::path repoFolder = downloadModel(modelInfo, base, std::nullopt, std::move(stopToken));
  if (auto found = modelURLIfExists(modelInfo.modelURL(repoFolder), name)) {
    Logging::debug("[ModelDownloader] Downloaded " + x);
    if (stateCallback) stateCallback(ModelState::downloaded);
    return *found;
  }
  throw ModelDownloaderError::modelUnavailable("No model found for " + x);
}

std::string ModelDownloader::resolveModelPath(std::string_view name, const ModelInfo& modelInfo,
                                              const std::optional<std::filesystem::path>& modelFolder,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const StateCallback& stateCallback, std::stop_token stopToken) {
  return resolveModel(name, modelInfo, modelFolder, downloadBase, download, stateCallback, std::move(stopToken))
      .string();
}

bool ModelDownloader::isPatternPresentLocally(const std::filesystem::path& repoDir, std::string_view pattern) {
  std::filesystem::path dir = repoDir;
  bool hasLiteralPiece = false;
  std::size_t start = 0;
  while (start <= pattern.size()) {
    std::size_t end = pattern.find('/', start);
    if (end == std::string_view::npos) end = pattern.size();
    const std::string_view piece = pattern.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    if (piece.find('*') != std::string_view::npos) break;
    dir /= std::string(piece);
    hasLiteralPiece = true;
  }
  if (!hasLiteralPiece) return false;

  std::error_code error;
  if (!std::filesystem::exists(dir, error)) return false;
  std::filesystem::directory_iterator entries(dir, error);
  if (error) return false;
  return entries != std::filesystem::directory_iterator();
}

std::filesystem::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                                   const std::optional<std::filesystem::path>& downloadBase,
                                                   bool download, const ProgressCallback& progressCallback,
                                                   std::stop_token stopToken) {
  const std::string& r = config_.modelRepo();
  const std::optional<std::filesystem::path> base = resolvedDownloadBase(downloadBase);
  const std::filesystem::path repoDir = baseLocalRepoLocation(base);

  bool present = true;
  for (const auto& pattern : patterns) {
    if (!isPatternPresentLocally(repoDir, pattern)) {
      present = false;
      break;
    }
  }
  if (present) {
    const HubApi offlineHub = makeHubApi(base, true);
    try {
      std::filesystem::path url = snapshot(offlineHub, repo(), config_.revision(), patterns, nullptr, stopToken);
      Logging::debug("[ModelDownloader] Found valid local cache at " + url.string());
      return url;
    } catch (const platform::sync::CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      Logging::debug("[ModelDownloader] Local cache for '" + r + "' didn't validate (" + error.what() +
                     "); re-resolving.");
    } catch (...) {
      Logging::debug("[ModelDownloader] Local cache for '" + r + "' didn't validate (unknown error); re-resolving.");
    }
  }

  if (!download) {
    throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" + r +
                                                 "' and download is disabled.");
  }

  const HubApi hub = makeHubApi(base, std::nullopt);
  Logging::info("[ModelDownloader] Downloading " + std::to_string(patterns.size()) + " model(s) from " + r + "...");
  std::filesystem::path url =
      snapshot(hub, repo(), config_.revision(), patterns, progressCallback, std::move(stopToken));
  Logging::info("[ModelDownloader] Download complete: " + url.string());
  return url;
}

}  // namespace noxtal
