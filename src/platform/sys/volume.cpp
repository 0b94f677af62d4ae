#include "platform/sys/volume.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <limits>

namespace platform::sys {

namespace fs = std::filesystem;

std::optional<fs::path> nearestExistingAncestor(const fs::path& path) {
  if (path.empty()) return std::nullopt;
  fs::path current = path;
  if (!current.is_absolute()) {
    std::error_code error;
    current = fs::absolute(path, error);
    if (error) return std::nullopt;
  }
  current = current.lexically_normal();
  while (true) {
    struct stat info {};
    if (::stat(current.c_str(), &info) == 0) return current;
    // Only a missing entry (or a file standing where a folder is expected) moves up; any
    // other failure means the entry exists but cannot be examined.
    if (errno != ENOENT && errno != ENOTDIR) return std::nullopt;
    fs::path parent = current.parent_path();
    if (parent.empty() || parent == current) return std::nullopt;
    current = std::move(parent);
  }
}

std::optional<std::uint64_t> volumeAvailableCapacity(const fs::path& path) {
  const std::optional<fs::path> existing = nearestExistingAncestor(path);
  if (!existing) return std::nullopt;
  struct statvfs info {};
  int result = 0;
  do {
    result = ::statvfs(existing->c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return std::nullopt;
  const std::uint64_t blocks = info.f_bavail;
  const std::uint64_t blockSize = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
  if (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return blocks * blockSize;
}

}  // namespace platform::sys
