#include "core/hub/hub_file_downloader.hpp"

#include <charconv>
#include <limits>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/downloader.hpp"
#include "core/logging.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/text/regex.hpp"

namespace noxtal {

namespace fs = std::filesystem;

namespace {

// A pattern holds when a search finds it anywhere in the text; a pattern that does not compile
// holds for nothing.
bool patternHolds(std::string_view pattern, std::string_view text) {
  try {
    return platform::text::Regex(pattern).contains(text);
  } catch (const platform::text::RegexError&) {
    return false;
  }
}

}  // namespace

std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag) {
  if (!etag) return std::nullopt;
  std::string_view text = *etag;
  if (text.starts_with("W/")) text.remove_prefix(2);
  while (!text.empty() && text.front() == '"') text.remove_prefix(1);
  while (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return std::string(text);
}

std::optional<std::int64_t> parseSizeHeader(std::string_view value) {
  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty()) return std::nullopt;
  for (char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse the magnitude as unsigned so that the minimum value fits.
  std::uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), magnitude);
  if (ec != std::errc() || end != value.data() + value.size()) return std::nullopt;
  const auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (!negative) {
    if (magnitude > max) return std::nullopt;
    return static_cast<std::int64_t>(magnitude);
  }
  if (magnitude > max + 1) return std::nullopt;
  if (magnitude == max + 1) return std::numeric_limits<std::int64_t>::min();
  return -static_cast<std::int64_t>(magnitude);
}

FileMetadata getFileMetadata(const HubApi& hub, const platform::net::Url& url, std::stop_token stopToken) {
  const platform::net::Response response = hub.httpHead(url, stopToken);
  FileMetadata metadata;
  std::optional<std::string> location;
  if (response.statusCode == 302) {
    location = response.headers.value("Location");
  } else if (!response.url.empty()) {
    location = response.url;
  }
  metadata.location = location ? *location : url.string();
  metadata.commitHash = response.headers.value("X-Repo-Commit");
  auto etag = response.headers.value("X-Linked-Etag");
  if (!etag) etag = response.headers.value("Etag");
  metadata.etag = normalizeEtag(etag);
  auto size = response.headers.value("X-Linked-Size");
  if (!size) size = response.headers.value("Content-Length");
  if (size) metadata.size = parseSizeHeader(*size);
  return metadata;
}

