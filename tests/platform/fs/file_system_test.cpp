#include "platform/fs/file_system.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs/unique_fd.hpp"
#include "support/temporary_folder.hpp"

namespace platform::fs {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = temporary_.path();
  }
  // A test may have made root_ read-only; the folder must be removable afterwards.
  void TearDown() override {
    std::filesystem::permissions(root_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
  }
  testsupport::TemporaryFolder temporary_{"fs_test"};
  // Names in root_ other than the given ones (left-over temporary files).
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& p : listDirectory(root_)) out.push_back(p.filename().string());
    return out;
  }
  std::filesystem::path root_;
};

TEST_F(FileSystemTest, AtomicWriteReplacesWholeAndLeavesNoTemporaryFile) {
  const auto file = root_ / "metadata";
  writeFileAtomically(file, "first");
  EXPECT_EQ(readFile(file), "first");
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  ::chmod(file.c_str(), 0600);
  std::string big(1 << 20, 'x');
  big[12345] = '\0';
  writeFileAtomically(file, big);
  EXPECT_EQ(readFile(file), big);
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);  // an existing file keeps its mode
  writeFileAtomically(file, "");
  EXPECT_EQ(readFile(file), "");
  EXPECT_EQ(names(), std::vector<std::string>{"metadata"});
}

TEST_F(FileSystemTest, FailedWritesKeepTheOldContentAndCleanUp) {
  // Renaming over a non-empty folder fails after the temporary file was written.
  std::filesystem::create_directories(root_ / "target" / "inside");
  try {
    writeFileAtomically(root_ / "target", "data");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.operation(), "rename");
    EXPECT_TRUE(e.code() == EISDIR || e.code() == ENOTEMPTY || e.code() == EEXIST) << e.code();
  }
  EXPECT_EQ(names(), std::vector<std::string>{"target"});

  // A folder without write permission refuses the temporary file.
  if (::geteuid() != 0) {
    const auto file = root_ / "kept";
    writeFileAtomically(file, "old");
    std::filesystem::permissions(root_, std::filesystem::perms::owner_write, std::filesystem::perm_options::remove);
    EXPECT_THROW(writeFileAtomically(file, "new"), FileError);
    std::filesystem::permissions(root_, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    EXPECT_EQ(readFile(file), "old");
  }
  EXPECT_THROW(writeFileAtomically(root_ / "missing" / "file", "x"), FileError);
}

TEST_F(FileSystemTest, ReadErrorsCarryErrnoAndPath) {
  try {
    (void)readFile(root_ / "absent");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_EQ(e.path(), root_ / "absent");
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos);
  }
  try {
    (void)readFile(root_);
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
}

TEST_F(FileSystemTest, DirectoryOperations) {
  const auto nested = root_ / "a" / "b";
  createDirectories(nested);
  createDirectories(nested);
  EXPECT_TRUE(isDirectory(nested));
  writeFileAtomically(nested / "y", "12345");
  writeFileAtomically(nested / "x", "1");
  EXPECT_EQ(fileSize(nested / "y"), 5u);
  EXPECT_EQ(fileSize(nested), std::nullopt);
  EXPECT_EQ(fileSize(nested / "none"), std::nullopt);
  EXPECT_EQ(listDirectory(nested), (std::vector<std::filesystem::path>{nested / "x", nested / "y"}));
  EXPECT_THROW(listDirectory(root_ / "none"), FileError);
  EXPECT_THROW(createDirectories(nested / "x" / "sub"), FileError);
  moveReplacing(nested / "y", nested / "x");
  EXPECT_EQ(readFile(nested / "x"), "12345");
  EXPECT_FALSE(fs::exists(nested / "y"));
  EXPECT_THROW(moveReplacing(nested / "y", nested / "z"), FileError);
  EXPECT_TRUE(fs::remove(nested / "x"));
  EXPECT_FALSE(fs::remove(nested / "x"));
  EXPECT_EQ(removeAll(root_ / "a"), 2u);
  EXPECT_FALSE(fs::exists(root_ / "a"));
}

TEST_F(FileSystemTest, ConcurrentAtomicWritersNeverLeaveAMix) {
  const auto file = root_ / "shared";
  writeFileAtomically(file, std::string(4096, 'a'));
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        const std::string content(4096, static_cast<char>('a' + t));
        for (int i = 0; i < 20; ++i) {
          writeFileAtomically(file, content);
          const std::string seen = readFile(file);
          ASSERT_EQ(seen.size(), 4096u);
          EXPECT_EQ(seen.find_first_not_of(seen[0]), std::string::npos);
        }
      });
    }
  }
  EXPECT_EQ(names(), std::vector<std::string>{"shared"});
}

