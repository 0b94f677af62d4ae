#include "platform/fs/file_system.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

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
