#include "fuzz/fuzz_entries.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "fuzz/scratch.hpp"
#include "platform/log/log.hpp"

namespace fuzzentries {

namespace fs = std::filesystem;

namespace {

// One folder per process, made on first use and removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() /
            ("fuzz-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

}  // namespace

const fs::path& scratchFolder() {
  static const ScratchFolder folder;
  return folder.path();
}

void writeScratchFile(const fs::path& file, std::span<const std::uint8_t> bytes) {
  fs::create_directories(file.parent_path());
  std::ofstream stream(file, std::ios::binary | std::ios::trunc);
  stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  stream.close();
  if (!stream) throw std::runtime_error("cannot write the scratch file " + file.string());
}

void silenceLogging() { platform::log::setMinimumLevel(platform::log::Level::fault); }

}  // namespace fuzzentries
