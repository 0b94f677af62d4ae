#include "core/hub/offline_verification.hpp"

#include <algorithm>
#include <span>
#include <system_error>

#include "core/extensions.hpp"
#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_api.hpp"
#include "core/hub/hub_errors.hpp"
#include "core/logging.hpp"
#include "platform/text/regex.hpp"

namespace noxtal {

namespace fs = std::filesystem;

namespace {

bool isHiddenName(const fs::path& path) {
  const std::string name = path.filename().string();
  return !name.empty() && name.front() == '.';
}

bool isSha256Etag(const std::string& etag) {
  static const platform::text::Regex pattern{HubApi::sha256Pattern};
  return pattern.contains(etag);
}

// The path with symbolic links resolved as far as it exists.
std::string resolvedPath(const fs::path& path) {
  std::error_code ec;
  fs::path resolved = fs::weakly_canonical(path, ec);
  if (ec) return fs::absolute(path).lexically_normal().string();
  return resolved.string();
}

bool matchesAnyPattern(const std::string& relativePath, const std::vector<std::string>& patterns) {
  const std::string single[] = {relativePath};
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& glob) {
    return !matching(std::span<const std::string>(single), glob).empty();
  });
}

}  // namespace

std::vector<fs::path> listLocalFiles(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
  if (ec) return files;
  for (const fs::recursive_directory_iterator end; it != end;) {
    const fs::directory_entry& entry = *it;
    if (isHiddenName(entry.path())) {
      it.disable_recursion_pending();
    } else {
      std::error_code statusError;
      const fs::file_status status = entry.status(statusError);
      if (statusError && status.type() != fs::file_type::not_found) {
        throw Hub::HubClientError::fileSystemError("Cannot read the attributes of " + entry.path().string() + ": " +
                                                   statusError.message());
      }
      if (fs::is_regular_file(status)) files.push_back(entry.path());
    }
    it.increment(ec);
    if (ec) {
      // A folder that cannot be entered ends the walk; what was found so far stands.
      Logging::debug("[HubApi] Stopped listing", folder, "at", entry.path(), ":", ec.message());
      break;
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

fs::path verifyOfflineSnapshot(const fs::path& repoDestination, const fs::path& metadataDestination,
                               const std::vector<std::string>& patterns) {
  std::error_code ec;
  if (!fs::exists(repoDestination, ec)) {
    throw HubApiEnvironmentError::offlineModeError("Repository not available locally");
  }
  std::string prefix = resolvedPath(repoDestination);
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');

  const std::vector<fs::path> localFiles = listLocalFiles(repoDestination);
  if (localFiles.empty()) {
    throw HubApiEnvironmentError::offlineModeError("No files available locally for this repository");
  }

  struct Candidate {
    fs::path file;
    std::string resolved;
  };
  std::vector<Candidate> candidates;
  for (const fs::path& file : localFiles) {
    std::string resolved = resolvedPath(file);
    if (!patterns.empty()) {
      if (!resolved.starts_with(prefix)) continue;
      if (!matchesAnyPattern(resolved.substr(prefix.size()), patterns)) continue;
    }
    candidates.push_back({file, std::move(resolved)});
  }
  if (candidates.empty()) {
    throw HubApiEnvironmentError::offlineModeError("No files matching the requested patterns are available locally");
  }

  for (const Candidate& candidate : candidates) {
    const std::string fileName = candidate.file.filename().string();
    if (!candidate.resolved.starts_with(prefix)) {
      throw HubApiEnvironmentError::offlineModeError("Metadata not available for " + fileName);
    }
    const std::string relativePath = candidate.resolved.substr(prefix.size());
    const fs::path metadataPath = metadataDestination / (relativePath + ".metadata");
    const auto metadata = readDownloadMetadata(metadataPath);
    if (!metadata) {
      throw HubApiEnvironmentError::offlineModeError("Metadata not available for " + fileName);
    }
    if (isSha256Etag(metadata->etag)) {
      const std::string digest = computeFileHash(candidate.resolved);
      if (digest != metadata->etag) {
        throw HubApiEnvironmentError::fileIntegrityError("Hash mismatch for " + fileName);
      }
    }
  }
  Logging::debug("[HubApi] Offline copy of", repoDestination, "verified:", candidates.size(), "files");
  return repoDestination;
}

}  // namespace noxtal
