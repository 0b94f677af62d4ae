#include "core/hub/hub_snapshot.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>

#include "core/extensions.hpp"
#include "core/hub/hub_file_downloader.hpp"
#include "core/hub/network_monitor.hpp"
#include "core/hub/offline_verification.hpp"
#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {

using platform::json::Json;

void to_json(Json& json, const HubSibling& sibling) { json = Json{{"rfilename", sibling.rfilename}}; }

void from_json(const Json& json, HubSibling& sibling) {
  sibling.rfilename = platform::json::requireAs<std::string>(json, "rfilename");
}

void to_json(Json& json, const HubSiblingsResponse& response) {
  Json siblings = Json::array();
  for (const HubSibling& sibling : response.siblings) siblings.push_back(sibling);
  json = Json{{"siblings", std::move(siblings)}};
}

void from_json(const Json& json, HubSiblingsResponse& response) {
  const Json& siblings = platform::json::require(json, "siblings");
  if (!siblings.is_array()) throw platform::json::JsonError("wrong type for key \"siblings\": expected an array");
  response.siblings.clear();
  response.siblings.reserve(siblings.size());
  for (const Json& element : siblings) {
    HubSibling sibling;
    from_json(element, sibling);
    response.siblings.push_back(std::move(sibling));
  }
}

platform::net::Url repositoryListingUrl(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision) {
  const auto base = platform::net::Url::parse(hub.endpoint);
  if (!base || !base->isAbsolute()) throw Hub::HubClientError::parseError("Invalid hub endpoint: " + hub.endpoint);
  return base->appendingPathComponent("api")
      .appendingPathComponent(rawValue(repo.type))
      .appendingPath(repo.id)
      .appendingPathComponent("revision")
      .appendingPathComponent(revision);
}

std::vector<std::string> getFilenames(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision,
                                      const std::vector<std::string>& patterns, std::stop_token stopToken) {
  const platform::net::Url url = repositoryListingUrl(hub, repo, revision);
  const HubApi::HttpGetResult result = hub.httpGet(url, stopToken);
  const HubSiblingsResponse response = platform::json::parse(result.data).get<HubSiblingsResponse>();

  std::vector<std::string> listed;
  listed.reserve(response.siblings.size());
  for (const HubSibling& sibling : response.siblings) listed.push_back(sibling.rfilename);

  std::vector<std::string> names;
  if (patterns.empty()) {
    names = std::move(listed);
  } else {
    std::unordered_set<std::string> matched;
    for (const std::string& glob : patterns) {
      for (std::string& name : matching(std::span<const std::string>(listed), glob)) matched.insert(std::move(name));
    }
    // Listing order, each name once, so that downloads run in a repeatable order.
    for (const std::string& name : listed) {
      if (matched.erase(name) > 0) names.push_back(name);
    }
  }
  for (const std::string& name : names) {
    if (!isSafeRelativeFilename(name)) {
      throw Hub::HubClientError::parseError("Unsafe file name in repository listing: " + name);
    }
  }
  return names;
}

std::filesystem::path snapshot(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision,
                               const std::vector<std::string>& patterns, const SnapshotProgressHandler& progressHandler,
                               std::stop_token stopToken, platform::fs::FileSystem& fileSystem) {
  const std::filesystem::path repoDestination = hub.repoDestination(repo);
  const std::filesystem::path repoMetadataDestination = hub.repoMetadataDestination(repo);

  const bool offline =
      hub.useOfflineMode.has_value() ? *hub.useOfflineMode : NetworkMonitor::shared()->state().shouldUseOfflineMode();
  if (offline) {
    Logging::debug("[HubApi] Offline snapshot of", repo.id, ": verifying the local copy");
    return verifyOfflineSnapshot(repoDestination, repoMetadataDestination, patterns, fileSystem);
  }

  const std::vector<std::string> names = getFilenames(hub, repo, revision, patterns, stopToken);
  const auto overallProgress = Progress::make(static_cast<std::int64_t>(names.size()));
  for (const std::string& name : names) {
    platform::sync::throwIfStopped(stopToken);
    const auto fileProgress = Progress::makeChild(overallProgress, 100, 1);
    HubFileDownloader step{
        .hub = hub,
        .repo = repo,
        .revision = std::string(revision),
        .repoDestination = repoDestination,
        .repoMetadataDestination = repoMetadataDestination,
        .relativeFilename = name,
        .hfToken = hub.hfToken,
        .endpoint = hub.endpoint,
        .backgroundSession = hub.useBackgroundSession,
        .fileSystem = fileSystem,
    };
    step.download(fileProgress, overallProgress, progressHandler, stopToken);
    // A step may finish its file although the snapshot was cancelled meanwhile; the remaining
    // names are then missing, which must not look like a finished snapshot.
    platform::sync::throwIfStopped(stopToken);
    fileProgress->setCompletedUnitCount(100);
  }
  if (progressHandler) progressHandler(*overallProgress);
  return repoDestination;
}

}  // namespace noxtal
