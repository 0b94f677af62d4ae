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
std::string resolvedPath(platform::fs::FileSystem& fileSystem, const fs::path& path) {
  return fileSystem.resolvedPath(path).string();
}

// Thrown inside the walk when a folder cannot be listed; ends the walk.
struct FolderNotListable {};

void collectFiles(platform::fs::FileSystem& fileSystem, const fs::path& folder, std::vector<fs::path>& files) {
  std::vector<fs::path> entries;
  try {
    entries = fileSystem.listDirectory(folder);
  } catch (const platform::fs::FileError& e) {
    Logging::debug("[HubApi] Stopped listing at", folder, ":", e.what());
    throw FolderNotListable{};
  }
  for (const fs::path& entry : entries) {
    if (isHiddenName(entry)) continue;
    platform::fs::EntryType target;
    platform::fs::EntryType itself;
    try {
      target = fileSystem.entryType(entry, true);
      itself = fileSystem.entryType(entry, false);
    } catch (const platform::fs::FileError& e) {
      throw Hub::HubClientError::fileSystemError("Cannot read the attributes of " + entry.string() + ": " +
                                                 std::generic_category().message(e.code()));
    }
    if (target == platform::fs::EntryType::regular) {
      files.push_back(entry);
    } else if (itself == platform::fs::EntryType::directory) {
      collectFiles(fileSystem, entry, files);  // a link to a folder is not entered
    }
  }
}

bool matchesAnyPattern(const std::string& relativePath, const std::vector<std::string>& patterns) {
  const std::string single[] = {relativePath};
  return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& glob) {
    return !matching(std::span<const std::string>(single), glob).empty();
  });
}

}  // namespace

std::vector<fs::path> listLocalFiles(const fs::path& folder, platform::fs::FileSystem& fileSystem) {
  std::vector<fs::path> files;
  try {
    collectFiles(fileSystem, folder, files);
  } catch (const FolderNotListable&) {
    // A folder that cannot be listed ends the walk; what was found so far stands.
  }
  std::sort(files.begin(), files.end());
  return files;
}

fs::path verifyOfflineSnapshot(const fs::path& repoDestination, const fs::path& metadataDestination,
                               const std::vector<std::string>& patterns, platform::fs::FileSystem& fileSystem) {
  if (!fileSystem.exists(repoDestination)) {
    throw HubApiEnvironmentError::offlineModeError("Repository not available locally");
  }
  std::string prefix = resolvedPath(fileSystem, repoDestination);
  if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');

  const std::vector<fs::path> localFiles = listLocalFiles(repoDestination, fileSystem);
  if (localFiles.empty()) {
    throw HubApiEnvironmentError::offlineModeError("No files available locally for this repository");
  }

  struct Candidate {
    fs::path file;
    std::string resolved;
  };
  std::vector<Candidate> candidates;
  for (const fs::path& file : localFiles) {
    std::string resolved = resolvedPath(fileSystem, file);
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
    const auto metadata = readDownloadMetadata(metadataPath, fileSystem);
    if (!metadata) {
      throw HubApiEnvironmentError::offlineModeError("Metadata not available for " + fileName);
    }
    if (isSha256Etag(metadata->etag)) {
      const std::string digest = computeFileHash(candidate.resolved, fileSystem);
      if (digest != metadata->etag) {
        throw HubApiEnvironmentError::fileIntegrityError("Hash mismatch for " + fileName);
      }
    }
  }
  Logging::debug("[HubApi] Offline copy of", repoDestination, "verified:", candidates.size(), "files");
  return repoDestination;
}

}  // namespace noxtal
