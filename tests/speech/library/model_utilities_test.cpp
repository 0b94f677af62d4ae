// The speech model utilities: variant detection, the model folder list, tokenizer repositories
// and the tokenizer search and loading (local folders, then the fake hub).
#include "speech/pipeline/model_utilities.hpp"

#include <gtest/gtest.h>

#include "support/fake_hub/fake_hub.hpp"
#include "speech/model/whisper_error.hpp"
#include "library_fixture.hpp"

namespace vostrane {
namespace {

using librarytest::LogLines;
namespace fs = std::filesystem;

TEST(ModelUtilities, DetectVariantFollowsTheVocabularyAndWidthTable) {
  const struct {
    int logits, embed;
    ModelVariant expected;
  } rows[] = {
      {51864, 384, ModelVariant::tinyEn},    {51864, 768, ModelVariant::smallEn}, {51864, 1024, ModelVariant::mediumEn},
      {51864, 512, ModelVariant::baseEn},    {51864, 640, ModelVariant::baseEn},  {51865, 384, ModelVariant::tiny},
      {51865, 768, ModelVariant::small},     {51865, 1024, ModelVariant::medium}, {51865, 1280, ModelVariant::largev2},
      {51865, 1152, ModelVariant::base},     {51866, 384, ModelVariant::largev3}, {51866, 1280, ModelVariant::largev3},
  };
  LogLines log;
  for (const auto& row : rows) {
    EXPECT_EQ(ModelUtilities::detectVariant(row.logits, row.embed), row.expected) << row.logits << " " << row.embed;
  }
  EXPECT_EQ(ModelUtilities::detectVariant(51865, 1000), ModelVariant::base);
  EXPECT_FALSE(log.contains("Unrecognized"));
  EXPECT_EQ(ModelUtilities::detectVariant(50000, 512), ModelVariant::base);
  EXPECT_EQ(log.count("Unrecognized vocabulary size: 50000, defaulting to base variant"), 1u);
}

TEST(ModelUtilities, TokenizerRepositoryIsTheVariantsDescription) {
  EXPECT_EQ(ModelUtilities::tokenizerRepoName(ModelVariant::tiny), "openai/whisper-tiny");
  EXPECT_EQ(ModelUtilities::tokenizerRepoName(ModelVariant::mediumEn), "openai/whisper-medium.en");
  EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::largev3), "openai/whisper-large-v3");
}

TEST(ModelUtilities, FormatModelFilesKeepsKnownFoldersInVariantOrder) {
  EXPECT_EQ(ModelUtilities::formatModelFiles({"openai_whisper-base/AudioEncoder.mlmodelc/weights/weight.bin",
                                              "openai_whisper-tiny/config.json",
                                              "openai_whisper-base/TextDecoder.mlmodelc/model.mil", "config.json"}),
            (std::vector<std::string>{"openai_whisper-tiny/", "openai_whisper-base/"}));
  // "." sorts before "/" within one key; "large" folders share a key and sort by text; a
  // folder with no "tiny/" is dropped.
  EXPECT_EQ(ModelUtilities::formatModelFiles({"openai_whisper-tiny/a", "openai_whisper-tiny.en/a",
                                              "openai_whisper-large-v3/a", "distil-whisper_distil-large-v3_594MB/a",
                                              "openai_whisper-tiny_q4/a", "openai_whisper-small.en/b"}),
            (std::vector<std::string>{"openai_whisper-tiny.en/", "openai_whisper-tiny/", "openai_whisper-small.en/",
                                      "distil-whisper_distil-large-v3_594MB/", "openai_whisper-large-v3/"}));
  EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
}

TEST(ModelUtilities, ModelSupportUsesTheGivenTableOrTheBuiltInOne) {
  const ModelSupportConfig config("demo", "1", {DeviceSupport{std::nullopt, {""}, ModelSupport{"openai_whisper-tiny", {"openai_whisper-tiny"}, {}}}},
                                  false);
  EXPECT_EQ(ModelUtilities::modelSupport("any-device", &config).defaultModel, "openai_whisper-tiny");
  EXPECT_EQ(ModelUtilities::modelSupport("no-such-device-xyz"),
            fallbackModelSupportConfig().modelSupport("no-such-device-xyz"));
}

