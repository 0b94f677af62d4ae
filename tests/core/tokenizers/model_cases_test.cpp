// Runs every hand-written model file under tests/data/tokenizers/models: the factory builds the
// model from the file's "tokenizer_config", "tokenizer" and "added_tokens"; each case gives a
// pre-token with the tokens and ids worked out by hand from the file's vocabulary and merges.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/config.hpp"
#include "core/tokenizers/tokenizer_model_factory.hpp"
#include "platform/json/json.hpp"

namespace noxtal::tokenizers {
namespace {

using Json = platform::json::Json;

struct ModelFile {
  std::string name;
  Json document;
};

void PrintTo(const ModelFile& f, std::ostream* os) { *os << f.name; }

std::vector<ModelFile> loadFiles() {
  const std::filesystem::path folder = std::filesystem::path(PROJECT_TEST_DATA_DIR) / "tokenizers" / "models";
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".json") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<ModelFile> files;
  for (const auto& path : paths) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    files.push_back({path.stem().string(), platform::json::parse(text.str())});
  }
  return files;
}

std::optional<std::string> optionalString(const Json& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<std::string>();
}

std::optional<int> optionalInt(const Json& value) {
  if (value.is_null()) return std::nullopt;
  return value.get<int>();
}

class ModelFileTest : public testing::TestWithParam<ModelFile> {};

TEST_P(ModelFileTest, TokensIdsAndGettersAreTheHandWorkedOnes) {
  const Json& document = GetParam().document;
  AddedTokens added;
  if (document.contains("added_tokens")) {
    for (const auto& [content, id] : document.at("added_tokens").items()) added[content] = id.get<int>();
  }
  const auto model = makeTokenizingModel(Config::fromJson(document.at("tokenizer_config")),
                                         Config::fromJson(document.at("tokenizer")), added, true);
  ASSERT_NE(model, nullptr);
  for (const Json& c : document.at("cases")) {
    const std::string input = c.at("input").get<std::string>();
    const std::vector<std::string> tokens = model->tokenize(input);
    EXPECT_EQ(tokens, c.at("tokens").get<std::vector<std::string>>()) << input << ": " << c.value("why", "");
    std::vector<int> ids;
    for (const std::string& token : tokens) {
      const auto id = model->convertTokenToId(token);
      ASSERT_TRUE(id.has_value()) << token;
      ids.push_back(*id);
    }
    EXPECT_EQ(ids, c.at("ids").get<std::vector<int>>()) << input;
  }
  const Json& getters = document.at("getters");
  EXPECT_EQ(model->bosToken(), optionalString(getters.at("bosToken")));
  EXPECT_EQ(model->bosTokenId(), optionalInt(getters.at("bosTokenId")));
  EXPECT_EQ(model->eosToken(), optionalString(getters.at("eosToken")));
  EXPECT_EQ(model->eosTokenId(), optionalInt(getters.at("eosTokenId")));
  EXPECT_EQ(model->unknownToken(), optionalString(getters.at("unknownToken")));
  EXPECT_EQ(model->unknownTokenId(), optionalInt(getters.at("unknownTokenId")));
  EXPECT_EQ(model->fuseUnknownTokens(), getters.at("fuseUnknownTokens").get<bool>());
  for (const Json& pair : document.value("ids_to_tokens", Json::array())) {
    EXPECT_EQ(model->convertIdToToken(pair.at(0).get<int>()), optionalString(pair.at(1))) << pair.dump();
  }
  for (const Json& pair : document.value("token_ids", Json::array())) {
    EXPECT_EQ(model->convertTokenToId(pair.at(0).get<std::string>()), optionalInt(pair.at(1))) << pair.dump();
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ModelFileTest, testing::ValuesIn(loadFiles()),
                         [](const testing::TestParamInfo<ModelFile>& info) { return info.param.name; });

}  // namespace
}  // namespace noxtal::tokenizers
