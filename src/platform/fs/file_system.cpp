#include "platform/fs/file_system.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

namespace platform::fs {
namespace {

// Owns one file descriptor and closes it once.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports the result of close(2).
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

[[noreturn]] void fail(const char* operation, const std::filesystem::path& path, int code) {
  throw FileError(operation, path, code);
}

[[noreturn]] void fail(const char* operation, const std::filesystem::path& path, const std::error_code& error) {
  throw FileError(operation, path, error.value());
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("write", path, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Removes the temporary file unless released after a successful rename.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!released_) ::unlink(path_.c_str());
  }
  void release() { released_ = true; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool released_ = false;
};

}  // namespace

FileError::FileError(std::string operation, const std::filesystem::path& path, int errorCode)
    : std::runtime_error(operation + " " + path.string() + ": " + std::generic_category().message(errorCode)),
      operation_(std::move(operation)),
      path_(path),
      code_(errorCode) {}

std::string readFile(const std::filesystem::path& path) {
  const UniqueFd fd(openRetrying(path.c_str(), O_RDONLY));
  if (!fd.valid()) fail("open", path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) fail("stat", path, errno);
  if (S_ISDIR(info.st_mode)) fail("read", path, EISDIR);
  std::string content;
  if (S_ISREG(info.st_mode) && info.st_size > 0) content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", path, errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  if (!path.has_filename()) fail("write", path, EISDIR);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  std::string pattern = (folder / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
  int rawFd;
  do {
    rawFd = ::mkostemp(pattern.data(), O_CLOEXEC);
  } while (rawFd < 0 && errno == EINTR);
  if (rawFd < 0) fail("create temporary file for", path, errno);
  UniqueFd fd(rawFd);
  TemporaryFile temporary(pattern);

  struct stat existing {};
  const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  if (::fchmod(fd.get(), mode) != 0) fail("chmod", temporary.path(), errno);
  writeAll(fd.get(), bytes, temporary.path());
  if (::fsync(fd.get()) != 0) fail("fsync", temporary.path(), errno);
  if (fd.close() != 0) fail("close", temporary.path(), errno);
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) fail("rename", path, errno);
  temporary.release();

  const UniqueFd dir(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (!dir.valid()) fail("open folder of", path, errno);
  // Some file systems do not support fsync on folders; the rename itself has happened.
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS) fail("fsync folder of", path, errno);
}

bool exists(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

bool isDirectory(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

void createDirectories(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) fail("create folder", path, error);
  if (!std::filesystem::is_directory(path, error)) fail("create folder", path, ENOTDIR);
}

bool remove(const std::filesystem::path& path) {
  std::error_code error;
  const bool removed = std::filesystem::remove(path, error);
  if (error) fail("remove", path, error);
  return removed;
}

std::uintmax_t removeAll(const std::filesystem::path& path) {
  std::error_code error;
  const auto removed = std::filesystem::remove_all(path, error);
  if (error) fail("remove", path, error);
  return removed;
}

void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return;
  if (errno != EXDEV) fail("move", from, errno);
  std::error_code error;
  std::filesystem::copy(
      from, to, std::filesystem::copy_options::overwrite_existing | std::filesystem::copy_options::recursive, error);
  if (error) fail("copy", from, error);
  std::filesystem::remove_all(from, error);
  if (error) fail("remove", from, error);
}

std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  const auto size = std::filesystem::file_size(path, error);
  if (error) return std::nullopt;
  return size;
}

std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::directory_iterator it(path, error);
  if (error) fail("list", path, error);
  std::vector<std::filesystem::path> entries;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) fail("list", path, error);
    entries.push_back(it->path());
  }
  if (error) fail("list", path, error);
  std::sort(entries.begin(), entries.end());
  return entries;
}

RealFileSystem& RealFileSystem::shared() {
  static RealFileSystem* instance = new RealFileSystem();
  return *instance;
}

std::string RealFileSystem::readFile(const std::filesystem::path& path) { return fs::readFile(path); }
void RealFileSystem::writeFile(const std::filesystem::path& path, std::string_view bytes) {
  fs::writeFileAtomically(path, bytes);
}
bool RealFileSystem::exists(const std::filesystem::path& path) { return fs::exists(path); }
void RealFileSystem::createDirectories(const std::filesystem::path& path) { fs::createDirectories(path); }
bool RealFileSystem::remove(const std::filesystem::path& path) { return fs::remove(path); }
void RealFileSystem::moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  fs::moveReplacing(from, to);
}
std::optional<std::uintmax_t> RealFileSystem::fileSize(const std::filesystem::path& path) { return fs::fileSize(path); }
std::vector<std::filesystem::path> RealFileSystem::listDirectory(const std::filesystem::path& path) {
  return fs::listDirectory(path);
}

void FaultInjectingFileSystem::failNthWrite(std::uint64_t n, int errorCode) {
  failWriteCode_ = errorCode;
  failWritesSticky_ = false;
  failWrite_ = n;
}

void FaultInjectingFileSystem::failAllWritesFrom(std::uint64_t n, int errorCode) {
  failWriteCode_ = errorCode;
  failWritesSticky_ = true;
  failWrite_ = n;
}

void FaultInjectingFileSystem::failNthRead(std::uint64_t n, int errorCode) {
  failReadCode_ = errorCode;
  failRead_ = n;
}

void FaultInjectingFileSystem::countWrite(const char* operation, const std::filesystem::path& path) {
  const std::uint64_t number = ++writes_;
  const std::uint64_t target = failWrite_.load();
  if (target == 0) return;
  if (number == target || (failWritesSticky_.load() && number > target)) {
    throw FileError(operation, path, failWriteCode_.load());
  }
}

void FaultInjectingFileSystem::countRead(const char* operation, const std::filesystem::path& path) {
  const std::uint64_t number = ++reads_;
  if (number == failRead_.load()) throw FileError(operation, path, failReadCode_.load());
}

std::string FaultInjectingFileSystem::readFile(const std::filesystem::path& path) {
  countRead("read", path);
  return inner_.readFile(path);
}

void FaultInjectingFileSystem::writeFile(const std::filesystem::path& path, std::string_view bytes) {
  countWrite("write", path);
  inner_.writeFile(path, bytes);
}

void FaultInjectingFileSystem::createDirectories(const std::filesystem::path& path) {
  countWrite("create folder", path);
  inner_.createDirectories(path);
}

bool FaultInjectingFileSystem::remove(const std::filesystem::path& path) {
  countWrite("remove", path);
  return inner_.remove(path);
}

void FaultInjectingFileSystem::moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  countWrite("move", from);
  inner_.moveReplacing(from, to);
}

std::vector<std::filesystem::path> FaultInjectingFileSystem::listDirectory(const std::filesystem::path& path) {
  countRead("list", path);
  return inner_.listDirectory(path);
}

}  // namespace platform::fs
