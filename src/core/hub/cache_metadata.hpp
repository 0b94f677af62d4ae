// The local hub cache's metadata records and file helpers.
//
// Beside every fetched file the hub client keeps a ".metadata" record (three lines: the commit
// of the repository revision, the file's etag, the time of writing in Unix seconds) below the
// repository's metadata folder; the per-file download step reads it to decide whether to fetch
// again and rewrites it after every proven or completed file, and the offline verification reads
// it. Unfinished transfers live beside the records as "<name>.<etag>.incomplete" partial files.
// This file holds the record reader and writer, the SHA-256 of a local file, the partial-file
// naming and clean-up, and the file preparation of the download step.
//
// Every function is synchronous file-system work with no shared state, done through the given
// platform::fs::FileSystem (the real disk by default); all are thread-safe (concurrent writers of
// one record: the last complete write wins).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/file_system.hpp"

namespace noxtal {

// A parsed ".metadata" record.
struct LocalDownloadFileMetadata {
  std::string commitHash;  // line 1, trimmed
  std::string etag;        // line 2, trimmed
  std::string filename;    // the record's last path component with every ".metadata" removed
  double timestamp = 0;    // line 3: seconds since 1970-01-01 00:00 UTC

  bool operator==(const LocalDownloadFileMetadata&) const = default;
};

// Reads the record at `metadataPath`. Returns nullopt when nothing is there. A damaged record
// (fewer than three lines, a third line that is not a number, unreadable, not UTF-8) is logged
// at error level, deleted, and also reads as nullopt. Throws HubApiEnvironmentError
// (invalidMetadataError "Could not remove corrupted metadata file: ...") only when such a record
// cannot be deleted.
std::optional<LocalDownloadFileMetadata> readDownloadMetadata(
    const std::filesystem::path& metadataPath,
    platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// Writes "<commitHash>\n<etag>\n<now in Unix seconds>\n" to `metadataPath` atomically (readers
// see the old or the new whole record), creating missing folders. Throws HubApiEnvironmentError
// (fileWriteError "Failed to write metadata to <path>: <reason>").
void writeDownloadMetadata(std::string_view commitHash, std::string_view etag,
                           const std::filesystem::path& metadataPath,
                           platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// The record's text for `commitHash`, `etag` and `unixSeconds` (the seconds in their shortest
// fixed-point form that reads back as the same double, with ".0" when whole).
std::string formatDownloadMetadata(std::string_view commitHash, std::string_view etag, double unixSeconds);

// SHA-256 of the file's bytes as 64 lower-case hexadecimal digits, read in 1 MiB chunks. Throws
// Hub::HubClientError: fileNotFound (the file's last path component) when it cannot be opened,
// fileSystemError when a read fails part-way (never the digest of a prefix).
std::string computeFileHash(const std::filesystem::path& file,
                            platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// Makes sure the parent folder of `path` and a file at `path` exist; an existing file keeps its
// bytes, also one that another thread creates or writes meanwhile. Throws platform::fs::FileError.
void prepareFile(const std::filesystem::path& path,
                 platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// The etag as it may appear inside a file name: the etag itself when it is made only of
// [A-Za-z0-9._-] and is neither "." nor "..", otherwise its SHA-256 in hexadecimal (so a
// server-sent etag can never name a path outside the metadata folder).
std::string partialFileEtagComponent(std::string_view etag);

// metadataFolder / (relativeFilename + "." + partialFileEtagComponent(etag) + ".incomplete").
std::filesystem::path partialFilePath(const std::filesystem::path& metadataFolder, std::string_view relativeFilename,
                                      std::string_view etag);

// Deletes the partial files of the file `relativeFilename` in `metadataFolder` (any etag
// component without "."), except `keep` when given. Returns how many were deleted. Failures to
// list or delete are ignored (stale partial files only cost space).
int removePartialFiles(const std::filesystem::path& metadataFolder, std::string_view relativeFilename,
                       const std::optional<std::filesystem::path>& keep = std::nullopt,
                       platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

}  // namespace noxtal
