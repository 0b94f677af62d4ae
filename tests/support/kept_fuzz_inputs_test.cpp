// Replays every kept input of one libFuzzer harness (the files of tests/data/fuzz/<harness>/)
// through its entry point, in the plain and sanitizer builds. A test target compiles this file
// with the harness's source and KEPT_FUZZ_INPUTS set to the folder name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "platform/fs/file_system.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(KeptFuzzInputs, EveryKeptInputRunsCleanly) {
  const std::filesystem::path folder = std::filesystem::path(PROJECT_TEST_DATA_DIR) / "fuzz" / KEPT_FUZZ_INPUTS;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    const std::string bytes = platform::fs::readFile(file);
    SCOPED_TRACE(file.filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
  }
  EXPECT_FALSE(files.empty()) << "no kept inputs in " << folder;
}
