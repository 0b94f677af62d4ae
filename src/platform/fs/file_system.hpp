// File access for the whole project: whole-file reads, atomic whole-file writes and the few
// directory operations the libraries need, plus the FileSystem interface that lets tests
// replace or break the disk.
//
// Failures are thrown as FileError, which keeps the errno value and names the operation and the
// path. The free functions and RealFileSystem are thread-safe (the file system itself arbitrates
// concurrent writers; an atomic write is seen whole or not at all).
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform::fs {

// A failed file operation. what() reads "<operation> <path>: <strerror text>".
class FileError : public std::runtime_error {
 public:
  FileError(std::string operation, const std::filesystem::path& path, int errorCode);

  const std::string& operation() const { return operation_; }
  const std::filesystem::path& path() const { return path_; }
  // The errno value of the failure.
  int code() const { return code_; }

 private:
  std::string operation_;
  std::filesystem::path path_;
  int code_;
};

// The whole content of a file. Throws FileError (ENOENT for a missing file, EISDIR for a folder).
std::string readFile(const std::filesystem::path& path);

// Replaces the content of `path` atomically: writes a temporary file in the same folder, flushes
// it to disk, renames it over `path` and flushes the folder. Readers see the old or the new
// content, never a mix. A new file gets mode 0644, an existing one keeps its mode. On failure the
// temporary file is removed, `path` is unchanged, and FileError is thrown.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

bool exists(const std::filesystem::path& path);
bool isDirectory(const std::filesystem::path& path);
// Creates the folder and its missing parents; no error when it already exists as a folder.
void createDirectories(const std::filesystem::path& path);
// Removes a file or an empty folder; returns false when there was nothing to remove.
bool remove(const std::filesystem::path& path);
// Removes a file or a folder tree; returns the number of entries removed.
std::uintmax_t removeAll(const std::filesystem::path& path);
// Moves `from` to `to`, replacing a file at `to`; copies and removes across file systems.
void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to);
// Size of a regular file in bytes; absent when it does not exist or is not a regular file.
std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path);
// The entries of a folder, sorted by name. Throws FileError when it cannot be listed.
std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path);

// The side-effect interface through which classes that own files (caches, metadata records)
// reach the disk, so that tests can substitute a fault-injecting wrapper. Implementations are
// thread-safe.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::string readFile(const std::filesystem::path& path) = 0;
  virtual void writeFile(const std::filesystem::path& path, std::string_view bytes) = 0;  // atomic
  virtual bool exists(const std::filesystem::path& path) = 0;
  virtual void createDirectories(const std::filesystem::path& path) = 0;
  virtual bool remove(const std::filesystem::path& path) = 0;
  virtual void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  virtual std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) = 0;
  virtual std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) = 0;
};

// The real disk, through the free functions above.
class RealFileSystem final : public FileSystem {
 public:
  // The process-wide instance (created on first use; never destroyed before exit).
  static RealFileSystem& shared();

  std::string readFile(const std::filesystem::path& path) override;
  void writeFile(const std::filesystem::path& path, std::string_view bytes) override;
  bool exists(const std::filesystem::path& path) override;
  void createDirectories(const std::filesystem::path& path) override;
  bool remove(const std::filesystem::path& path) override;
  void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) override;
  std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) override;
};

// Passes every call to `inner` (which must outlive it) but fails chosen writes: the Nth write
// (counting from 1 over writeFile, createDirectories, remove and moveReplacing together) and,
// with failAllWritesFrom, every write from then on, throw FileError with the chosen errno
// without reaching `inner`. Reads can be failed the same way. Thread-safe.
class FaultInjectingFileSystem final : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem& inner) : inner_(inner) {}

  // Fails only the `n`th write (n >= 1); 0 disables.
  void failNthWrite(std::uint64_t n, int errorCode = EIO);
  // Fails the `n`th write and every later one.
  void failAllWritesFrom(std::uint64_t n, int errorCode = ENOSPC);
  // Fails only the `n`th read (readFile, listDirectory); 0 disables.
  void failNthRead(std::uint64_t n, int errorCode = EIO);

  std::uint64_t writeCount() const { return writes_.load(); }
  std::uint64_t readCount() const { return reads_.load(); }

  std::string readFile(const std::filesystem::path& path) override;
  void writeFile(const std::filesystem::path& path, std::string_view bytes) override;
  bool exists(const std::filesystem::path& path) override { return inner_.exists(path); }
  void createDirectories(const std::filesystem::path& path) override;
  bool remove(const std::filesystem::path& path) override;
  void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) override { return inner_.fileSize(path); }
  std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) override;

 private:
  void countWrite(const char* operation, const std::filesystem::path& path);
  void countRead(const char* operation, const std::filesystem::path& path);

  FileSystem& inner_;
  std::atomic<std::uint64_t> writes_{0};
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> failWrite_{0};
  std::atomic<int> failWriteCode_{EIO};
  std::atomic<bool> failWritesSticky_{false};
  std::atomic<std::uint64_t> failRead_{0};
  std::atomic<int> failReadCode_{EIO};
};

}  // namespace platform::fs