TEST_F(FileSystemTest, FaultInjectionFailsTheChosenOperations) {
  FaultInjectingFileSystem faulty(RealFileSystem::shared());
  faulty.failNthWrite(2, ENOSPC);
  faulty.writeFile(root_ / "one", "1");
  try {
    faulty.writeFile(root_ / "two", "2");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.code(), ENOSPC);
  }
  EXPECT_FALSE(faulty.exists(root_ / "two"));
  faulty.createDirectories(root_ / "three");  // the third write passes again
  EXPECT_EQ(faulty.writeCount(), 3u);

  faulty.failAllWritesFrom(4);
  EXPECT_THROW(faulty.remove(root_ / "one"), FileError);
  EXPECT_THROW(faulty.moveReplacing(root_ / "one", root_ / "four"), FileError);
  EXPECT_TRUE(faulty.exists(root_ / "one"));
  faulty.failNthWrite(0);
  EXPECT_TRUE(faulty.remove(root_ / "one"));

  faulty.writeFile(root_ / "r", "data");
  faulty.failNthRead(2);
  EXPECT_EQ(faulty.readFile(root_ / "r"), "data");
  EXPECT_THROW(faulty.listDirectory(root_), FileError);
  EXPECT_EQ(faulty.readFile(root_ / "r"), "data");
  EXPECT_EQ(faulty.readCount(), 3u);
  EXPECT_EQ(faulty.fileSize(root_ / "r"), 4u);
}

}  // namespace
}  // namespace platform::fs

namespace platform::fs {
namespace {

TEST(UniqueFd, ClosesItsDescriptorOnceAndMovesOwnership) {
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const int readEnd = pipeEnds[0];
  {
    UniqueFd first(readEnd);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), readEnd);
    UniqueFd third;
    third = std::move(second);
    EXPECT_FALSE(second);
    EXPECT_EQ(third.get(), readEnd);
    EXPECT_NE(::fcntl(readEnd, F_GETFD), -1) << "still open while owned";
  }
  EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1) << "closed by the last owner";
  EXPECT_EQ(errno, EBADF);

  UniqueFd writeEnd(pipeEnds[1]);
  const int released = writeEnd.release();
  EXPECT_FALSE(writeEnd.valid());
  EXPECT_EQ(writeEnd.close(), 0) << "nothing held, nothing to close";
  EXPECT_NE(::fcntl(released, F_GETFD), -1) << "release does not close";
  UniqueFd again(released);
  EXPECT_EQ(again.close(), 0);
  EXPECT_EQ(::fcntl(released, F_GETFD), -1);
  EXPECT_FALSE(UniqueFd(-5).valid());
}