class TokenizerLoading : public ::testing::Test {
 protected:
  librarytest::ScopedHubEnvironment environment_;
  testsupport::TemporaryFolder temporary_{"library_tokenizers"};
  fake_hub::FakeHub hub_;
  fs::path tokenizerFolder_ = temporary_ / "tokenizers";
  fs::path hubLocation_ = tokenizerFolder_ / "models" / "openai" / "whisper-base";

  void SetUp() override { environment_.set("HF_ENDPOINT", hub_.endpoint()); }
};

TEST_F(TokenizerLoading, SearchOrderIsHubLocationTokenizerFolderThenExtraPaths) {
  const fs::path a = temporary_ / "a", b = temporary_ / "b";
  librarytest::writeTokenizer(a, 51865);
  librarytest::writeTokenizer(b, 51865);
  LogLines log;
  EXPECT_EQ(ModelUtilities::findLocalTokenizer(hubLocation_, std::nullopt, {temporary_ / "none", b, a}), b);
  EXPECT_TRUE(log.contains("Checking for local tokenizer at " + (temporary_ / "none" / "tokenizer.json").string() +
                           " - not found"));
  EXPECT_TRUE(log.contains("Found local tokenizer at " + b.string()));
  EXPECT_EQ(ModelUtilities::findLocalTokenizer(hubLocation_, a, {b}), a);
  librarytest::writeTokenizer(hubLocation_, 51865);
  EXPECT_EQ(ModelUtilities::findLocalTokenizer(hubLocation_, a, {b}), hubLocation_);
  EXPECT_EQ(ModelUtilities::findLocalTokenizer(temporary_ / "x", std::nullopt, {}), std::nullopt);
  EXPECT_TRUE(log.contains("No tokenizer found in any local search paths"));
}

TEST_F(TokenizerLoading, LocalTokenizerIsUsedWithoutAskingTheHub) {
  librarytest::writeTokenizer(hubLocation_, 51865);
  const auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::base, tokenizerFolder_);
  ASSERT_TRUE(tokenizer);
  librarytest::expectTokenizerOfLayout(*tokenizer, 51865);
  EXPECT_EQ(hub_.requestCount(), 0u);
}

TEST_F(TokenizerLoading, UnreadableLocalTokenizerFallsBackToTheHub) {
  testsupport::writeFile(hubLocation_ / "tokenizer.json", "{ not json");
  const fs::path served = temporary_ / "served";
  librarytest::writeTokenizer(served, 51865);
  hub_.addRepository("openai/whisper-base", served);
  LogLines log;
  const auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::base, tokenizerFolder_);
  ASSERT_TRUE(tokenizer);
  librarytest::expectTokenizerOfLayout(*tokenizer, 51865);
  EXPECT_TRUE(log.contains("Error loading local tokenizer: "));
  EXPECT_TRUE(log.contains("Downloading tokenizer from Hub at " + hubLocation_.string()));
  EXPECT_GT(hub_.requestCount("GET", "tokenizer.json"), 0u);
}

TEST_F(TokenizerLoading, NoTokenizerAnywhereIsTokenizerUnavailableNamingTheSearch) {
  const fs::path extra = temporary_ / "extra";
  try {
    (void)ModelUtilities::loadTokenizer(ModelVariant::base, tokenizerFolder_, {extra});
    FAIL() << "no error";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.errorCase(), WhisperError::Case::tokenizerUnavailable);
    EXPECT_NE(e.message().find("openai/whisper-base"), std::string::npos) << e.message();
    EXPECT_NE(e.message().find(hubLocation_.string()), std::string::npos) << e.message();
    EXPECT_NE(e.message().find(extra.string()), std::string::npos) << e.message();
    EXPECT_NE(e.message().find("not available from the hub: "), std::string::npos) << e.message();
  }
  EXPECT_GT(hub_.requestCount(), 0u);
}

}  // namespace
}  // namespace vostrane
