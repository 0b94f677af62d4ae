// ModelDownloader: the policy layer over the hub client that a model-specific library (such as
// the diarization library) uses to find its models: a local model folder first, then the local
// hub cache, then a download.
//
// Two granularities:
//   per model (ModelInfo): resolveModel / resolveModelPath look in the model folder, then verify
//     the model's files in the local cache without any hub request, then download them,
//     reporting `downloaded` / `downloading` states through a callback;
//   per repository: resolveRepo tests the local cache for a set of glob patterns, verifies the
//     cached copy offline and downloads only when that fails.
// Every hub-using operation builds a fresh HubApi from the configuration (download base, token,
// endpoint, background flag; offline mode per operation). Log lines begin with
// "[ModelDownloader] ". The member functions are virtual so that a library can adjust one step.
//
// Thread-safety: the downloader holds only its immutable configuration; any number of
// operations may run at once (two downloads of one repository race on its files as two hub
// snapshots would).
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/hub/hub_api.hpp"
#include "core/hub/model_info.hpp"
#include "core/model_state.hpp"
#include "core/progress.hpp"

namespace noxtal {

class ModelDownloader {
 public:
  using ProgressCallback = std::function<void(const Progress&)>;
  using StateCallback = std::function<void(ModelState)>;

  explicit ModelDownloader(ModelDownloadConfig config);
  // A configuration without download base and model folder.
  ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                  std::string revision, bool useBackgroundSession);
  virtual ~ModelDownloader() = default;
  ModelDownloader(const ModelDownloader&) = delete;
  ModelDownloader& operator=(const ModelDownloader&) = delete;

  const ModelDownloadConfig& config() const { return config_; }

  // Brings the files of modelInfo.downloadPattern() into the local cache and returns the local
  // repository folder (not the model's folder: callers append ModelInfo::modelURL).
  // useOfflineMode true: only verifies the local copy (no hub request) and throws its
  // HubApiEnvironmentError (offlineModeError, fileIntegrityError, ...) when it does not hold the
  // model; false: always online; absent: the network monitor decides. Online, throws what the
  // hub snapshot throws (Hub::HubClientError, HubApiEnvironmentError, transfer errors,
  // platform::sync::CancellationError).
  virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                              const std::optional<std::filesystem::path>& downloadBase,
                                              std::optional<bool> useOfflineMode, std::stop_token stopToken = {});

  // <download base>/models/<repo id>: where the hub snapshot keeps the repository. The download
  // base is `downloadBase`, else config().downloadBase(), else the hub client's default. Never
  // throws for a valid configuration; touches nothing.
  virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase);

  // Path of the compiled model `name` (without extension) of `modelInfo`:
  //   1. in modelInfo.modelURL(modelFolder or config().modelFolder()) when it exists there (no
  //      callback, no hub request);
  //   2. in the local cache when its copy verifies offline (callback `downloaded`; no hub
  //      request; any failure of this step only means "not found");
  //   3. when `download` is true, by a download (callback `downloading`, then `downloaded`).
  // Throws ModelDownloaderError::modelUnavailable "No model found for <name> (download
  // disabled)" when step 3 is not allowed, "No model found for <name>" when the download holds
  // no such model, and the download's errors unchanged. `stateCallback` runs on this thread.
  virtual std::filesystem::path resolveModel(std::string_view name, const ModelInfo& modelInfo,
                                             const std::optional<std::filesystem::path>& modelFolder,
                                             const std::optional<std::filesystem::path>& downloadBase, bool download,
                                             const StateCallback& stateCallback, std::stop_token stopToken = {});
  // resolveModel(...) (the dynamic version) as a path string.
  virtual std::string resolveModelPath(std::string_view name, const ModelInfo& modelInfo,
                                       const std::optional<std::filesystem::path>& modelFolder,
                                       const std::optional<std::filesystem::path>& downloadBase, bool download,
                                       const StateCallback& stateCallback, std::stop_token stopToken = {});

  // The local repository folder holding every file of `patterns`. When each pattern's leading
  // literal folder exists in the cache and is not empty (see isPatternPresentLocally) and the
  // cached copy verifies offline, that folder is returned without any hub request. Otherwise,
  // with `download` true, the patterns are downloaded (progress through `progressCallback` when
  // set); with `download` false, throws ModelDownloaderError::modelUnavailable "No valid local
  // models found for repo '<repo>' and download is disabled.". Download errors pass unchanged.
  virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                            const std::optional<std::filesystem::path>& downloadBase, bool download,
                                            const ProgressCallback& progressCallback, std::stop_token stopToken = {});

  // The repository's file names matching `patterns` (all names without patterns), from the hub
  // listing of config().revision(). Throws the listing's errors.
  virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& patterns,
                                                  const std::optional<std::filesystem::path>& downloadBase,
                                                  std::stop_token stopToken = {});

  // ModelUtilities::detectModelURL(folder, name) when something exists there, else absent.
  virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                                std::string_view name);

  // The local-presence rule of one pattern: its leading run of "/"-separated pieces without "*"
  // (empty pieces dropped) must be non-empty and name, below `repoDir`, a readable folder with
  // at least one entry. "*/x/*" and a file name such as "config.json" therefore never pass.
  static bool isPatternPresentLocally(const std::filesystem::path& repoDir, std::string_view pattern);

 protected:
  // The download base argument, else the configured one, else absent.
  std::optional<std::filesystem::path> resolvedDownloadBase(
      const std::optional<std::filesystem::path>& downloadBase) const;
  // A hub client for this configuration.
  HubApi makeHubApi(const std::optional<std::filesystem::path>& downloadBase, std::optional<bool> useOfflineMode) const;
  HubApi::Repo repo() const { return HubApi::Repo{config_.modelRepo(), HubApi::RepoType::models}; }

 private:
  std::filesystem::path baseLocalRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const;

  const ModelDownloadConfig config_;
};

}  // namespace noxtal
