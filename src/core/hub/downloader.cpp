#include "core/hub/downloader.hpp"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/logging.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/net/curl_transport.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"

namespace noxtal {

namespace fs = std::filesystem;
using platform::net::TransportError;

namespace {

std::string describeCase(Downloader::DownloadError::Case c) {
  switch (c) {
    case Downloader::DownloadError::Case::invalidDownloadLocation:
      return "Invalid download location";
    case Downloader::DownloadError::Case::unexpectedError:
      return "Unexpected download error";
    case Downloader::DownloadError::Case::tempFileNotFound:
      return "Temporary file not found";
  }
  return "Download error";
}

const char* nameOfCase(Downloader::DownloadError::Case c) {
  switch (c) {
    case Downloader::DownloadError::Case::invalidDownloadLocation:
      return "invalidDownloadLocation";
    case Downloader::DownloadError::Case::unexpectedError:
      return "unexpectedError";
    case Downloader::DownloadError::Case::tempFileNotFound:
      return "tempFileNotFound";
  }
  return "unexpectedError";
}

// The run that writes one partial file, as the other runs of this process on that file see it.
class PartialFileWriter {
 public:
  explicit PartialFileWriter(std::string destinationKey) : destinationKey_(std::move(destinationKey)) {}

  // The claim key of the destination the writer moves the file to.
  const std::string& destinationKey() const { return destinationKey_; }

  void reportProgress(const Downloader::Downloading& state) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      progress_ = state;
      ++reports_;
    }
    changed_.notify_all();
  }

  void finish(bool moved) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      finished_ = true;
      moved_ = moved;
    }
    changed_.notify_all();
  }

  // Waits until the writer has finished, handing every progress report it makes meanwhile to
  // `relay` (no lock held). Returns true when the writer moved the file to its destination.
  // Throws CancellationError when `stop` is triggered first.
  template <class Relay>
  bool await(const std::stop_token& stop, Relay&& relay) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t seen = reports_;
    for (;;) {
      if (!changed_.wait(lock, stop, [&] { return finished_ || reports_ != seen; })) {
        throw platform::sync::CancellationError();
      }
      if (reports_ == seen) return moved_;
      seen = reports_;
      const Downloader::Downloading state = progress_;
      lock.unlock();
      relay(state);
      lock.lock();
    }
  }

 private:
  const std::string destinationKey_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  Downloader::Downloading progress_;  // guarded by mutex_: the latest report
  std::uint64_t reports_ = 0;         // guarded by mutex_
  bool finished_ = false;             // guarded by mutex_
  bool moved_ = false;                // guarded by mutex_
};

// The runs that currently write a partial file in this process, by the partial file's path.
class PartialFileClaims {
 public:
  static PartialFileClaims& shared() {
    static PartialFileClaims claims;
    return claims;
  }

  // Makes `writer` the holder of `key` and returns null when no run holds it; otherwise returns
  // the holder, for the caller to wait for.
  std::shared_ptr<PartialFileWriter> claimOrFindHolder(const std::string& key,
                                                       const std::shared_ptr<PartialFileWriter>& writer) {
    std::lock_guard<std::mutex> guard(m_);
    auto [it, claimed] = holders_.try_emplace(key, writer);
    return claimed ? nullptr : it->second;
  }

  // Gives up the claim, then wakes the runs waiting for `writer`: they find the path free.
  void release(const std::string& key, const std::shared_ptr<PartialFileWriter>& writer, bool moved) {
    {
      std::lock_guard<std::mutex> guard(m_);
      auto it = holders_.find(key);
      if (it != holders_.end() && it->second == writer) holders_.erase(it);
    }
    writer->finish(moved);
  }

 private:
  std::mutex m_;
  std::map<std::string, std::shared_ptr<PartialFileWriter>> holders_;  // guarded by m_
};

std::string claimKey(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  return (ec ? path : absolute).lexically_normal().string();
}

// Sleeps for `delay` unless `stop` is triggered first; then throws CancellationError.
void interruptibleSleep(std::chrono::milliseconds delay, const std::stop_token& stop) {
  std::mutex m;
  std::condition_variable_any cv;
  std::unique_lock<std::mutex> lock(m);
  cv.wait_for(lock, stop, delay, [] { return false; });
  platform::sync::throwIfStopped(stop);
}

}  // namespace

Downloader::DownloadError::DownloadError(Case errorCase, const std::string& detail)
    : ErrorWithCase("Downloader.DownloadError", errorCase, nameOfCase(errorCase), detail,
                    detail.empty() ? describeCase(errorCase) : describeCase(errorCase) + ": " + detail) {}

