// An advisory, exclusive lock on a lock file (flock), held for the life of a FileLock object.
//
// Used by the worker to keep two connections (or two worker processes) from downloading the
// same repository at once. Every FileLock opens the file anew, so two FileLock objects of one
// process on the same path exclude each other exactly as two processes do. The lock goes when
// the object is destroyed (or the process ends); the lock file itself stays, since removing it
// would let a third party lock a new file under the same name while the old one is held.
//
// Move-only; one FileLock is not thread-safe, distinct ones are.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/fs/unique_fd.hpp"

namespace platform::fs {

class FileLock {
 public:
  // Waits until the lock on `path` is held. The file (mode 0644) and its missing parent
  // folders are created. Throws FileError ("create folder", "open" or "lock").
  static FileLock acquire(const std::filesystem::path& path);
  // The lock when it is free now, absent when another holder has it. Throws FileError as
  // acquire does for every other failure.
  static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;  // releases a lock held before
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() = default;  // closing the descriptor releases the lock

  // True until release() or a move away.
  bool held() const noexcept { return fd_.valid(); }
  const std::filesystem::path& path() const noexcept { return path_; }
  // Releases the lock now; nothing when not held.
  void release() noexcept;

 private:
  FileLock(std::filesystem::path path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  static std::optional<FileLock> lock(const std::filesystem::path& path, bool wait);

  std::filesystem::path path_;
  UniqueFd fd_;
};

}  // namespace platform::fs
