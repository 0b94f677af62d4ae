// File access for the whole project: whole-file reads, atomic whole-file writes, the few
// directory operations the libraries need, open files for streamed reads and appends, plus the
// FileSystem interface that lets tests replace or break the disk (FaultInjectingFileSystem).
//
// Failures are thrown as FileError, which keeps the errno value and names the operation and the
// path. The free functions and RealFileSystem are thread-safe (the file system itself arbitrates
// concurrent writers; an atomic write is seen whole or not at all).
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
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

// The kind of a directory entry (see FileSystem::entryType).
enum class EntryType { none, regular, directory, symlink, other };

// An open file for reading, from FileSystem::openForReading. Not thread-safe: one user at a
// time. Must not outlive the FileSystem that opened it.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  // Reads up to `buffer.size()` bytes into `buffer` and returns how many; 0 only at the end of
  // the file. Throws FileError ("read").
  virtual std::size_t read(std::span<std::byte> buffer) = 0;
  virtual const std::filesystem::path& path() const = 0;
};

// An open file for writing at its end, from FileSystem::openForAppending. Every write goes
// after the last byte of the file, also after truncate(). Not thread-safe: one user at a time.
// Must not outlive the FileSystem that opened it. Destruction closes the file and ignores a
// failure; call close() to learn of it.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  // Appends all of `bytes` (a failure may leave a prefix of them written). Throws FileError
  // ("write").
  virtual void write(std::span<const std::byte> bytes) = 0;
  void write(std::string_view bytes) { write(std::as_bytes(std::span(bytes.data(), bytes.size()))); }
  // Shortens (or zero-extends) the file to `size` bytes. Throws FileError ("truncate").
  virtual void truncate(std::uint64_t size) = 0;
  // Length of the file in bytes. Throws FileError ("stat").
  virtual std::uint64_t size() = 0;
  // Flushes the file's data to the disk. Throws FileError ("fsync").
  virtual void sync() = 0;
  // Closes the file; later calls of the other members are programming errors. Throws FileError
  // ("close"). Calling close() again does nothing.
  virtual void close() = 0;
  virtual const std::filesystem::path& path() const = 0;
};

// The side-effect interface through which classes that own files (the download cache, its
// metadata records, partial files) reach the disk, so that tests can substitute a
// fault-injecting wrapper. Implementations are thread-safe; the files they open are not.
// Every failure is a FileError naming the operation and the path.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual std::string readFile(const std::filesystem::path& path) = 0;
  virtual void writeFile(const std::filesystem::path& path, std::string_view bytes) = 0;  // atomic
  // Something exists at `path` (a symbolic link counts by its target). Never throws.
  virtual bool exists(const std::filesystem::path& path) = 0;
  // The kind of the entry at `path`, through symbolic links when `followLinks`; `none` when
  // nothing is there. Throws FileError ("stat") when the entry cannot be examined for another
  // reason (a loop of links, a folder that cannot be searched).
  virtual EntryType entryType(const std::filesystem::path& path, bool followLinks = true) = 0;
  // `path` made absolute with its existing part's symbolic links resolved, "." and ".."
  // removed (the lexically normal absolute path when that fails). Never throws.
  virtual std::filesystem::path resolvedPath(const std::filesystem::path& path) = 0;
  virtual void createDirectories(const std::filesystem::path& path) = 0;
  virtual bool remove(const std::filesystem::path& path) = 0;
  virtual void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) = 0;
  virtual std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) = 0;
  virtual std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) = 0;
  // Opens a file for reading. Throws FileError ("open").
  virtual std::unique_ptr<ReadableFile> openForReading(const std::filesystem::path& path) = 0;
  // Opens `path` for writing at its end, creating it (mode 0644) when missing and keeping the
  // bytes it holds. Its folder must exist. Throws FileError ("open").
  virtual std::unique_ptr<WritableFile> openForAppending(const std::filesystem::path& path) = 0;
  // Flushes a folder's entries (a rename or a new file in it) to the disk. File systems that
  // cannot flush folders count as success. Throws FileError ("fsync folder").
  virtual void syncDirectory(const std::filesystem::path& path) = 0;
};

// The real disk, through the free functions above.
class RealFileSystem final : public FileSystem {
 public:
  // The process-wide instance (created on first use; never destroyed before exit).
  static RealFileSystem& shared();

  std::string readFile(const std::filesystem::path& path) override;
  void writeFile(const std::filesystem::path& path, std::string_view bytes) override;
  bool exists(const std::filesystem::path& path) override;
  EntryType entryType(const std::filesystem::path& path, bool followLinks = true) override;
  std::filesystem::path resolvedPath(const std::filesystem::path& path) override;
  void createDirectories(const std::filesystem::path& path) override;
  bool remove(const std::filesystem::path& path) override;
  void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) override;
  std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) override;
  std::unique_ptr<ReadableFile> openForReading(const std::filesystem::path& path) override;
  std::unique_ptr<WritableFile> openForAppending(const std::filesystem::path& path) override;
  void syncDirectory(const std::filesystem::path& path) override;
};