std::int64_t partialFileSize(const fs::path& path, platform::fs::FileSystem& fileSystem) {
  try {
    const auto size = fileSystem.fileSize(path);
    if (!size || *size > static_cast<std::uintmax_t>(std::numeric_limits<std::int64_t>::max())) return 0;
    return static_cast<std::int64_t>(*size);
  } catch (const std::exception&) {
    return 0;
  }
}

bool removePartialFileUnlessInUse(const fs::path& path, platform::fs::FileSystem& fileSystem) {
  const std::string key = claimKey(path);
  const auto writer = std::make_shared<PartialFileWriter>(std::string());
  if (PartialFileClaims::shared().claimOrFindHolder(key, writer)) return false;
  bool removed = false;
  try {
    removed = fileSystem.remove(path);
  } catch (const platform::fs::FileError& e) {
    Logging::debug("[Downloader] Could not remove the partial file:", e.what());
  }
  PartialFileClaims::shared().release(key, writer, false);
  return removed;
}

void placeDownloadedFile(const fs::path& from, const fs::path& to, platform::fs::FileSystem& fileSystem) {
  const fs::path folder = to.has_parent_path() ? to.parent_path() : fs::path(".");
  if (to.has_parent_path()) fileSystem.createDirectories(folder);
  try {
    fileSystem.moveReplacing(from, to);
  } catch (const platform::fs::FileError& e) {
    throw platform::fs::FileError("move " + from.string() + " to", to, e.code());
  }
  fileSystem.syncDirectory(folder);
}

// One run: the body of the run thread. Owns the partial file's descriptor and the buffers.
class Downloader::Run {
 public:
  Run(Downloader& owner, RunParameters params, std::stop_token stop)
      : owner_(owner), params_(std::move(params)), stop_(std::move(stop)) {}

  void execute() {
    try {
      body();
    } catch (...) {
      claim_.reset();
      owner_.broadcaster_.broadcast(Failed{std::current_exception()});
    }
  }

 private:
  // This run's hold on the partial file; released (waking the runs that wait for it) on
  // destruction.
  struct Claim {
    std::string key;
    std::shared_ptr<PartialFileWriter> writer;
    bool moved = false;  // the file reached the destination

    Claim(std::string k, std::shared_ptr<PartialFileWriter> w) : key(std::move(k)), writer(std::move(w)) {}
    ~Claim() { PartialFileClaims::shared().release(key, writer, moved); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
  };

  // The first state of a run that finds `resumeSize` bytes in the partial file.
  Downloading startState(std::int64_t resumeSize) const {
    const std::int64_t expected = params_.expectedSize;
    const bool known = resumeSize > 0 && expected >= 1;
    return Downloading{known ? static_cast<double>(resumeSize) / static_cast<double>(expected) : 0.0, {}};
  }

  void reportProgress(const Downloading& state) {
    owner_.broadcaster_.broadcast(state);
    if (claim_) claim_->writer->reportProgress(state);
  }

  // Takes the partial file for this run. While another run of this process writes it, waits for
  // that run, passing its progress on; when that run moved the file to this run's destination,
  // publishes `completed` and returns false. Otherwise (that run failed or was cancelled) the
  // partial file, with every byte that run wrote, is this run's to continue.
  bool claimPartialFile() {
    const fs::path& partial = owner_.incompleteDestination_;
    const std::string key = claimKey(partial);
    auto writer = std::make_shared<PartialFileWriter>(claimKey(owner_.destination_));
    bool waited = false;
    for (;;) {
      const auto holder = PartialFileClaims::shared().claimOrFindHolder(key, writer);
      if (!holder) {
        claim_.emplace(key, std::move(writer));
        return true;
      }
      if (!waited) {
        waited = true;
        Logging::debug("[Downloader] Another download is writing", partial, "; waiting for it");
        owner_.broadcaster_.broadcast(startState(partialFileSize(partial, owner_.fileSystem_)));
      }
      const bool moved = holder->await(stop_, [&](const Downloading& state) { owner_.broadcaster_.broadcast(state); });
      if (moved && holder->destinationKey() == writer->destinationKey()) {
        owner_.broadcaster_.broadcast(Completed{owner_.destination_});
        return false;
      }
    }
  }

