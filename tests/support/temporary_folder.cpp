#include "support/temporary_folder.hpp"

#include <unistd.h>

#include <atomic>
#include <random>

namespace testsupport {

TemporaryFolder::TemporaryFolder(std::string_view prefix) {
  static std::atomic<unsigned> counter{0};
  static const unsigned salt = std::random_device{}();
  path_ = std::filesystem::temp_directory_path() /
          (std::string(prefix) + "-" + std::to_string(::getpid()) + "-" + std::to_string(salt) + "-" +
           std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace testsupport
