#include "speech/model/model_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "log_capture.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/model_variant.hpp"

namespace vostrane {
namespace {

using platform::json::Json;

const std::vector<DeviceSupport>& builtInRows() { return fallbackModelSupportConfig().deviceSupports(); }

TEST(ModelSupportTest, DeviceTableMatchesLongestPrefix) {
  const auto& rows = builtInRows();
  ASSERT_EQ(rows.size(), 6U);
  struct Row {
    const char* device;
    int row;  // 1-based built-in row, 0 for the default
  };
  const Row cases[] = {{"iPhone15,2", 2}, {"Mac15,6", 4},  {"Mac13,1", 3}, {"iPad13,18", 5},
                       {"iPad14,10", 4},  {"Watch8,1", 1}, {"Generic", 0}, {"", 0}};
  const ModelSupportConfig& table = fallbackModelSupportConfig();
  for (const Row& c : cases) {
    const ModelSupport expected = c.row == 0 ? table.defaultSupport().models : rows[c.row - 1].models;
    EXPECT_EQ(table.modelSupport(c.device), expected) << c.device;
  }
  EXPECT_EQ(table.modelSupport("iPhone15,2").defaultModel, "openai_whisper-base");
  const ModelSupport fallback = table.modelSupport("Generic");
  EXPECT_EQ(fallback.defaultModel, "openai_whisper-base");
  EXPECT_EQ(fallback.supported, table.knownModels());
}

TEST(ModelSupportTest, MatchAndMissAreLogged) {
  testing::LogCapture capture;
  fallbackModelSupportConfig().modelSupport("iPhone15,2");
  fallbackModelSupportConfig().modelSupport("Generic");
  const std::vector<std::string> lines = capture.lines();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0],
            "Matched iPhone15,2 to devices: [\"iPhone15\", \"iPhone16\", \"iPhone17\", \"iPad15,7\", \"iPad15,8\", "
            "\"iPad16,1\", \"iPad16,2\"]");
  EXPECT_EQ(lines[1], "No device support found for Generic, using default");
}

TEST(ModelSupportTest, KnownModelsAndDisabledLists) {
  const auto& known = Constants::knownModels();
  ASSERT_EQ(known.size(), 22U);
  EXPECT_EQ(known[0], "openai_whisper-base");
  EXPECT_EQ(known[4], "openai_whisper-small");
  EXPECT_EQ(known[13], "openai_whisper-large-v3-v20240930_turbo_632MB");
  EXPECT_EQ(known[14], "openai_whisper-large-v2");
  EXPECT_EQ(known[21], "openai_whisper-large-v3-v20240930_turbo");
  EXPECT_EQ(builtInRows()[4].models.disabled.size(), 16U);
  EXPECT_TRUE(builtInRows()[3].models.disabled.empty());
  for (const std::string& name : builtInRows()[4].models.disabled) {
    EXPECT_EQ(std::count(builtInRows()[4].models.supported.begin(), builtInRows()[4].models.supported.end(), name), 0);
  }
}

Json configWithRow(const std::string& name, const std::string& identifier) {
  return Json::parse(R"({"name": ")" + name + R"(", "version": "1", "extra": true, "device_support": [
      {"identifiers": [")" +
                     identifier +
                     R"("], "models": {"default": "custom", "supported": ["custom", "openai_whisper-base"]}}]})");
}

TEST(ModelSupportTest, ConfigMergesWithTheBuiltInTableOnlyForItsRepository) {
  const ModelSupportConfig merged = ModelSupportConfig::fromJson(configWithRow("vostrane-coreml", "iPhone16"));
  const auto& rows = merged.deviceSupports();
  ASSERT_EQ(rows.size(), 6U);  // the config row, then built-in rows 1, 3, 4, 5, 6
  EXPECT_EQ(rows[0].identifiers, std::vector<std::string>{"iPhone16"});
  EXPECT_EQ(rows[0].models.defaultModel, "custom");
  EXPECT_EQ(rows[0].models.supported.size(), 15U);  // custom + the 14 of row 2
  EXPECT_EQ(rows[0].models.supported[0], "custom");
  EXPECT_EQ(rows[1].identifiers, builtInRows()[0].identifiers);
  EXPECT_EQ(rows[1].models.supported, builtInRows()[0].models.supported);
  EXPECT_EQ(rows[1].models.disabled.size(), builtInRows()[0].models.disabled.size() + 1);  // + "custom"
  EXPECT_EQ(rows[2].identifiers, builtInRows()[2].identifiers);
  EXPECT_EQ(merged.modelSupport("iPhone16,1").defaultModel, "custom");
  EXPECT_EQ(merged.knownModels().size(), 23U);

  const ModelSupportConfig other = ModelSupportConfig::fromJson(configWithRow("other-repo", "iPhone16"));
  EXPECT_EQ(other.deviceSupports().size(), 1U);
  EXPECT_EQ(other.modelSupport("Mac14,2").supported, other.knownModels());

  const ModelSupportConfig unrelated = ModelSupportConfig::fromJson(configWithRow("vostrane-coreml", "Pixel9"));
  ASSERT_EQ(unrelated.deviceSupports().size(), 7U);
  EXPECT_EQ(unrelated.deviceSupports()[0].models.supported.size(), 2U);

  // Writing the merged config and reading it again adds nothing.
  const std::string text = platform::json::dump(merged.toJson());
  EXPECT_EQ(text.find("disabled"), std::string::npos);
  const ModelSupportConfig again = ModelSupportConfig::fromJson(platform::json::parse(text));
  EXPECT_EQ(again.deviceSupports(), merged.deviceSupports());
}

