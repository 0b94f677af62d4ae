#include "platform/fs/file_system.hpp"

#include "platform/fs/unique_fd.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace platform::fs {
namespace {

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

void syncFolder(const std::filesystem::path& folder, const std::filesystem::path& named) {
  const UniqueFd dir(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (!dir.valid()) fail("open folder of", named, errno);
  // Some file systems do not support fsync on folders; the entries have changed all the same.
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EROFS) fail("fsync folder of", named, errno);
}

class RealReadableFile final : public ReadableFile {
 public:
  RealReadableFile(UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

  std::size_t read(std::span<std::byte> buffer) override {
    for (;;) {
      const ssize_t n = ::read(fd_.get(), buffer.data(), buffer.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) fail("read", path_, errno);
    }
  }
  const std::filesystem::path& path() const override { return path_; }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
};

class RealWritableFile final : public WritableFile {
 public:
  RealWritableFile(UniqueFd fd, std::filesystem::path path) : fd_(std::move(fd)), path_(std::move(path)) {}

  void write(std::span<const std::byte> bytes) override {
    writeAll(fd_.get(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), path_);
  }
  void truncate(std::uint64_t size) override {
    int result;
    do {
      result = ::ftruncate(fd_.get(), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result != 0) fail("truncate", path_, errno);
  }
  std::uint64_t size() override {
    struct stat info {};
    if (::fstat(fd_.get(), &info) != 0) fail("stat", path_, errno);
    return static_cast<std::uint64_t>(info.st_size);
  }
  void sync() override {
    if (::fsync(fd_.get()) != 0) fail("fsync", path_, errno);
  }
  void close() override {
    if (const int error = fd_.close(); error != 0) fail("close", path_, error);
  }
  const std::filesystem::path& path() const override { return path_; }

 private:
  UniqueFd fd_;
  std::filesystem::path path_;
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
  if (const int error = fd.close(); error != 0) fail("close", temporary.path(), error);
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) fail("rename", path, errno);
  temporary.release();

  syncFolder(folder, path);
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

EntryType RealFileSystem::entryType(const std::filesystem::path& path, bool followLinks) {
  std::error_code error;
  const std::filesystem::file_status status =
      followLinks ? std::filesystem::status(path, error) : std::filesystem::symlink_status(path, error);
  switch (status.type()) {
    case std::filesystem::file_type::not_found:
      return EntryType::none;
    case std::filesystem::file_type::regular:
      return EntryType::regular;
    case std::filesystem::file_type::directory:
      return EntryType::directory;
    case std::filesystem::file_type::symlink:
      return EntryType::symlink;
    case std::filesystem::file_type::none:
      fail("stat", path, error ? error.value() : EIO);
    default:
      return EntryType::other;
  }
}

std::filesystem::path RealFileSystem::resolvedPath(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::weakly_canonical(path, error);
  if (!error) return resolved;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return (error ? path : absolute).lexically_normal();
}

std::unique_ptr<ReadableFile> RealFileSystem::openForReading(const std::filesystem::path& path) {
  UniqueFd fd(openRetrying(path.c_str(), O_RDONLY));
  if (!fd.valid()) fail("open", path, errno);
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<RealReadableFile>(std::move(fd), path);
}

std::unique_ptr<WritableFile> RealFileSystem::openForAppending(const std::filesystem::path& path) {
  UniqueFd fd(openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644));
  if (!fd.valid()) fail("open", path, errno);
  return std::make_unique<RealWritableFile>(std::move(fd), path);
}

void RealFileSystem::syncDirectory(const std::filesystem::path& path) { syncFolder(path, path); }

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

void FaultInjectingFileSystem::addFault(Fault fault) {
  std::lock_guard<std::mutex> guard(faultsMutex_);
  faults_.push_back(ActiveFault{std::move(fault), 0});
}

void FaultInjectingFileSystem::clearFaults() {
  std::lock_guard<std::mutex> guard(faultsMutex_);
  faults_.clear();
}

std::uint64_t FaultInjectingFileSystem::callCount(Operation operation) const {
  std::lock_guard<std::mutex> guard(faultsMutex_);
  return callCounts_[static_cast<std::size_t>(operation)];
}

std::uint64_t FaultInjectingFileSystem::injectedFailures() const {
  std::lock_guard<std::mutex> guard(faultsMutex_);
  return injected_;
}

std::optional<FaultInjectingFileSystem::Injection> FaultInjectingFileSystem::checkFault(
    Operation operation, const std::filesystem::path& path) {
  std::lock_guard<std::mutex> guard(faultsMutex_);
  ++callCounts_[static_cast<std::size_t>(operation)];
  std::optional<Injection> chosen;
  const std::string text = path.string();
  for (ActiveFault& active : faults_) {
    const Fault& fault = active.fault;
    if (fault.operation != operation) continue;
    if (!fault.pathContains.empty() && text.find(fault.pathContains) == std::string::npos) continue;
    const std::uint64_t number = ++active.seen;
    if (!chosen && fault.nth > 0 && (number == fault.nth || (fault.sticky && number > fault.nth))) {
      chosen = Injection{fault.errorCode, fault.bytesBeforeFailure};
    }
  }
  if (chosen) ++injected_;
  return chosen;
}

void FaultInjectingFileSystem::failIfChosen(Operation operation, const char* name, const std::filesystem::path& path) {
  if (const auto injection = checkFault(operation, path)) throw FileError(name, path, injection->errorCode);
}

// Files opened through the wrapper: each call passes the wrapper's fault check first.
class FaultInjectingFileSystem::FaultyReadable final : public ReadableFile {
 public:
  FaultyReadable(FaultInjectingFileSystem& owner, std::unique_ptr<ReadableFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}
  std::size_t read(std::span<std::byte> buffer) override {
    owner_.failIfChosen(Operation::read, "read", inner_->path());
    return inner_->read(buffer);
  }
  const std::filesystem::path& path() const override { return inner_->path(); }

