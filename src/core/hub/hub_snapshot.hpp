// Repository listing and snapshot download: the hub client's operations that bring the local
// copy of a repository up to date.
//
// getFilenames() asks the hub API for a revision's file list and keeps the names that match the
// caller's glob patterns. snapshot() makes the repository folder (HubApi::repoDestination) hold
// the current version of every matching file: online it lists the repository and runs the
// per-file download step (HubFileDownloader) for each name in turn; offline (by the client's
// setting or because the shared network monitor says so) it verifies the local copy instead
// (offline_verification.hpp) and never contacts the hub.
//
// Names from the hub are checked before anything is written: an empty or absolute name, one
// with a backslash or with an empty, "." or ".." component is refused, so no file is created
// outside the repository folder and its metadata folder.
//
// Thread-safety: the functions keep no state; any number may run at once. Two snapshots of the
// same repository in one process share the transfer of a file that both fetch at the same time
// (downloader.hpp) and both end with the whole files.
#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/hub/hub_api.hpp"
#include "core/progress.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "platform/net/url.hpp"

namespace noxtal {

// The part of the hub's repository-info answer that the client reads.
struct HubSibling {
  std::string rfilename;  // path relative to the repository root, "/"-separated
  bool operator==(const HubSibling&) const = default;
};

struct HubSiblingsResponse {
  std::vector<HubSibling> siblings;
  bool operator==(const HubSiblingsResponse&) const = default;
};

// JSON: {"rfilename": text} and {"siblings": [...]}; other keys are ignored on reading. Reading
// throws platform::json::JsonError for a missing key or a value of the wrong type.
void to_json(platform::json::Json& json, const HubSibling& sibling);
void from_json(const platform::json::Json& json, HubSibling& sibling);
void to_json(platform::json::Json& json, const HubSiblingsResponse& response);
void from_json(const platform::json::Json& json, HubSiblingsResponse& response);

// Called with the overall progress of a snapshot (total = number of files; each file a child
// of one unit). May run on the thread that reports the transfer.
using SnapshotProgressHandler = std::function<void(const Progress& overallProgress)>;

// endpoint/api/<type>/<repo id>/revision/<revision as one percent-encoded segment>
// ("refs/pr/1" becomes "refs%2Fpr%2F1"). Throws Hub::HubClientError::parseError when the
// endpoint is not an absolute URL.
platform::net::Url repositoryListingUrl(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision);

// The repository-relative names of the revision's files. Without patterns: every name in the
// order of the hub's answer. With patterns: the names that match at least one pattern (shell
// glob as core `matching`), each once, in the order of the hub's answer.
// Throws: what HubApi::httpGet throws (fileNotFound with the revision for a 404,
// authorizationRequired, httpStatusCode, downloadError, CancellationError);
// platform::json::JsonError for an answer that is not JSON or lacks "siblings"/"rfilename";
// Hub::HubClientError::parseError for an unsafe name among those returned.
std::vector<std::string> getFilenames(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision,
                                      const std::vector<std::string>& patterns, std::stop_token stopToken = {});

// Brings the local copy of the matching files up to date and returns the repository folder
// (which need not exist when nothing matched).
// Offline (hub.useOfflineMode true, or absent and the shared monitor reports no usable path):
// returns verifyOfflineSnapshot() of the repository and metadata folders, without calling
// `progressHandler`.
// Online: lists the files (getFilenames), then runs HubFileDownloader::download() for each name,
// strictly one after another, each with a 100-unit file progress attached to the overall
// progress for one unit; calls `progressHandler` (when set) during transfers and once at the
// end with the overall progress (0 of 0 for an empty list).
// Throws the first error of the listing or of a per-file step unchanged (files finished before
// stay on disk with their metadata; later names are not processed), and
// platform::sync::CancellationError when `stopToken` is triggered (also when the step of the
// current file still returned normally: the snapshot is then incomplete, never reported as done).
// Every file operation (the per-file steps, the offline check) goes through `fileSystem`.
std::filesystem::path snapshot(const HubApi& hub, const HubApi::Repo& repo, std::string_view revision,
                               const std::vector<std::string>& patterns,
                               const SnapshotProgressHandler& progressHandler = nullptr, std::stop_token stopToken = {},
                               platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

}  // namespace noxtal