TEST(ModelSupportTest, MalformedConfigsFail) {
  for (const char* text : {R"({"version": "1", "device_support": []})",
                           R"({"name": "x", "version": "1", "device_support": [{"identifiers": ["a"]}]})",
                           R"({"name": "x", "version": 1, "device_support": []})",
                           R"({"name": "x", "version": "1", "device_support": [{"identifiers": ["a"],
                               "models": {"default": "d"}}]})"}) {
    EXPECT_THROW(ModelSupportConfig::fromJson(platform::json::parse(text)), platform::json::JsonError) << text;
  }
}

TEST(ModelVariantTest, DescriptionsAndLanguages) {
  std::vector<std::string> english;
  for (ModelVariant v : kAllModelVariants) {
    if (!isMultilingual(v)) english.emplace_back(description(v));
  }
  EXPECT_EQ(english, (std::vector<std::string>{"tiny.en", "base.en", "small.en", "medium.en"}));
  EXPECT_EQ(description(ModelVariant::largev2), "large-v2");

  const ModelComputeOptions options(platform::ml::ComputeUnits::cpuAndGPU, std::nullopt,
                                    platform::ml::ComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(options.audioEncoderCompute, platform::ml::ComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(ModelComputeOptions().melCompute, platform::ml::ComputeUnits::cpuAndGPU);
}

TEST(ConstantsTest, TablesAndTexts) {
  EXPECT_EQ(Constants::languages().size(), 112U);
  EXPECT_EQ(Constants::languageCodes().size(), 100U);
  EXPECT_EQ(Constants::languages().at("mandarin"), "zh");
  EXPECT_EQ(Constants::languages().at("haitian creole"), "ht");
  EXPECT_EQ(Constants::defaultPrependPunctuations.size(), 13U);
  EXPECT_EQ(Constants::defaultAppendPunctuations.size(), 31U);
  EXPECT_EQ(Constants::fallbackModelSupportConfig().repoName(), "vostrane-coreml-fallback");
  EXPECT_EQ(Constants::fallbackModelSupportConfig().repoVersion(), "0.4");
}

TEST(ConstantsTest, ClipTimestampsToSampleIndices) {
  using Pairs = std::vector<std::pair<std::int64_t, std::int64_t>>;
  EXPECT_EQ(clipTimestampsToSampleIndices({}, 48000), (Pairs{{0, 48000}}));
  EXPECT_EQ(clipTimestampsToSampleIndices({1.5F}, 48000), (Pairs{{24000, 48000}}));
  EXPECT_EQ(clipTimestampsToSampleIndices({0.5F, 1.0F}, 48000), (Pairs{{8000, 16000}}));
  EXPECT_EQ(clipTimestampsToSampleIndices({0.1F, 0.2F, 2.0F}, 48000), (Pairs{{1600, 3200}, {32000, 48000}}));
  EXPECT_EQ(clipTimestampsToSampleIndices({5.0F, 1.0F}, 100), (Pairs{{80000, 16000}}));  // passed on as given
}

TEST(ConstantsTest, TextUtilities) {
  EXPECT_EQ(trimmingSpecialTokenCharacters("<|en|>"), "en");
  EXPECT_EQ(trimmingSpecialTokenCharacters("<|startoftranscript|>"), "startoftranscript");
  EXPECT_EQ(trimmingSpecialTokenCharacters("a<|b"), "a<|b");
  EXPECT_EQ(trimmingSpecialTokenCharacters("<||>"), "");
  EXPECT_EQ(normalized("  Hello--World!!  "), "hello world");
  EXPECT_EQ(normalized("Don't"), "dont");
  EXPECT_EQ(normalized("\n\u00C9T\u00C9 \u2014 \u00AB oui \u00BB\t"), "\u00E9t\u00E9 oui");
  EXPECT_EQ(formatModelFolderNames({"a/", "b//", "c"}), (std::vector<std::string>{"a", "b/", "c"}));

  using Outcome = std::variant<int, std::exception_ptr>;
  const std::vector<Outcome> outcomes{Outcome{1}, Outcome{std::make_exception_ptr(std::runtime_error("x"))},
                                      Outcome{3}};
  EXPECT_EQ(flattenOutcomes(outcomes), (std::vector<std::optional<int>>{1, std::nullopt, 3}));
}

}  // namespace
}  // namespace vostrane
