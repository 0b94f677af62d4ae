// Replays every kept input of the tokenizer-files fuzzer (tests/data/fuzz/tokenizers) through
// its entry point.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>

#include "platform/fs/file_system.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(TokenizerFilesFuzzInputs, EveryKeptInputRunsCleanly) {
  std::size_t count = 0;
  for (const auto& e :
       std::filesystem::directory_iterator(std::filesystem::path(PROJECT_TEST_DATA_DIR) / "fuzz" / "tokenizers")) {
    if (!e.is_regular_file()) continue;
    const std::string bytes = platform::fs::readFile(e.path());
    SCOPED_TRACE(e.path().filename().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), 0);
    ++count;
  }
  EXPECT_GE(count, 8u);
}