TEST_F(FileSystemTest, AppendingKeepsExistingBytesAndWritesAfterTheEndAlsoAfterTruncation) {
  RealFileSystem& disk = RealFileSystem::shared();
  const auto path = root_ / "partial";
  writeFileAtomically(path, "12345");
  {
    auto file = disk.openForAppending(path);
    EXPECT_EQ(file->size(), 5u);
    file->write(std::string_view("678"));
    EXPECT_EQ(file->size(), 8u);
    file->truncate(2);
    file->write(std::string_view("ab"));
    file->sync();
    file->close();
    file->close();  // a second close does nothing
    EXPECT_EQ(file->path(), path);
  }
  EXPECT_EQ(readFile(path), "12ab");
  {
    auto created = disk.openForAppending(root_ / "new");  // dropped without close: still closed
    created->write(std::string_view("x"));
  }
  EXPECT_EQ(readFile(root_ / "new"), "x");
  struct stat info {};
  ASSERT_EQ(::stat((root_ / "new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  try {
    disk.openForAppending(root_ / "missing" / "file");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.operation(), "open");
    EXPECT_EQ(e.code(), ENOENT);
  }
}

TEST_F(FileSystemTest, ReadingReturnsEveryByteThenZero) {
  RealFileSystem& disk = RealFileSystem::shared();
  std::string content(70'000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  writeFileAtomically(root_ / "f", content);
  auto file = disk.openForReading(root_ / "f");
  std::string seen;
  std::byte buffer[4096];
  while (const std::size_t n = file->read(buffer)) seen.append(reinterpret_cast<const char*>(buffer), n);
  EXPECT_EQ(seen, content);
  EXPECT_EQ(file->read(buffer), 0u);
  EXPECT_THROW(disk.openForReading(root_ / "absent"), FileError);
  auto folder = disk.openForReading(root_);
  EXPECT_THROW(folder->read(buffer), FileError);
}

TEST_F(FileSystemTest, EntryTypesWithAndWithoutFollowingLinks) {
  RealFileSystem& disk = RealFileSystem::shared();
  writeFileAtomically(root_ / "file", "x");
  createDirectories(root_ / "dir");
  std::filesystem::create_symlink(root_ / "file", root_ / "to-file");
  std::filesystem::create_directory_symlink(root_ / "dir", root_ / "to-dir");
  std::filesystem::create_symlink(root_ / "nowhere", root_ / "dangling");
  std::filesystem::create_symlink(root_ / "loop", root_ / "loop");
  EXPECT_EQ(disk.entryType(root_ / "file"), EntryType::regular);
  EXPECT_EQ(disk.entryType(root_ / "dir"), EntryType::directory);
  EXPECT_EQ(disk.entryType(root_ / "to-file"), EntryType::regular);
  EXPECT_EQ(disk.entryType(root_ / "to-file", false), EntryType::symlink);
  EXPECT_EQ(disk.entryType(root_ / "to-dir"), EntryType::directory);
  EXPECT_EQ(disk.entryType(root_ / "to-dir", false), EntryType::symlink);
  EXPECT_EQ(disk.entryType(root_ / "dangling"), EntryType::none);
  EXPECT_EQ(disk.entryType(root_ / "dangling", false), EntryType::symlink);
  EXPECT_EQ(disk.entryType(root_ / "absent"), EntryType::none);
  EXPECT_EQ(disk.entryType("/dev/null"), EntryType::other);
  EXPECT_THROW(disk.entryType(root_ / "loop"), FileError);
  EXPECT_EQ(disk.resolvedPath(root_ / "to-dir" / ".." / "to-file"), std::filesystem::canonical(root_) / "file");
  EXPECT_EQ(disk.resolvedPath(root_ / "to-dir" / "not-yet"), std::filesystem::canonical(root_) / "dir" / "not-yet");
  disk.syncDirectory(root_);
  EXPECT_THROW(disk.syncDirectory(root_ / "absent"), FileError);
}

TEST_F(FileSystemTest, AddedFaultsCountTheirOwnOperationAndPathOnly) {
  using Operation = FaultInjectingFileSystem::Operation;
  FaultInjectingFileSystem faulty(RealFileSystem::shared());
  // The second write to a ".part" file fails after passing 3 of its bytes, as a full disk does.
  faulty.addFault(
      {.operation = Operation::write, .nth = 2, .errorCode = ENOSPC, .pathContains = ".part", .bytesBeforeFailure = 3});
  faulty.addFault({.operation = Operation::sync, .nth = 1, .errorCode = EIO, .sticky = true});
  auto other = faulty.openForAppending(root_ / "other");
  auto part = faulty.openForAppending(root_ / "a.part");
  other->write(std::string_view("o1"));
  part->write(std::string_view("first"));
  other->write(std::string_view("o2"));  // another path: not counted by the fault
  try {
    part->write(std::string_view("second"));
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_EQ(e.code(), ENOSPC);
    EXPECT_EQ(e.operation(), "write");
    EXPECT_EQ(e.path(), root_ / "a.part");
  }
  part->write(std::string_view("third"));  // only the second one fails
  EXPECT_EQ(readFile(root_ / "a.part"), "firstsecthird");
  EXPECT_THROW(part->sync(), FileError);
  EXPECT_THROW(other->sync(), FileError) << "sticky: every later sync fails too";
  EXPECT_EQ(faulty.callCount(Operation::write), 5u);
  EXPECT_EQ(faulty.callCount(Operation::sync), 2u);
  EXPECT_EQ(faulty.injectedFailures(), 3u);

  faulty.clearFaults();
  part->sync();
  part->close();
  faulty.addFault({.operation = Operation::move, .errorCode = EXDEV});
  faulty.addFault({.operation = Operation::open, .errorCode = EMFILE, .pathContains = "b"});
  EXPECT_THROW(faulty.moveReplacing(root_ / "a.part", root_ / "a"), FileError);
  EXPECT_TRUE(std::filesystem::exists(root_ / "a.part")) << "a failed call never reaches the disk";
  faulty.moveReplacing(root_ / "a.part", root_ / "a");
  EXPECT_EQ(readFile(root_ / "a"), "firstsecthird");
  faulty.openForReading(root_ / "a");
  EXPECT_THROW(faulty.openForReading(root_ / "b"), FileError);
  EXPECT_FALSE(std::filesystem::exists(root_ / "b"));
}

}  // namespace
}  // namespace platform::fs
