// Every seed and every kept finding of the parser fuzzers, run through the entry the fuzzer
// drives: each must be refused with the parser's own error or parsed, keeping the parser's
// promises (a broken promise aborts the test process, an unexpected exception fails the case).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_entries.hpp"

namespace {

namespace fs = std::filesystem;

using Entry = void (*)(std::span<const std::uint8_t>);

struct Parser {
  const char* name;  // the folder under tests/data/fuzz/ and fuzz/seeds/
  Entry entry;
};

const Parser kParsers[] = {
    {"config", fuzzentries::configFromJson}, {"cache_metadata", fuzzentries::cacheMetadata},
    {"url", fuzzentries::url},               {"model_folder", fuzzentries::modelFolder},
    {"audio_file", fuzzentries::audioFile},
};

struct Case {
  Parser parser;
  fs::path file;
  std::string label;  // what the case is called in the test name
};

std::vector<Case> casesIn(const fs::path& root, const char* kind) {
  std::vector<Case> cases;
  for (const Parser& parser : kParsers) {
    const fs::path folder = root / parser.name;
    if (!fs::is_directory(folder)) continue;
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(folder)) {
      if (item.is_regular_file()) files.push_back(item.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::string label = std::string(kind) + "_" + parser.name + "_" + file.filename().string();
      std::replace_if(label.begin(), label.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
                      '_');
      cases.push_back({parser, file, label});
    }
  }
  return cases;
}

std::vector<Case> allCases() {
  auto cases = casesIn(fs::path(PROJECT_TEST_DATA_DIR) / "fuzz", "finding");
  auto seeds = casesIn(FUZZ_SEEDS_DIR, "seed");
  cases.insert(cases.end(), seeds.begin(), seeds.end());
  return cases;
}

std::vector<std::uint8_t> bytesOf(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

class FuzzReplayTest : public testing::TestWithParam<Case> {};

TEST_P(FuzzReplayTest, IsRefusedOrParsedCleanly) {
  const Case& c = GetParam();
  const std::vector<std::uint8_t> bytes = bytesOf(c.file);
  ASSERT_TRUE(fs::file_size(c.file) == bytes.size()) << "cannot read " << c.file;
  EXPECT_NO_THROW(c.parser.entry(bytes)) << c.file;
}

INSTANTIATE_TEST_SUITE_P(Kept, FuzzReplayTest, testing::ValuesIn(allCases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.label; });

TEST(FuzzReplayCoverage, EveryParserHasSeeds) {
  // An emptied seed folder would silently stop the replay of that parser.
  for (const Parser& parser : kParsers) {
    const fs::path folder = fs::path(FUZZ_SEEDS_DIR) / parser.name;
    EXPECT_TRUE(fs::is_directory(folder) && !fs::is_empty(folder)) << folder;
  }
}

}  // namespace
