#include "speech/model/decoding_options.hpp"

#include <gtest/gtest.h>

#include "log_capture.hpp"

namespace vostrane {
namespace {

using platform::json::Json;
using platform::json::JsonError;

TEST(DecodingOptionsTest, DefaultsAndDesignatedInitialisers) {
  const DecodingOptions defaults;
  EXPECT_EQ(defaults.task, DecodingTask::transcribe);
  EXPECT_FALSE(defaults.detectLanguage);
  EXPECT_TRUE(defaults.suppressTokens.empty());
  EXPECT_EQ(defaults.sampleLength, 224);
  EXPECT_EQ(defaults.concurrentWorkerCount, 16);
  EXPECT_EQ(defaults.compressionRatioThreshold, 2.4F);
  EXPECT_EQ(defaults.noSpeechThreshold, 0.6F);
  EXPECT_EQ(DecodingOptions{}, defaults);

  EXPECT_TRUE((DecodingOptions{.usePrefillPrompt = false}.detectLanguage));
  EXPECT_FALSE((DecodingOptions{.usePrefillPrompt = false, .detectLanguage = false}.detectLanguage));
  EXPECT_TRUE((DecodingOptions{.detectLanguage = true}.detectLanguage));
  const DecodingOptions unclamped{.sampleLength = -3, .topK = -1, .suppressTokens = std::vector<int>{1, 2}};
  EXPECT_EQ(unclamped.sampleLength, -3);
  EXPECT_EQ(unclamped.topK, -1);
  EXPECT_EQ(unclamped.suppressTokens, (std::vector<int>{1, 2}));
}

TEST(DecodingOptionsTest, DefaultJsonMatchesGoldenAndRoundTrips) {
  const Json golden = platform::json::parse(testing::readDataFile("decoding_options_default.json"));
  const Json encoded = DecodingOptions().toJson();
  EXPECT_EQ(platform::json::dump(encoded), platform::json::dump(golden));
  EXPECT_EQ(encoded.size(), 21U);
  EXPECT_EQ(DecodingOptions::fromJson(golden), DecodingOptions());
}

TEST(DecodingOptionsTest, OptionalFieldsAreWrittenOnlyWhenPresentAndRoundTrip) {
  DecodingOptions options{.task = DecodingTask::translate,
                          .language = "de",
                          .temperature = 0.1F,
                          .maxInitialTimestamp = 1.0F,
                          .maxWindowSeek = 3000,
                          .clipTimestamps = {0.5F, 2.25F},
                          .promptTokens = std::vector<int>{50361, 7},
                          .prefixTokens = std::vector<int>{},
                          .compressionRatioThreshold = std::nullopt,
                          .chunkingStrategy = ChunkingStrategy::vad};
  const std::string text = platform::json::dump(options.toJson());
  EXPECT_NE(text.find(R"("task":{"translate":{}},"language":"de","temperature":0.1,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("chunkingStrategy":"vad")"), std::string::npos);
  EXPECT_EQ(text.find("compressionRatioThreshold"), std::string::npos);
  EXPECT_EQ(DecodingOptions::fromJson(platform::json::parse(text)), options);
}

TEST(DecodingOptionsTest, ReadingRejectsMissingRequiredKeysAndWrongTypes) {
  const Json golden = platform::json::parse(testing::readDataFile("decoding_options_default.json"));
  for (const char* key : {"topK", "suppressTokens", "concurrentWorkerCount", "task", "verbose", "clipTimestamps"}) {
    Json broken = golden;
    broken.erase(key);
    EXPECT_THROW(DecodingOptions::fromJson(broken), JsonError) << key;
  }
  Json wrongType = golden;
  wrongType["topK"] = true;
  EXPECT_THROW(DecodingOptions::fromJson(wrongType), JsonError);
  wrongType = golden;
  wrongType["verbose"] = 0;
  EXPECT_THROW(DecodingOptions::fromJson(wrongType), JsonError);
  wrongType = golden;
  wrongType["chunkingStrategy"] = "VAD";
  EXPECT_THROW(DecodingOptions::fromJson(wrongType), JsonError);

  Json nulls = golden;
  nulls["language"] = nullptr;
  nulls["noSpeechThreshold"] = nullptr;
  nulls["unknownKey"] = 1;
  const DecodingOptions read = DecodingOptions::fromJson(nulls);
  EXPECT_FALSE(read.language.has_value());
  EXPECT_FALSE(read.noSpeechThreshold.has_value());
}

TEST(DecodingOptionsTest, TaskAndChunkingStrategyForms) {
  EXPECT_EQ(decodingTaskFromJson(platform::json::parse(R"({"translate":{}})")), DecodingTask::translate);
  EXPECT_EQ(decodingTaskFromJson(platform::json::parse(R"({"transcribe":{},"other":1})")), DecodingTask::transcribe);
  for (const char* text : {"{}", R"({"transcribe":{},"translate":{}})"}) {
    try {
      decodingTaskFromJson(platform::json::parse(text));
      ADD_FAILURE() << text;
    } catch (const JsonError& e) {
      EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
    }
  }
  EXPECT_THROW(decodingTaskFromJson(platform::json::parse(R"({"transcribe":1})")), JsonError);
  EXPECT_EQ(description(DecodingTask::translate), "translate");

  EXPECT_EQ(chunkingStrategyFromRawValue("vad"), ChunkingStrategy::vad);
  EXPECT_EQ(chunkingStrategyFromRawValue("none"), ChunkingStrategy::none);
  EXPECT_FALSE(chunkingStrategyFromRawValue("VAD").has_value());
}

TEST(DecodingOptionsTest, NonFiniteNumbersAreAnEncodingError) {
  DecodingOptions options;
  options.temperature = std::numeric_limits<float>::quiet_NaN();
  EXPECT_THROW(options.toJson(), JsonError);
}

}  // namespace
}  // namespace vostrane