  void body() {
    if (!claimPartialFile()) return;
    const fs::path& partial = owner_.incompleteDestination_;
    const std::int64_t expected = params_.expectedSize;
    std::int64_t resumeSize = partialFileSize(partial, owner_.fileSystem_);

    file_ = owner_.fileSystem_.openForAppending(partial);
    if (resumeSize > expected) {
      Logging::info("[Downloader] Partial file", partial, "holds", resumeSize, "bytes, more than the expected",
                    expected, "; starting again");
      truncatePartialFile();
      resumeSize = 0;
    }
    downloadedSize_ = resumeSize;
    reportProgress(startState(resumeSize));

    if (resumeSize == 0 || resumeSize != expected) {
      streamBody();
    }
    // else: the partial file is already whole (the last run ended before its move).

    platform::sync::throwIfStopped(stop_);
    // The bytes reach the disk before the file takes its final name: the record written after a
    // completed transfer must never describe a file that a crash could still lose.
    file_->sync();
    file_->close();
    placeDownloadedFile(partial, owner_.destination_, owner_.fileSystem_);
    claim_->moved = true;
    claim_.reset();
    owner_.broadcaster_.broadcast(Completed{owner_.destination_});
  }

  std::int64_t partialFileLength() {
    const std::uint64_t length = file_->size();
    if (length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      throw DownloadError(DownloadError::Case::unexpectedError, "partial file too large");
    }
    return static_cast<std::int64_t>(length);
  }

  void truncatePartialFile() {
    file_->truncate(0);
    downloadedSize_ = 0;
  }

  void writeAll(const std::byte* data, std::size_t size) { file_->write(std::span(data, size)); }

  // Writes the chunk buffer to the partial file and empties it.
  void flushChunk(bool report) {
    if (chunk_.empty()) return;
    writeAll(chunk_.data(), chunk_.size());
    const auto n = static_cast<std::int64_t>(chunk_.size());
    chunk_.clear();
    downloadedSize_ += n;
    currentSize_ += n;
    retriesLeft_ = params_.retryCount;
    if (!report) return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - lastReportTime_).count();
    lastReportTime_ = now;
    const std::int64_t expected = params_.expectedSize;
    Downloading state;
    state.fraction = expected == 0 ? 0.0 : static_cast<double>(currentSize_) / static_cast<double>(expected);
    if (elapsed > 0) state.speed = static_cast<double>(currentSize_ - lastReportedSize_) / elapsed;
    reportProgress(state);
    lastReportedSize_ = currentSize_;
  }

  bool onResponse(const platform::net::Response& response, bool ranged) {
    responseArrived_ = true;
    const int status = response.statusCode;
    if (status == 416 && ranged && !restartedAfter416_) {
      restartFromZero_ = true;
      return false;
    }
    if (status < 200 || status > 299) {
      throw DownloadError(DownloadError::Case::unexpectedError, "HTTP status " + std::to_string(status));
    }
    if (ranged && status == 200) {
      // The server ignored the range and sends the whole file: start the partial file over.
      truncatePartialFile();
      currentSize_ = lastReportedSize_ = 0;
    }
    return true;
  }

