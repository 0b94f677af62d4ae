// Resumable transfer of one hub file into a partial file, moved to its destination when whole.
//
// A Downloader is made by the per-file download step (HubFileDownloader) for one file. A run
// asks the hub for the bytes after those already in the partial file ("Range: bytes=N-"),
// gathers the body in 10 MiB chunks that it appends to the partial file, retries after transport
// failures while the body streams (up to the retry budget in a row, one second apart, the budget
// refilled after every chunk written; a request that fails before its answer arrives is not
// retried), checks the final length against the expected size and moves the partial file
// to the destination. Its progress reaches any number of subscribers as DownloadState values
// through a Broadcaster; only the run publishes terminal states (completed or failed), exactly
// one per run.
//
// Partial-file care: a ranged request answered with 200 restarts the partial file from the
// first byte; a partial file that is already complete is moved without a request; one that is
// longer than expected, or a 416 answer, restarts from zero once; a final length different
// from the expected size deletes the partial file before the failure is reported. A whole
// partial file is flushed to the disk before it is moved, and the move is flushed after it, so
// that no later record can describe a file that a crash lost. A failing file operation (open,
// write, truncate, fsync, move) ends the run with the platform::fs::FileError naming the file
// and keeps the partial file: every byte in it was written in order, so a later run resumes from
// its length. Two runs never write one partial file. A new run of the same Downloader cancels
// and waits for its earlier run. A run that finds another Downloader of this process writing its
// partial file leaves that one alone and waits for it, passing its progress on: when that run
// moves the file to the same destination, this run completes with it; when it fails or is
// cancelled, this run continues the partial file itself, keeping the bytes written so far.
// Cancelling a waiting run ends only its wait.
//
// Thread-safety: all public members may be called from any thread. The run executes on a thread
// owned by the Downloader; the destructor cancels and joins it.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <variant>

#include "core/hub/broadcaster.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/net/http.hpp"
#include "platform/sys/error.hpp"

namespace noxtal {

class Downloader {
 public:
  // The downloader's own failures. Only `unexpectedError` is raised; `detail()` says what was
  // unexpected (an HTTP status, a length mismatch). what(): the case's description ("Unexpected
  // download error"), followed by ": <detail>" when there is one. Equal when the cases are.
  enum class DownloadErrorCase { invalidDownloadLocation, unexpectedError, tempFileNotFound };
  class DownloadError : public platform::sys::ErrorWithCase<DownloadErrorCase> {
   public:
    using Case = DownloadErrorCase;
    explicit DownloadError(Case errorCase, const std::string& detail = {});
    const std::string& detail() const { return message(); }
    friend bool operator==(const DownloadError& a, const DownloadError& b) { return a.errorCase() == b.errorCase(); }
  };

  // Progress states of one transfer.
  struct Downloading {
    double fraction = 0;          // share of the expected size on disk
    std::optional<double> speed;  // bytes per second since the previous report
  };
  struct Completed {
    std::filesystem::path url;  // the destination
  };
  struct Failed {
    std::exception_ptr error;  // never null
  };
  struct NotStarted {};
  using DownloadState = std::variant<Downloading, Completed, Failed, NotStarted>;
  using StateStream = Broadcaster<DownloadState>::Subscription;

  // Bytes gathered in memory before each write to the partial file (10 MiB).
  static constexpr std::int64_t chunkSize = 10'485'760;

  // `destination`: final location of the file; `incompleteDestination`: the partial file (made
  // when missing; its folder must exist). `backgroundSession` is kept for callers; this platform
  // has one kind of session. `transport` sends the requests (the shared curl transport when
  // null). Every file operation goes through `fileSystem`, which must outlive the Downloader.
  Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, bool backgroundSession,
             std::shared_ptr<platform::net::HttpTransport> transport = nullptr,
             platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());
  ~Downloader();
  Downloader(const Downloader&) = delete;
  Downloader& operator=(const Downloader&) = delete;

  // Cancels and waits for this Downloader's earlier run, then starts a run that fetches `url`
  // resuming from the partial file's length (after waiting for, or completing with, another
  // Downloader's run on the same partial file, as above), and returns a stream of its states
  // (the first value is `notStarted` or the run's first state). `authToken`: "Authorization:
  // Bearer <token>" when present and not empty. `headers`: extra request fields. `expectedSize`:
  // the file's size from the hub. `timeout`: idle time-out in seconds (no data for that long).
  // `retryCount`: transport failures of a streaming body tolerated in a row. Never throws for transfer problems:
  // every failure arrives as `failed` in the stream. Thread-safe.
  StateStream startDownload(const std::string& url, const std::optional<std::string>& authToken,
                            const std::optional<platform::net::Headers>& headers, std::int64_t expectedSize,
                            double timeout, int retryCount);

  // Stops the current run, which then publishes `failed` with platform::sync::CancellationError
  // (or its own ending, when it had already finished). Does not wait. Safe to call from a
  // std::stop_callback and from any thread.
  void cancelDownload();

  // A new subscription to the state stream (latest state first). Thread-safe.
  StateStream subscribe() { return broadcaster_.subscribe(); }

  const std::filesystem::path& destination() const { return destination_; }
  const std::filesystem::path& incompleteDestination() const { return incompleteDestination_; }
  bool backgroundSession() const { return backgroundSession_; }

  // Pause between retries (1 s). Tests shorten it. Takes effect for runs started afterwards.
  void setRetryDelay(std::chrono::milliseconds delay);

 private:
  struct RunParameters {
    platform::net::Request request;
    std::int64_t expectedSize;
    int retryCount;
    std::chrono::milliseconds retryDelay;
  };
  class Run;

  void stopAndJoinRun();  // needs startMutex_

  const std::filesystem::path destination_;
  const std::filesystem::path incompleteDestination_;
  const bool backgroundSession_;
  const std::shared_ptr<platform::net::HttpTransport> transport_;
  platform::fs::FileSystem& fileSystem_;
  Broadcaster<DownloadState> broadcaster_;

  std::mutex startMutex_;                       // serialises startDownload and destruction
  std::thread runThread_;                       // guarded by startMutex_
  std::mutex stopMutex_;                        // short sections only, never held while joining
  std::stop_source runStop_;                    // guarded by stopMutex_
  std::chrono::milliseconds retryDelay_{1000};  // guarded by stopMutex_
};

// Size of the file at `path`, or 0 when it is missing or cannot be examined. Never throws.
std::int64_t partialFileSize(const std::filesystem::path& path,
                             platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// Deletes the partial file at `path` unless a Downloader run of this process holds it (that run
// writes it, or is about to). Returns true when a file was deleted; a failed deletion is logged
// and ignored (a stale partial file only costs space). Thread-safe.
bool removePartialFileUnlessInUse(const std::filesystem::path& path,
                                  platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

// Moves `from` to `to`, replacing a file at `to` and creating `to`'s missing parent folders,
// then flushes `to`'s folder so that the move survives a crash. A failed move leaves `from` and
// a file at `to` as they were. Throws platform::fs::FileError naming both paths.
void placeDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to,
                         platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

}  // namespace noxtal