bool isSafeRelativeFilename(std::string_view text) {
  if (text.empty() || text.front() == '/' || text.find('\\') != std::string_view::npos) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = text.find('/', start);
    const std::string_view part =
        text.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

void consumeDownloadStates(Downloader::StateStream& states, const std::shared_ptr<Progress>& fileProgress,
                           const std::shared_ptr<Progress>& overallProgress,
                           const std::function<void(const Progress&)>& progressHandler) {
  for (;;) {
    auto state = states.next();
    if (!state) {
      throw Downloader::DownloadError(Downloader::DownloadError::Case::unexpectedError,
                                      "the transfer ended without completing");
    }
    if (auto* p = std::get_if<Downloader::Downloading>(&*state)) {
      if (fileProgress) {
        // A fraction that is not a finite number leaves the unit count as it is.
        if (auto units = platform::sys::checkedIntegerCast<std::int64_t>(p->fraction * 100.0)) {
          fileProgress->setCompletedUnitCount(*units);
        }
        if (p->speed) fileProgress->setThroughput(p->speed);
      }
      if (overallProgress && p->speed) overallProgress->setThroughput(p->speed);
      if (progressHandler && overallProgress) progressHandler(*overallProgress);
    } else if (std::holds_alternative<Downloader::Completed>(*state)) {
      return;
    } else if (auto* f = std::get_if<Downloader::Failed>(&*state)) {
      std::rethrow_exception(f->error);
    }
  }
}

platform::net::Url HubFileDownloader::source() const {
  const std::string base = endpoint ? *endpoint : std::string(HubApi::defaultEndpoint);
  auto url = platform::net::Url::parse(base);
  if (!url || !url->isAbsolute()) throw Hub::HubClientError::parseError("Invalid hub endpoint: " + base);
  if (repo.type != HubRepoType::models) *url = url->appendingPathComponent(rawValue(repo.type));
  return url->appendingPath(repo.id).appendingPathComponent("resolve").appendingPathComponent(revision).appendingPath(
      relativeFilename);
}

fs::path HubFileDownloader::destination() const { return repoDestination / relativeFilename; }

fs::path HubFileDownloader::metadataDestination() const {
  return repoMetadataDestination / (relativeFilename + ".metadata");
}

bool HubFileDownloader::downloaded() const {
  // A symbolic link counts by its target: a dangling link is no local copy.
  return fileSystem.get().exists(destination());
}

fs::path HubFileDownloader::download(const std::shared_ptr<Progress>& fileProgress,
                                     const std::shared_ptr<Progress>& overallProgress,
                                     const ProgressHandler& progressHandler, std::stop_token stopToken) const {
  if (!isSafeRelativeFilename(relativeFilename)) {
    throw Hub::HubClientError::parseError("Unsafe file name in repository: " + relativeFilename);
  }
  platform::fs::FileSystem& files = fileSystem.get();
  const auto local = readDownloadMetadata(metadataDestination(), files);
  const platform::net::Url url = source();
  const FileMetadata remote = getFileMetadata(hub, url, stopToken);

  const std::string remoteCommit = remote.commitHash.value_or("");
  if (patternHolds(HubApi::commitHashPattern, remoteCommit) && downloaded() && local &&
      local->commitHash == remoteCommit) {
    Logging::debug("[HubApi] Skipping", relativeFilename, ": local copy belongs to commit", remoteCommit);
    return destination();
  }

  if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
    throw HubApiEnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
  }
  const std::string& etag = *remote.etag;

  if (downloaded()) {
    if (local && local->etag == etag) {
      writeDownloadMetadata(remoteCommit, etag, metadataDestination(), files);
      return destination();
    }
    if (patternHolds(HubApi::sha256Pattern, etag) && computeFileHash(destination(), files) == etag) {
      writeDownloadMetadata(remoteCommit, etag, metadataDestination(), files);
      return destination();
    }
  }

  const fs::path partial = partialFilePath(repoMetadataDestination, relativeFilename, etag);
  try {
    prepareFile(partial, files);
  } catch (const platform::fs::FileError& e) {
    throw HubApiEnvironmentError::fileWriteError(e.what());
  }
  if (int stale = removePartialFiles(repoMetadataDestination, relativeFilename, partial, files); stale > 0) {
    Logging::debug("[HubApi] Removed", stale, "partial files of older versions of", relativeFilename);
  }

  Downloader downloader(destination(), partial, backgroundSession, hub.transport, files);
  auto states = downloader.startDownload(url.string(), hfToken, std::nullopt, *remote.size, 10.0, 5);
  try {
    // Cancellation of the caller reaches the run; its outcome arrives as a state.
    std::stop_callback onCancel(stopToken, [&downloader] { downloader.cancelDownload(); });
    consumeDownloadStates(states, fileProgress, overallProgress, progressHandler);
  } catch (const platform::fs::FileError& e) {
    throw HubApiEnvironmentError::fileWriteError(e.what());
  }
  // This version's partial file was moved into place. One found there now was made by another
  // download of the same file in this process: it stays while that download's run holds it.
  removePartialFiles(repoMetadataDestination, relativeFilename, partial, files);
  removePartialFileUnlessInUse(partial, files);
  try {
    writeDownloadMetadata(remoteCommit, etag, metadataDestination(), files);
  } catch (const HubApiEnvironmentError&) {
    // The file in place is the new one; a record left from the file it replaced would vouch for
    // content that is gone.
    if (local) {
      try {
        files.remove(metadataDestination());
      } catch (const platform::fs::FileError& e) {
        Logging::error("[HubApi] Could not remove the outdated record of", relativeFilename, ":", e.what());
      }
    }
    throw;
  }
  return destination();
}

}  // namespace noxtal