  bool onData(std::span<const std::byte> data) {
    const auto capacity = static_cast<std::size_t>(chunkSize);
    while (!data.empty()) {
      const std::size_t n = std::min(data.size(), capacity - chunk_.size());
      chunk_.insert(chunk_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
      data = data.subspan(n);
      if (chunk_.size() >= capacity) flushChunk(true);
    }
    return true;
  }

  void streamBody() {
    chunk_.reserve(static_cast<std::size_t>(chunkSize));
    retriesLeft_ = params_.retryCount;
    for (;;) {
      platform::sync::throwIfStopped(stop_);
      platform::net::Request request = params_.request;
      const bool ranged = downloadedSize_ > 0;
      if (ranged) {
        request.setHeader("Range", "bytes=" + std::to_string(downloadedSize_) + "-");
      } else {
        request.headers.remove("Range");
      }
      chunk_.clear();
      lastReportTime_ = std::chrono::steady_clock::now();
      currentSize_ = lastReportedSize_ = downloadedSize_;
      restartFromZero_ = false;
      responseArrived_ = false;
      try {
        owner_.transport_->stream(
            request, [&](const platform::net::Response& r) { return onResponse(r, ranged); },
            [&](std::span<const std::byte> d) { return onData(d); }, stop_);
      } catch (const TransportError& e) {
        platform::sync::throwIfStopped(stop_);
        // Only a body that breaks off is asked for again; a request that fails before its
        // answer arrives (no connection, no answer in time) ends the run at once.
        if (!responseArrived_ || retriesLeft_ <= 0) throw;
        Logging::info("[Downloader] Transfer interrupted (", e.what(), "); retrying,", retriesLeft_, "retries left");
        chunk_.clear();  // bytes not yet written are asked for again
        interruptibleSleep(params_.retryDelay, stop_);
        --retriesLeft_;
        continue;
      }
      if (restartFromZero_) {
        Logging::info("[Downloader] Range not satisfiable for", owner_.incompleteDestination_, "; starting again");
        restartedAfter416_ = true;
        truncatePartialFile();
        continue;
      }
      platform::sync::throwIfStopped(stop_);
      flushChunk(false);
      const std::int64_t length = partialFileLength();
      if (params_.expectedSize < 0 || length != params_.expectedSize) {
        try {
          file_->close();
          owner_.fileSystem_.remove(owner_.incompleteDestination_);
        } catch (const platform::fs::FileError& e) {
          Logging::error("[Downloader] Could not discard the partial file:", e.what());
        }
        throw DownloadError(
            DownloadError::Case::unexpectedError,
            "received " + std::to_string(length) + " bytes, expected " + std::to_string(params_.expectedSize));
      }
      return;
    }
  }

  Downloader& owner_;
  const RunParameters params_;
  const std::stop_token stop_;
  std::unique_ptr<platform::fs::WritableFile> file_;
  std::vector<std::byte> chunk_;
  std::int64_t downloadedSize_ = 0;  // bytes of the partial file on disk
  std::int64_t currentSize_ = 0;
  std::int64_t lastReportedSize_ = 0;
  std::chrono::steady_clock::time_point lastReportTime_;
  int retriesLeft_ = 0;
  bool restartFromZero_ = false;
  bool restartedAfter416_ = false;
  bool responseArrived_ = false;  // the current attempt's answer arrived
  // Held from claimPartialFile() until just before the terminal state is published, so that a
  // consumer acting on that state finds the partial file free.
  std::optional<Claim> claim_;
};

Downloader::Downloader(fs::path destination, fs::path incompleteDestination, bool backgroundSession,
                       std::shared_ptr<platform::net::HttpTransport> transport, platform::fs::FileSystem& fileSystem)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      backgroundSession_(backgroundSession),
      transport_(transport ? std::move(transport) : platform::net::sharedTransport()),
      fileSystem_(fileSystem),
      broadcaster_([]() -> std::optional<DownloadState> { return NotStarted{}; }) {}

Downloader::~Downloader() {
  std::lock_guard<std::mutex> guard(startMutex_);
  stopAndJoinRun();
}

void Downloader::setRetryDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> guard(stopMutex_);
  retryDelay_ = delay;
}

void Downloader::cancelDownload() {
  std::lock_guard<std::mutex> guard(stopMutex_);
  runStop_.request_stop();
}

void Downloader::stopAndJoinRun() {
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    runStop_.request_stop();
  }
  if (runThread_.joinable()) runThread_.join();
}

Downloader::StateStream Downloader::startDownload(const std::string& url, const std::optional<std::string>& authToken,
                                                  const std::optional<platform::net::Headers>& headers,
                                                  std::int64_t expectedSize, double timeout, int retryCount) {
  std::lock_guard<std::mutex> guard(startMutex_);
  stopAndJoinRun();

  RunParameters params{platform::net::Request(platform::net::Method::get, url), expectedSize, std::max(retryCount, 0),
                       std::chrono::milliseconds(0)};
  if (headers) params.request.headers = *headers;
  params.request.idleTimeout = std::chrono::milliseconds(
      std::max<std::int64_t>(1, platform::sys::saturatingIntegerCast<std::int64_t>(timeout * 1000.0)));
  params.request.followRedirects = true;

  std::stop_source stop;
  {
    std::lock_guard<std::mutex> stopGuard(stopMutex_);
    runStop_ = stop;
    params.retryDelay = retryDelay_;
  }

  // A run that ended earlier left its terminal state as the latest; subscribers of this run
  // must not see it.
  broadcaster_.resetLatest();
  StateStream stream = broadcaster_.subscribe();

  auto failEarly = [&](std::exception_ptr error) {
    broadcaster_.broadcast(Failed{std::move(error)});
    return std::move(stream);
  };
  if (authToken && !authToken->empty()) {
    try {
      params.request.setHeader("Authorization", "Bearer " + *authToken);
    } catch (...) {
      return failEarly(std::current_exception());
    }
  }

  try {
    runThread_ = std::thread([this, params = std::move(params), token = stop.get_token()]() mutable {
      Run(*this, std::move(params), token).execute();
    });
  } catch (...) {
    return failEarly(std::current_exception());
  }
  return stream;
}

}  // namespace noxtal
