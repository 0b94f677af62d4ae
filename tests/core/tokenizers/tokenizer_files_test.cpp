// Tokenizer folders written from the case files of tests/data/tokenizers: the common real
// shapes (shapes/, with ids worked out by hand from each file's vocabulary and merges), the
// broken files (bad/, each with the TokenizerError it gives) and one-byte mutations of a valid
// file, all loaded through the folder loader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/json/json.hpp"
#include "support/temporary_folder.hpp"

namespace noxtal::tokenizers {
namespace {

namespace fs = std::filesystem;
using platform::json::Json;

const fs::path kData = fs::path(PROJECT_TEST_DATA_DIR) / "tokenizers";

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void writeText(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

std::vector<fs::path> caseFiles(const std::string& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(kData / folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Writes the case's "files" (JSON values) and "raw_files" (texts) into `folder`, adding the
// generated added tokens a case describes to "tokenizer.json".
void writeFolder(const Json& testCase, const fs::path& folder) {
  fs::create_directories(folder);
  if (testCase.contains("files")) {
    for (const auto& [name, value] : testCase["files"].items()) {
      Json content = value;
      if (name == "tokenizer.json" && testCase.contains("generated_added_tokens")) {
        const Json& g = testCase["generated_added_tokens"];
        for (int i = 0; i < g["count"].get<int>(); ++i) {
          content["added_tokens"].push_back(
              {{"id", g["first_id"].get<int>() + i},
               {"content", g["prefix"].get<std::string>() + std::to_string(i) + g["suffix"].get<std::string>()},
               {"special", g["special"] == "even" ? i % 2 == 0 : i % 2 == 1}});
        }
      }
      writeText(folder / name, content.dump());
    }
  }
  if (testCase.contains("raw_files")) {
    for (const auto& [name, value] : testCase["raw_files"].items()) writeText(folder / name, value.get<std::string>());
  }
}

class TokenizerFilesTest : public ::testing::Test {
 protected:
  testsupport::TemporaryFolder tmp_{"tokenizer-files"};
};

TEST_F(TokenizerFilesTest, RealShapesLoadAndEncodeAsTheirFilesDefine) {
  const std::vector<fs::path> files = caseFiles("shapes");
  ASSERT_GE(files.size(), 5u);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const Json testCase = platform::json::parse(readText(file));
    const fs::path folder = tmp_ / file.stem().string();
    writeFolder(testCase, folder);
    const TokenizerWrapper tokenizer = AutoTokenizerWrapper::fromModelFolder(folder, std::nullopt, true);
    for (const Json& c : testCase["cases"]) {
      const std::string text = c["text"].get<std::string>();
      SCOPED_TRACE(text);
      EXPECT_EQ(tokenizer.tokenize(text), c["tokens"].get<std::vector<std::string>>());
      const std::vector<int> ids = c["ids"].get<std::vector<int>>();
      EXPECT_EQ(tokenizer.encode(text), ids);
      if (c.contains("ids_without_special")) {
        EXPECT_EQ(tokenizer.encode(text, false), c["ids_without_special"].get<std::vector<int>>());
      }
      if (c.contains("decoded")) {
        EXPECT_EQ(tokenizer.decode(ids), c["decoded"].get<std::string>());
      }
      if (c.contains("decoded_without_special")) {
        EXPECT_EQ(tokenizer.decode(ids, true), c["decoded_without_special"].get<std::string>());
      }
    }
    if (testCase.contains("decodes")) {
      for (const Json& d : testCase["decodes"]) {
        EXPECT_EQ(tokenizer.decode(d["ids"].get<std::vector<int>>()), d["decoded"].get<std::string>());
      }
    }
  }
}

TEST_F(TokenizerFilesTest, BadFilesGiveTheirTokenizerError) {
  const std::vector<fs::path> files = caseFiles("bad");
  ASSERT_GE(files.size(), 20u);
  for (const fs::path& file : files) {
    SCOPED_TRACE(file.filename().string());
    const Json testCase = platform::json::parse(readText(file));
    ASSERT_TRUE(testCase.contains("description"));
    const fs::path folder = tmp_ / file.stem().string();
    writeFolder(testCase, folder);
    try {
      AutoTokenizerWrapper::fromModelFolder(folder, std::nullopt, true);
      ADD_FAILURE() << "loaded";
    } catch (const TokenizerError& error) {
      EXPECT_EQ(error.caseName(), testCase["error"].get<std::string>()) << error.what();
      if (testCase.contains("message_contains")) {
        EXPECT_NE(std::string(error.what()).find(testCase["message_contains"].get<std::string>()), std::string::npos)
            << error.what();
      }
    }
  }
}

// Every one-byte change of a small valid pair of files loads or fails with TokenizerError;
// what loads tokenizes, encodes (or reports a token without id) and decodes without any other
// failure. The files are built in memory, the way the folder loader builds them.
TEST_F(TokenizerFilesTest, OneByteMutationsLoadOrFailWithTokenizerError) {
  const Json shape = platform::json::parse(readText(kData / "shapes" / "sentencepiece_byte_fallback.json"));
  const std::string data = shape["files"]["tokenizer.json"].dump();
  const std::string config = shape["files"]["tokenizer_config.json"].dump();
  std::mt19937 random(16);
  int loaded = 0;
  int refused = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string mutatedData = data;
    std::string mutatedConfig = config;
    const std::size_t at = std::uniform_int_distribution<std::size_t>(0, data.size() + config.size() - 1)(random);
    std::string& target = at < data.size() ? mutatedData : mutatedConfig;
    const std::size_t offset = at < data.size() ? at : at - data.size();
    // Half of the changes put a character that matters to JSON; the rest any byte.
    static constexpr char kSyntax[] = "{}[]\",:0123456789-. \\tfn";
    target[offset] = round % 2 == 0 ? kSyntax[random() % (sizeof kSyntax - 1)] : static_cast<char>(random() % 256);
    try {
      const TokenizerWrapper tokenizer(makePreTrainedTokenizer(mutatedData, mutatedConfig, true));
      ++loaded;
      for (const char* text : {"hi caf\u00e9", "</s>z", ""}) {
        tokenizer.tokenize(text);
        try {
          const std::vector<int> ids = tokenizer.encode(text);
          tokenizer.decode(ids, round % 2 == 0);
        } catch (const TokenizerError& error) {
          EXPECT_EQ(error.errorCase(), TokenizerError::Case::tokenWithoutId) << error.what();
        }
      }
      tokenizer.decode(std::vector<int>{0, 1, 2, 3, 4, 5, 99, -1});
    } catch (const TokenizerError&) {
      ++refused;
    }
  }
  EXPECT_GT(loaded, 100);
  EXPECT_GT(refused, 100);
}

// The in-memory build gives the folder loader's answers for the same bytes.
TEST_F(TokenizerFilesTest, InMemoryFilesBuildAsTheFolderLoaderDoes) {
  const Json shape = platform::json::parse(readText(kData / "shapes" / "byte_level_split_sequence.json"));
  const fs::path folder = tmp_ / "same";
  writeFolder(shape, folder);
  const TokenizerWrapper fromFolder = AutoTokenizerWrapper::fromModelFolder(folder);
  const TokenizerWrapper inMemory(makePreTrainedTokenizer(readText(folder / "tokenizer.json"),
                                                          readText(folder / "tokenizer_config.json"), true));
  EXPECT_EQ(inMemory.encode("It's 12345 ok<|endoftext|>"), fromFolder.encode("It's 12345 ok<|endoftext|>"));
  try {
    makePreTrainedTokenizer("{}", "[]", true);
    ADD_FAILURE() << "built";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.errorCase(), TokenizerError::Case::invalidConfiguration);
    EXPECT_NE(std::string(error.what()).find("tokenizer_config.json"), std::string::npos);
  }
}

}  // namespace
}  // namespace noxtal::tokenizers