// Passes every call to `inner` (which must outlive it) but fails chosen calls, throwing
// FileError with the chosen errno without reaching `inner`. Thread-safe; the files it opens
// must not outlive it.
//
// Two ways to choose the failing calls:
//  - failNthWrite / failAllWritesFrom count the whole-file and folder writes together
//    (writeFile, createDirectories, remove, moveReplacing); failNthRead counts readFile and
//    listDirectory.
//  - addFault counts the calls of one Operation (optionally only those whose path contains a
//    text) from the moment the fault is added, and fails the nth of them (and every later one
//    when sticky). A failing file write can first pass some bytes through, as a disk that fills
//    up part-way through a write does.
class FaultInjectingFileSystem final : public FileSystem {
 public:
  enum class Operation {
    writeFile,          // FileSystem::writeFile
    createDirectories,  // FileSystem::createDirectories
    remove,             // FileSystem::remove
    move,               // FileSystem::moveReplacing (the path is the source)
    syncDirectory,      // FileSystem::syncDirectory
    open,               // openForReading and openForAppending
    write,              // WritableFile::write
    truncate,           // WritableFile::truncate
    sync,               // WritableFile::sync
    close,              // WritableFile::close
    read,               // ReadableFile::read
  };

  struct Fault {
    Operation operation = Operation::write;
    std::uint64_t nth = 1;       // the nth matching call fails (n >= 1)
    int errorCode = EIO;         // errno of the failure
    bool sticky = false;         // every later matching call fails too
    std::string pathContains{};  // only calls whose path contains this text count (empty: all)
    // For `write`: bytes passed to the file before the failure (at most the write's size).
    std::size_t bytesBeforeFailure = 0;
  };

  explicit FaultInjectingFileSystem(FileSystem& inner) : inner_(inner) {}

  // Fails only the `n`th write (n >= 1); 0 disables.
  void failNthWrite(std::uint64_t n, int errorCode = EIO);
  // Fails the `n`th write and every later one.
  void failAllWritesFrom(std::uint64_t n, int errorCode = ENOSPC);
  // Fails only the `n`th read (readFile, listDirectory); 0 disables.
  void failNthRead(std::uint64_t n, int errorCode = EIO);

  void addFault(Fault fault);
  // Removes every fault of addFault (the counters of calls keep counting).
  void clearFaults();
  // Number of calls of `operation` so far, failed ones included.
  std::uint64_t callCount(Operation operation) const;
  // Number of calls that were made to fail by addFault faults.
  std::uint64_t injectedFailures() const;

  std::uint64_t writeCount() const { return writes_.load(); }
  std::uint64_t readCount() const { return reads_.load(); }

  std::string readFile(const std::filesystem::path& path) override;
  void writeFile(const std::filesystem::path& path, std::string_view bytes) override;
  bool exists(const std::filesystem::path& path) override { return inner_.exists(path); }
  EntryType entryType(const std::filesystem::path& path, bool followLinks = true) override {
    return inner_.entryType(path, followLinks);
  }
  std::filesystem::path resolvedPath(const std::filesystem::path& path) override { return inner_.resolvedPath(path); }
  void createDirectories(const std::filesystem::path& path) override;
  bool remove(const std::filesystem::path& path) override;
  void moveReplacing(const std::filesystem::path& from, const std::filesystem::path& to) override;
  std::optional<std::uintmax_t> fileSize(const std::filesystem::path& path) override { return inner_.fileSize(path); }
  std::vector<std::filesystem::path> listDirectory(const std::filesystem::path& path) override;
  std::unique_ptr<ReadableFile> openForReading(const std::filesystem::path& path) override;
  std::unique_ptr<WritableFile> openForAppending(const std::filesystem::path& path) override;
  void syncDirectory(const std::filesystem::path& path) override;

 private:
  class FaultyReadable;
  class FaultyWritable;
  static constexpr std::size_t operationCount = 11;

  // What a chosen call does: fail with `errorCode`, a write after passing `bytesBeforeFailure`.
  struct Injection {
    int errorCode;
    std::size_t bytesBeforeFailure;
  };
  // Counts the call and returns the injection when a fault of addFault chooses it.
  std::optional<Injection> checkFault(Operation operation, const std::filesystem::path& path);

  void countWrite(const char* operation, const std::filesystem::path& path);
  void countRead(const char* operation, const std::filesystem::path& path);
  // checkFault, then throws FileError(name, path, code) when it chose this call.
  void failIfChosen(Operation operation, const char* name, const std::filesystem::path& path);

  struct ActiveFault {
    Fault fault;
    std::uint64_t seen = 0;
  };

  FileSystem& inner_;
  std::atomic<std::uint64_t> writes_{0};
  std::atomic<std::uint64_t> reads_{0};
  std::atomic<std::uint64_t> failWrite_{0};
  std::atomic<int> failWriteCode_{EIO};
  std::atomic<bool> failWritesSticky_{false};
  std::atomic<std::uint64_t> failRead_{0};
  std::atomic<int> failReadCode_{EIO};

  mutable std::mutex faultsMutex_;
  std::vector<ActiveFault> faults_;                         // guarded by faultsMutex_
  std::array<std::uint64_t, operationCount> callCounts_{};  // guarded by faultsMutex_; by Operation
  std::uint64_t injected_ = 0;                              // guarded by faultsMutex_
};

}  // namespace platform::fs
