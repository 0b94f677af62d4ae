// The per-file download step of a hub snapshot: brings one file of the local hub cache up to date.
//
// For each file of a repository revision the snapshot builds a HubFileDownloader and calls
// download(). One HEAD request asks the hub for the file's commit, etag and size; the step skips
// every transfer when the local record names the same commit, or the same etag, or when the
// local file's SHA-256 equals an etag that is a SHA-256; otherwise a Downloader fetches the file
// into "<name>.<etag>.incomplete" below the metadata folder (resuming a partial file of the same
// etag, deleting those of other etags) and moves it into place, and the record is written.
//
// The HubApi members that the step relies on (the remote-state read and the etag
// normalisation) are the free functions getFileMetadata and normalizeEtag.
//
// Thread-safety: a HubFileDownloader is a value; download() runs on the caller's thread (the
// transfer itself on a thread of its Downloader) and may run for different files at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/hub/downloader.hpp"
#include "core/hub/hub_api.hpp"
#include "core/progress.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/net/url.hpp"

namespace noxtal {

// What the hub says about one file.
struct FileMetadata {
  std::optional<std::string> commitHash;  // "X-Repo-Commit"
  std::optional<std::string> etag;        // "X-Linked-Etag", else "Etag"; normalised
  std::string location;                   // 302: "Location"; else the response URL; else the request URL
  std::optional<std::int64_t> size;       // "X-Linked-Size", else "Content-Length"

  bool operator==(const FileMetadata&) const = default;
};

// Removes one leading "W/" and then every double quote at both ends; nothing else changes.
// Absent stays absent.
std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

// A size header's value as a decimal integer (optional sign, digits only, within the signed
// 64-bit range), else nullopt.
std::optional<std::int64_t> parseSizeHeader(std::string_view value);

// Reads the hub's state of the file at the resolve URL `url` with one hub.httpHead(). Throws
// what httpHead throws (Hub::HubClientError cases, platform::net::TransportError,
// platform::sync::CancellationError).
FileMetadata getFileMetadata(const HubApi& hub, const platform::net::Url& url, std::stop_token stopToken = {});

// True when `text` is a safe relative file name: not empty, not absolute, no backslash, no
// empty, "." or ".." component.
bool isSafeRelativeFilename(std::string_view text);

// Reads the states of a transfer until it completes, reporting every `downloading` state as
// HubFileDownloader::download() describes. Rethrows the error of `failed`; throws
// Downloader::DownloadError (unexpectedError) when the stream ends without `completed`.
void consumeDownloadStates(Downloader::StateStream& states, const std::shared_ptr<Progress>& fileProgress,
                           const std::shared_ptr<Progress>& overallProgress,
                           const std::function<void(const Progress&)>& progressHandler);

struct HubFileDownloader {
  using ProgressHandler = std::function<void(const Progress& overallProgress)>;

  HubApi hub;  // patterns, HEAD request and transport
  HubApi::Repo repo;
  std::string revision;
  std::filesystem::path repoDestination;          // repository folder
  std::filesystem::path repoMetadataDestination;  // its ".cache/huggingface/download" folder
  std::string relativeFilename;                   // name inside the repository, "/"-separated
  std::optional<std::string> hfToken;
  std::optional<std::string> endpoint;  // absent: HubApi::defaultEndpoint
  bool backgroundSession = false;
  // Every file operation of the step and of its transfer (must outlive the call of download()).
  std::reference_wrapper<platform::fs::FileSystem> fileSystem = platform::fs::RealFileSystem::shared();

  // endpoint[/datasets|/spaces]/<repo id>/resolve/<revision as one segment>/<relative name>.
  // Throws Hub::HubClientError::parseError when the endpoint is not an absolute URL.
  platform::net::Url source() const;
  // repoDestination / relativeFilename.
  std::filesystem::path destination() const;
  // repoMetadataDestination / (relativeFilename + ".metadata").
  std::filesystem::path metadataDestination() const;
  // Something exists at destination() (a symbolic link counts when its target exists).
  bool downloaded() const;

  // Brings the file up to date and returns destination(). During a transfer, every progress
  // state sets `fileProgress`'s completed units to fraction × 100, stores a known speed as the
  // throughput of both progress objects and calls `progressHandler` (when set) with
  // `overallProgress`; either progress may be null. Throws: Hub::HubClientError (parseError for
  // an unsafe relative name; the HEAD request's errors; fileNotFound/fileSystemError of the
  // digest), HubApiEnvironmentError (invalidMetadataError "File metadata must have been
  // retrieved from server" when the hub's answer lacks commit, etag, size or location; metadata
  // read and write errors), HubApiEnvironmentError::fileWriteError ("Failed to write file:
  // <operation> <path>: <reason>") when the partial file cannot be made, written, flushed or
  // moved into place, and whatever else the transfer fails with (Downloader::DownloadError,
  // platform::net::TransportError, platform::sync::CancellationError when `stopToken` is
  // triggered). The partial file is kept for the next attempt, except after a wrong final length.
  // A failed transfer writes no record; when the record cannot be written after the file was
  // replaced, the older record (which describes the replaced file) is removed.
  std::filesystem::path download(const std::shared_ptr<Progress>& fileProgress,
                                 const std::shared_ptr<Progress>& overallProgress,
                                 const ProgressHandler& progressHandler = nullptr,
                                 std::stop_token stopToken = {}) const;
};

}  // namespace noxtal
