#include "core/hub/hub_api_wrapper.hpp"

#include <utility>

namespace noxtal {

HubApiWrapper HubApiWrapper::shared() {
  static const HubApiWrapper instance;
  return instance;
}

HubApiWrapper::HubApiWrapper(std::optional<std::filesystem::path> downloadBase, std::optional<std::string> hfToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession)
    : impl_(std::move(downloadBase), std::move(hfToken), std::move(endpoint), useBackgroundSession, std::nullopt) {}

std::filesystem::path HubApiWrapper::snapshot(const Repo& repo, std::string_view revision,
                                              const std::vector<std::string>& patterns,
                                              const SnapshotProgressHandler& progressHandler,
                                              std::stop_token stopToken) const {
  return noxtal::snapshot(impl_, repo, revision, patterns, progressHandler, std::move(stopToken));
}

std::vector<std::string> HubApiWrapper::getFilenames(const Repo& repo, std::string_view revision,
                                                     const std::vector<std::string>& patterns,
                                                     std::stop_token stopToken) const {
  return noxtal::getFilenames(impl_, repo, revision, patterns, std::move(stopToken));
}

std::filesystem::path HubApiWrapper::localRepoLocation(const Repo& repo) const { return impl_.repoDestination(repo); }

}  // namespace noxtal
