// HubApiWrapper: the hub client as the other libraries see it.
//
// The speech pipeline lists and downloads model repositories and finds their local folders
// through it; the tokenizer loader hands it to the language-model configuration loader. It holds
// one HubApi and forwards to it, adding no caching, retrying or error translation.
//
// Thread-safety: a value whose operations only read it; copies move freely between threads and
// any number of operations may run at once. shared() is built once per process, thread-safely.
#pragma once

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/hub/hub_api.hpp"
#include "core/hub/hub_repo.hpp"
#include "core/hub/hub_snapshot.hpp"

namespace noxtal {

class HubApiWrapper {
 public:
  using Repo = HubRepo;
  using RepoType = HubRepoType;

  // A copy of the process-wide wrapper, built on first use with no download base, token or
  // endpoint (so from the environment, see hub_api.hpp) and no background session.
  static HubApiWrapper shared();

  // impl = HubApi(downloadBase, hfToken, endpoint, useBackgroundSession) with the offline mode
  // left to the network monitor. Never fails.
  explicit HubApiWrapper(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                         std::optional<std::string> hfToken = std::nullopt,
                         std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false);
  // Wraps a client configured by the caller (a fixed offline mode, a test transport).
  explicit HubApiWrapper(HubApi impl) : impl_(std::move(impl)) {}

  const HubApi& impl() const { return impl_; }

  // noxtal::snapshot() on impl(); its result and errors unchanged.
  std::filesystem::path snapshot(const Repo& repo, std::string_view revision, const std::vector<std::string>& patterns,
                                 const SnapshotProgressHandler& progressHandler = nullptr,
                                 std::stop_token stopToken = {}) const;
  // noxtal::getFilenames() on impl(); its result and errors unchanged.
  std::vector<std::string> getFilenames(const Repo& repo, std::string_view revision,
                                        const std::vector<std::string>& patterns, std::stop_token stopToken = {}) const;
  // downloadBase / <type raw value> / <repo id>; no file-system access.
  std::filesystem::path localRepoLocation(const Repo& repo) const;

 private:
  HubApi impl_;
};

}  // namespace noxtal
