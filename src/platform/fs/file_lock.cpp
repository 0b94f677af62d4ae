#include "platform/fs/file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/fs/file_system.hpp"

namespace platform::fs {

namespace stdfs = std::filesystem;

void FileLock::release() noexcept { fd_.reset(); }

FileLock FileLock::acquire(const stdfs::path& path) { return std::move(*lock(path, true)); }

std::optional<FileLock> FileLock::tryAcquire(const stdfs::path& path) { return lock(path, false); }

std::optional<FileLock> FileLock::lock(const stdfs::path& path, bool wait) {
  const stdfs::path parent = path.parent_path();
  if (!parent.empty()) {
    std::error_code error;
    stdfs::create_directories(parent, error);
    if (error) throw FileError("create folder", parent, error.value());
  }
  int descriptor = -1;
  do {
    descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) throw FileError("open", path, errno);
  UniqueFd fd(descriptor);
  const int operation = wait ? LOCK_EX : LOCK_EX | LOCK_NB;
  int result = 0;
  do {
    result = ::flock(fd.get(), operation);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    if (!wait && errno == EWOULDBLOCK) return std::nullopt;
    throw FileError("lock", path, errno);
  }
  return FileLock(path, std::move(fd));
}

}  // namespace platform::fs