 private:
  FaultInjectingFileSystem& owner_;
  std::unique_ptr<ReadableFile> inner_;
};

class FaultInjectingFileSystem::FaultyWritable final : public WritableFile {
 public:
  FaultyWritable(FaultInjectingFileSystem& owner, std::unique_ptr<WritableFile> inner)
      : owner_(owner), inner_(std::move(inner)) {}
  using WritableFile::write;
  void write(std::span<const std::byte> bytes) override {
    if (const auto injection = owner_.checkFault(Operation::write, inner_->path())) {
      const std::size_t passed = std::min(injection->bytesBeforeFailure, bytes.size());
      if (passed > 0) inner_->write(bytes.first(passed));
      throw FileError("write", inner_->path(), injection->errorCode);
    }
    inner_->write(bytes);
  }
  void truncate(std::uint64_t size) override {
    owner_.failIfChosen(Operation::truncate, "truncate", inner_->path());
    inner_->truncate(size);
  }
  std::uint64_t size() override { return inner_->size(); }
  void sync() override {
    owner_.failIfChosen(Operation::sync, "fsync", inner_->path());
    inner_->sync();
  }
  void close() override {
    if (const auto injection = owner_.checkFault(Operation::close, inner_->path())) {
      // The descriptor is gone after a failed close(2) all the same.
      try {
        inner_->close();
      } catch (const FileError&) {
      }
      throw FileError("close", inner_->path(), injection->errorCode);
    }
    inner_->close();
  }
  const std::filesystem::path& path() const override { return inner_->path(); }

 private:
  FaultInjectingFileSystem& owner_;
  std::unique_ptr<WritableFile> inner_;
};

std::unique_ptr<ReadableFile> FaultInjectingFileSystem::openForReading(const std::filesystem::path& path) {
  failIfChosen(Operation::open, "open", path);
  return std::make_unique<FaultyReadable>(*this, inner_.openForReading(path));
}

std::unique_ptr<WritableFile> FaultInjectingFileSystem::openForAppending(const std::filesystem::path& path) {
  failIfChosen(Operation::open, "open", path);
  return std::make_unique<FaultyWritable>(*this, inner_.openForAppending(path));
}

void FaultInjectingFileSystem::syncDirectory(const std::filesystem::path& path) {
  failIfChosen(Operation::syncDirectory, "fsync folder of", path);
  inner_.syncDirectory(path);
}

std::string FaultInjectingFileSystem::readFile(const std::filesystem::path& path) {
  countRead("read", path);
  return inner_.readFile(path);
}

void FaultInjectingFileSystem::writeFile(const std::filesystem::path& path, std::string_view bytes) {
  countWrite("write", path);
  failIfChosen(Operation::writeFile, "write", path);
  inner_.writeFile(path, bytes);
}

void FaultInjectingFileSystem::createDirectories(const std::filesystem::path& path) {
  countWrite("create folder", path);
  failIfChosen(Operation::createDirectories, "create folder", path);
  inner_.createDirectories(path);
}

bool FaultInjectingFileSystem::remove(const std::filesystem::path& path) {
  countWrite("remove", path);
  failIfChosen(Operation::remove, "remove", path);
  return inner_.remove(path);
}

void FaultInjectingFileSystem::moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
  countWrite("move", from);
  failIfChosen(Operation::move, "move", from);
  inner_.moveReplacing(from, to);
}

std::vector<std::filesystem::path> FaultInjectingFileSystem::listDirectory(const std::filesystem::path& path) {
  countRead("list", path);
  return inner_.listDirectory(path);
}

}  // namespace platform::fs
