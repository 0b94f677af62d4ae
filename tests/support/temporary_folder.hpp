// Test support: a fresh, empty folder below the system temporary folder for one test.
//
// Every test that writes files makes one; the folder and everything in it is removed when the
// object goes away. Names are unique across processes and threads (process id, a random
// number and a counter), so tests may run in parallel.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace testsupport {

class TemporaryFolder {
 public:
  // Creates "<temp>/<prefix>-<pid>-<random>-<n>". Throws std::filesystem::filesystem_error
  // when it cannot.
  explicit TemporaryFolder(std::string_view prefix = "test");
  // Removes the folder with its content; failures are ignored.
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
