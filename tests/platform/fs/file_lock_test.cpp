#include "platform/fs/file_lock.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/fs/file_system.hpp"
#include "support/temporary_folder.hpp"

namespace platform::fs {
namespace {

namespace stdfs = std::filesystem;

// Runs tryAcquire on `path` in a child process: 0 when it got the lock, 1 when it was held,
// 2 on an error.
int tryInChildProcess(const stdfs::path& path) {
  const pid_t child = ::fork();
  if (child == 0) {
    int code = 2;
    try {
      code = FileLock::tryAcquire(path) ? 0 : 1;
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(FileLock, ExcludesOtherHoldersInThisProcessAndOthers) {
  testsupport::TemporaryFolder folder("lock");
  const stdfs::path path = folder / "locks/owner--name.lock";
  {
    FileLock first = FileLock::acquire(path);  // creates the file and its folder
    EXPECT_TRUE(first.held());
    EXPECT_EQ(first.path(), path);
    EXPECT_TRUE(stdfs::is_regular_file(path));
    EXPECT_FALSE(FileLock::tryAcquire(path));
    EXPECT_EQ(tryInChildProcess(path), 1);
    // Another file is another lock.
    EXPECT_TRUE(FileLock::tryAcquire(folder / "locks/other.lock"));

    FileLock moved = std::move(first);
    EXPECT_FALSE(first.held());  // NOLINT(bugprone-use-after-move): a moved-from lock holds nothing
    EXPECT_TRUE(moved.held());
    EXPECT_FALSE(FileLock::tryAcquire(path));

    moved.release();
    EXPECT_FALSE(moved.held());
    EXPECT_EQ(tryInChildProcess(path), 0);
    auto again = FileLock::tryAcquire(path);
    ASSERT_TRUE(again);
    // Assigning over a held lock releases it.
    *again = FileLock::acquire(folder / "locks/third.lock");
    EXPECT_EQ(again->path(), folder / "locks/third.lock");
    EXPECT_EQ(tryInChildProcess(path), 0);
  }
  // Destruction releases; the file stays and keeps its content.
  EXPECT_EQ(tryInChildProcess(folder / "locks/third.lock"), 0);
  EXPECT_TRUE(stdfs::exists(path));
  std::ofstream(folder / "existing.lock") << "kept";
  { auto lock = FileLock::acquire(folder / "existing.lock"); }
  EXPECT_EQ(readFile(folder / "existing.lock"), "kept");
}

TEST(FileLock, AcquireWaitsUntilTheHolderReleases) {
  testsupport::TemporaryFolder folder("lock");
  const stdfs::path path = folder / "wait.lock";
  std::optional<FileLock> holder = FileLock::acquire(path);
  std::atomic<bool> released{false};
  std::atomic<bool> acquiredBeforeRelease{false};
  std::thread waiter([&] {
    FileLock lock = FileLock::acquire(path);
    if (!released.load()) acquiredBeforeRelease = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  released = true;
  holder.reset();
  waiter.join();
  EXPECT_FALSE(acquiredBeforeRelease.load());
  EXPECT_TRUE(FileLock::tryAcquire(path));
}

TEST(FileLock, FailuresNameTheOperationAndThePath) {
  testsupport::TemporaryFolder folder("lock");
  std::ofstream(folder / "file") << "x";
  try {
    FileLock::acquire(folder / "file/below/x.lock");
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.operation(), "create folder");
    EXPECT_EQ(e.code(), ENOTDIR);
  }
  try {
    FileLock::tryAcquire(folder.path());  // a folder cannot be opened for writing
    ADD_FAILURE() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.operation(), "open");
    EXPECT_EQ(e.code(), EISDIR);
    EXPECT_EQ(e.path(), folder.path());
  }
}

}  // namespace
}  // namespace platform::fs
