// Runs every case file under tests/data/tokenizers/stages: each case builds one stage from its
// "config" object through the stage's factory and expects either no stage ("absent"), the
// configuration error "error", or the output "expected" for "input".
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/decoder.hpp"
#include "core/tokenizers/normalizer.hpp"
#include "core/tokenizers/post_processor.hpp"
#include "core/tokenizers/pre_tokenizer.hpp"
#include "core/tokenizers/tokenizer_error.hpp"
#include "platform/json/json.hpp"

namespace noxtal::tokenizers {
namespace {

using Json = platform::json::Json;

struct StageCase {
  std::string file;
  std::string stage;
  Json data;
};

void PrintTo(const StageCase& c, std::ostream* os) { *os << c.file << ": " << c.data.at("name").get<std::string>(); }

std::vector<StageCase> loadCases() {
  std::vector<StageCase> cases;
  const std::filesystem::path folder = std::filesystem::path(PROJECT_TEST_DATA_DIR) / "tokenizers" / "stages";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& path : files) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const Json document = platform::json::parse(text.str());
    for (const Json& c : document.at("cases")) {
      cases.push_back({path.stem().string(), document.at("stage").get<std::string>(), c});
    }
  }
  return cases;
}

std::vector<std::string> strings(const Json& list) { return list.get<std::vector<std::string>>(); }

// Builds the stage and runs it on the case's input; absent when the factory built none.
std::optional<Json> run(const StageCase& c) {
  const Config config = Config::fromJson(c.data.at("config"));
  const Json& input = c.data.contains("input") ? c.data.at("input") : Json();
  if (c.stage == "normalizer") {
    const auto stage = makeNormalizer(config);
    if (!stage) return std::nullopt;
    return Json(stage->normalize(input.get<std::string>()));
  }
  if (c.stage == "preTokenizer") {
    const auto stage = makePreTokenizer(config);
    if (!stage) return std::nullopt;
    PreTokenizerOptions options;
    for (const std::string& o : strings(c.data.value("options", Json::array()))) {
      EXPECT_EQ(o, rawValue(PreTokenizerOption::firstSection));
      options.insert(PreTokenizerOption::firstSection);
    }
    return Json(stage->preTokenize(input.get<std::string>(), options));
  }
  if (c.stage == "postProcessor") {
    const auto stage = makePostProcessor(config);
    if (!stage) return std::nullopt;
    const std::vector<std::string> tokens = strings(input);
    std::optional<std::vector<std::string>> pair;
    if (c.data.contains("pair")) pair = strings(c.data.at("pair"));
    std::optional<std::span<const std::string>> pairView;
    if (pair) pairView = std::span<const std::string>(*pair);
    return Json(stage->postProcess(tokens, pairView, c.data.value("addSpecialTokens", true)));
  }
  if (c.stage == "decoder") {
    std::optional<std::unordered_set<std::string>> added;
    if (c.data.contains("addedTokens")) {
      const auto list = strings(c.data.at("addedTokens"));
      added.emplace(list.begin(), list.end());
    }
    const auto stage = makeDecoder(config, added ? &*added : nullptr);
    if (!stage) return std::nullopt;
    return Json(stage->decode(strings(input)));
  }
  ADD_FAILURE() << "unknown stage kind " << c.stage;
  return std::nullopt;
}

class StageCaseTest : public ::testing::TestWithParam<StageCase> {};

TEST_P(StageCaseTest, GivesExpectedResult) {
  const StageCase& c = GetParam();
  SCOPED_TRACE(c.file + ": " + c.data.at("name").get<std::string>());
  if (c.data.contains("error")) {
    try {
      run(c);
      FAIL() << "expected the configuration error " << c.data.at("error");
    } catch (const TokenizerError& e) {
      EXPECT_EQ(e.errorCase(), TokenizerError::Case::invalidConfiguration);
      EXPECT_EQ(std::string(e.what()), c.data.at("error").get<std::string>());
    }
    return;
  }
  const std::optional<Json> result = run(c);
  if (c.data.value("absent", false)) {
    EXPECT_FALSE(result.has_value()) << platform::json::dump(*result);
    return;
  }
  ASSERT_TRUE(result.has_value()) << "the factory built no stage";
  EXPECT_EQ(*result, c.data.at("expected"));
}

std::string caseName(const ::testing::TestParamInfo<StageCase>& info) {
  std::string name = info.param.file + "_" + info.param.data.at("name").get<std::string>();
  for (char& ch : name) {
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(CaseFiles, StageCaseTest, ::testing::ValuesIn(loadCases()), caseName);

}  // namespace
}  // namespace noxtal::tokenizers
