// Offline snapshot verification: decides whether the local copy of a hub repository can stand
// in for a download when the hub must not be contacted.
//
// The snapshot's offline branch and the model downloader's cache check call it. The copy is
// accepted when the repository folder exists, holds (non-hidden, regular) files that match the
// requested glob patterns, every such file has its ".metadata" record below the metadata
// folder, and every file whose recorded etag is a SHA-256 digest still has that digest. The
// revision plays no part: recorded commits are not compared with anything.
//
// Every file operation goes through the given platform::fs::FileSystem (the real disk by
// default). Thread-safety: pure file-system reads (the metadata reader may delete a damaged record, which
// then counts as absent); any number of checks may run at once.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"

namespace noxtal {

// The regular, non-hidden files below `folder`, found recursively without entering hidden
// folders (names starting with ".", so the ".cache" metadata folder is never listed) or
// symbolic links to folders. A symbolic link to a regular file counts as a file. Sorted by
// path. Returns an empty list when `folder` cannot be enumerated at all. Throws
// Hub::HubClientError::fileSystemError when an entry's attributes cannot be read.
std::vector<std::filesystem::path> listLocalFiles(
    const std::filesystem::path& folder, platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// Runs the check and returns `repoDestination`. Patterns are shell globs matched against the
// path relative to the repository folder (symbolic links resolved); files resolving outside the
// folder are skipped when patterns are given. Without patterns every listed file is checked.
// Throws, for the first problem found:
//   HubApiEnvironmentError::offlineModeError "Repository not available locally",
//     "No files available locally for this repository",
//     "No files matching the requested patterns are available locally",
//     "Metadata not available for <file name>" (also for a file resolving outside the folder);
//   HubApiEnvironmentError::fileIntegrityError "Hash mismatch for <file name>";
//   the metadata reader's invalidMetadataError, the digest's Hub::HubClientError
//   (fileNotFound, fileSystemError), and listLocalFiles' fileSystemError.
std::filesystem::path verifyOfflineSnapshot(
    const std::filesystem::path& repoDestination, const std::filesystem::path& metadataDestination,
    const std::vector<std::string>& patterns,
    platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

}  // namespace noxtal
