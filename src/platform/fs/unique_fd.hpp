// The project's one owner of a POSIX file descriptor (files, sockets, event descriptors).
//
// UniqueFd closes the descriptor it holds exactly once: on destruction, on reset(), or through
// close(), which reports the result. It is move-only; a moved-from UniqueFd holds nothing.
// Used by the file system layer, the digest of files and the network path monitor. Not
// thread-safe: one owner at a time.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace platform::fs {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  // Takes ownership of `fd`; a negative value means "nothing held".
  explicit UniqueFd(int fd) noexcept : fd_(fd < 0 ? -1 : fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing; returns the descriptor (-1 when nothing was held).
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the held descriptor (ignoring the result) and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd < 0 ? -1 : fd);
    if (old >= 0) ::close(old);
  }

  // Closes now and returns 0, or the errno of a failed close(2) (the descriptor is released
  // either way, as Linux does). Returns 0 when nothing is held.
  int close() noexcept {
    const int old = release();
    if (old < 0) return 0;
    return ::close(old) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace platform::fs
