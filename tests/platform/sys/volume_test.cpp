#include "platform/sys/volume.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/temporary_folder.hpp"

namespace platform::sys {
namespace {

namespace fs = std::filesystem;

// Free space changes while the tests of other engineers write files; readings of one volume
// taken moments apart agree within this margin.
constexpr std::uint64_t kMargin = 256ull << 20;

std::uint64_t statvfsAvailable(const fs::path& path) {
  struct statvfs info {};
  EXPECT_EQ(::statvfs(path.c_str(), &info), 0);
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

void expectNear(std::uint64_t a, std::uint64_t b) {
  EXPECT_LE(a > b ? a - b : b - a, kMargin) << a << " vs " << b;
}

TEST(Volume, NearestExistingAncestorOfAPathStillToBeCreated) {
  testsupport::TemporaryFolder folder("volume");
  EXPECT_EQ(nearestExistingAncestor(folder.path()), folder.path());
  EXPECT_EQ(nearestExistingAncestor(folder / "a/b/c.lock"), folder.path());
  EXPECT_EQ(nearestExistingAncestor(folder / "a/../b/./c"), folder.path());
  std::ofstream(folder / "file") << "x";
  EXPECT_EQ(nearestExistingAncestor(folder / "file/below"), folder / "file");  // a file where a folder is expected
  EXPECT_EQ(nearestExistingAncestor("/no-such-root-folder/x"), fs::path("/"));
  EXPECT_EQ(nearestExistingAncestor(fs::path("relative-missing/x")), fs::current_path());
  EXPECT_FALSE(nearestExistingAncestor(""));
  EXPECT_FALSE(volumeAvailableCapacity(""));
}

TEST(Volume, AvailableCapacityIsReadOnTheVolumeOfTheNearestAncestor) {
  testsupport::TemporaryFolder folder("volume");
  const auto existing = volumeAvailableCapacity(folder.path());
  ASSERT_TRUE(existing);
  EXPECT_GT(*existing, 0u);
  expectNear(*existing, statvfsAvailable(folder.path()));
  const auto missing = volumeAvailableCapacity(folder / "models/owner/repo");
  ASSERT_TRUE(missing);
  expectNear(*missing, *existing);
  // /dev/shm and /proc are volumes of their own; each is read where it lies.
  if (fs::is_directory("/dev/shm")) {
    const auto shm = volumeAvailableCapacity("/dev/shm/not-there/x");
    ASSERT_TRUE(shm);
    expectNear(*shm, statvfsAvailable("/dev/shm"));
  }
  EXPECT_EQ(volumeAvailableCapacity("/proc/no-such-entry"), std::optional<std::uint64_t>(0));
}

TEST(Volume, AnAncestorThatCannotBeSearchedGivesNoReading) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  testsupport::TemporaryFolder folder("volume");
  fs::create_directory(folder / "closed");
  ASSERT_EQ(::chmod((folder / "closed").c_str(), 0), 0);
  EXPECT_FALSE(nearestExistingAncestor(folder / "closed/inner/x"));
  EXPECT_FALSE(volumeAvailableCapacity(folder / "closed/inner/x"));
  ::chmod((folder / "closed").c_str(), 0700);
}

}  // namespace
}  // namespace platform::sys
