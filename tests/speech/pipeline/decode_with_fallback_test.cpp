// Decoding one window at rising temperatures: when the loop falls back, what it keeps, its
// bookkeeping in the task's timings, and language detection on every attempt.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "speech/model/log_capture.hpp"
#include "speech/pipeline/pipeline_test_base.hpp"
#include "speech/pipeline/transcribe_task.hpp"

namespace vostrane {
namespace {

std::vector<std::string> linesStartingWith(const std::vector<std::string>& lines, std::string_view prefix) {
  std::vector<std::string> out;
  std::copy_if(lines.begin(), lines.end(), std::back_inserter(out),
               [&](const std::string& line) { return line.starts_with(prefix); });
  return out;
}

class FallbackTest : public PipelineTest {
 protected:
  FallbackTest() { spec_.sequences = {{0, twoSegments(" Hello", 1, " world", 2)}}; }

  // Decodes one window of 2 s through the task's fallback loop, as the task's run does.
  DecodingResult decodeOnce(TranscribeTask& task, const DecodingOptions& options,
                            std::optional<std::string>& language) {
    auto inputs = components_.textDecoder->prepareDecoderInputs({pipeline_fixture::kStart});
    if (options.usePrefillPrompt) inputs = components_.textDecoder->prefillDecoderInputs(inputs, options);
    platform::ml::MultiArray window({1, spec_.embedSize, 1, spec_.windowSize}, platform::ml::DataType::float16);
    window.fill(0);
    return task.decodeWithFallback(window, options, inputs, language);
  }
};

TEST_F(FallbackTest, AClearFirstResultIsKept) {
  load();
  auto task = makeTask();
  vostrane::testing::LogCapture log;
  const auto result = task->run(audio(2));
  const auto lines = log.lines();
  EXPECT_EQ(linesStartingWith(lines, "Decoding with temperatures "),
            (std::vector<std::string>{"Decoding with temperatures [0.0, 0.2, 0.4, 0.6, 0.8, 1.0]"}));
  EXPECT_EQ(linesStartingWith(lines, "Decoding Temperature: "),
            (std::vector<std::string>{"Decoding Temperature: 0.0"}));
  EXPECT_TRUE(linesStartingWith(lines, "Fallback #").empty());
  EXPECT_EQ(result->timings().totalDecodingFallbacks, 0);
  EXPECT_EQ(result->timings().decodingFallback, 0);
  EXPECT_EQ(result->segments().front().temperature, 0);
}

TEST_F(FallbackTest, ALowLogProbabilityFallsBackOnce) {
  // With the scripted token only 10 above the rest, temperature 0 gives each token a
  // log-probability near -1; at 0.2 the script is nearly certain.
  spec_.peak = 10;
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.logProbThreshold = -0.5F;
  vostrane::testing::LogCapture log;
  const auto result = task->run(audio(2), options);
  EXPECT_EQ(linesStartingWith(log.lines(), "Fallback #"),
            (std::vector<std::string>{"Fallback #1 (logProbThreshold)"}));
  EXPECT_EQ(linesStartingWith(log.lines(), "Decoding Temperature: ").size(), 2U);
  EXPECT_EQ(result->timings().totalDecodingFallbacks, 0.0);
  EXPECT_GT(result->timings().decodingFallback, 0);
  EXPECT_FLOAT_EQ(result->segments().front().temperature, 0.2F);
  EXPECT_EQ(result->text(), "Hello world");
}

TEST_F(FallbackTest, WhenEveryAttemptFallsBackTheHottestIsKept) {
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.logProbThreshold = 1.0F;  // no average log-probability reaches it
  vostrane::testing::LogCapture log;
  std::optional<std::string> language;
  const DecodingResult result = decodeOnce(*task, options, language);
  const auto fallbacks = linesStartingWith(log.lines(), "Fallback #");
  ASSERT_EQ(fallbacks.size(), 6U);
  EXPECT_EQ(fallbacks.front(), "Fallback #1 (logProbThreshold)");
  EXPECT_EQ(fallbacks.back(), "Fallback #6 (logProbThreshold)");
  EXPECT_EQ(task->timings().totalDecodingFallbacks, 5.0);
  EXPECT_FLOAT_EQ(result.temperature, 1.0F);
  ASSERT_TRUE(result.fallback);
  EXPECT_TRUE(result.fallback->needsFallback);
  // The six decodes' timings were all merged.
  EXPECT_GE(task->timings().totalDecodingLoops, 6 * 4);
  EXPECT_EQ(language, "en");
}

TEST_F(FallbackTest, SilenceEndsTheLoopAtOnce) {
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.logProbThreshold = 1.0F;
  options.noSpeechThreshold = -1.0F;
  vostrane::testing::LogCapture log;
  std::optional<std::string> language;
  const DecodingResult result = decodeOnce(*task, options, language);
  ASSERT_TRUE(result.fallback);
  EXPECT_FALSE(result.fallback->needsFallback);
  EXPECT_EQ(result.fallback->fallbackReason, "silence");
  EXPECT_EQ(linesStartingWith(log.lines(), "Decoding Temperature: ").size(), 1U);
}

TEST_F(FallbackTest, TheLargestCountMakesOnlyTheAttemptsNeeded) {
  // A clear first result ends the loop; the temperature list is neither built up front nor
  // logged in full.
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.temperatureFallbackCount = std::numeric_limits<int>::max();
  options.temperatureIncrementOnFallback = 0.5F;
  vostrane::testing::LogCapture log;
  std::optional<std::string> language;
  const DecodingResult result = decodeOnce(*task, options, language);
  EXPECT_EQ(linesStartingWith(log.lines(), "Decoding Temperature: ").size(), 1U);
  const auto listed = linesStartingWith(log.lines(), "Decoding with temperatures ");
  ASSERT_EQ(listed.size(), 1U);
  EXPECT_EQ(listed[0].rfind("Decoding with temperatures [0.0, 0.5, 1.0, ", 0), 0U) << listed[0];
  EXPECT_LT(listed[0].size(), 400U);
  EXPECT_NE(listed[0].find(", ... "), std::string::npos) << listed[0];
  EXPECT_FALSE(result.fallback && result.fallback->needsFallback);
  EXPECT_FLOAT_EQ(result.temperature, 0.0F);
}

TEST_F(FallbackTest, AZeroOrNegativeCountMakesOneAttempt) {
  load();
  auto task = makeTask();
  for (int count : {0, -3}) {
    SCOPED_TRACE(count);
    DecodingOptions options;
    options.logProbThreshold = 1.0F;
    options.temperatureFallbackCount = count;
    options.temperature = 0.3F;
    vostrane::testing::LogCapture log;
    std::optional<std::string> language;
    const DecodingResult result = decodeOnce(*task, options, language);
    EXPECT_EQ(linesStartingWith(log.lines(), "Decoding with temperatures "),
              (std::vector<std::string>{"Decoding with temperatures [0.3]"}));
    EXPECT_EQ(linesStartingWith(log.lines(), "Fallback #"),
              (std::vector<std::string>{"Fallback #1 (logProbThreshold)"}));
    ASSERT_TRUE(result.fallback);
    EXPECT_TRUE(result.fallback->needsFallback);
    EXPECT_FLOAT_EQ(result.temperature, 0.3F);
  }
}

TEST_F(FallbackTest, EveryAttemptDetectsTheLanguageWhenNoneIsGiven) {
  // The model's script starts with German, so detection finds "de"; the prefill then puts
  // "<|de|>" into the prompt.
  std::vector<int> german = twoSegments(" Hallo", 1, " Welt", 2);
  german[1] = *pipeline_fixture::tokenizer()->convertTokenToId("<|de|>");
  spec_.sequences = {{0, german}};
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.detectLanguage = true;
  options.logProbThreshold = 1.0F;
  options.temperatureFallbackCount = 1;
  vostrane::testing::LogCapture log;
  const auto result = task->run(audio(2), options);
  EXPECT_EQ(result->language(), "de");
  EXPECT_EQ(linesStartingWith(log.lines(), "Prefill prompt updated to: "),
            (std::vector<std::string>(
                2, "Prefill prompt updated to: [\"<|startoftranscript|>\", \"<|de|>\", \"<|transcribe|>\", \"<|0.00|>\"]")));
  EXPECT_EQ(result->text(), "Hallo Welt");

  // Without the prefill the prompt stays as it was, but the line is still written.
  options.usePrefillPrompt = false;
  const std::size_t before = log.lines().size();
  std::optional<std::string> language;
  decodeOnce(*task, options, language);
  EXPECT_EQ(language, "de");
  const auto lines = log.lines();
  EXPECT_EQ(linesStartingWith(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before), lines.end()),
                              "Prefill prompt updated to: "),
            (std::vector<std::string>(2, "Prefill prompt updated to: [\"<|startoftranscript|>\"]")));
}

TEST_F(FallbackTest, AGivenLanguageIsNotDetectedAndTheFirstResultDecides) {
  load();
  auto task = makeTask();
  DecodingOptions options;
  options.detectLanguage = true;
  options.language = "en";
  vostrane::testing::LogCapture log;
  std::optional<std::string> language;
  decodeOnce(*task, options, language);
  EXPECT_EQ(language, "en");
  EXPECT_TRUE(linesStartingWith(log.lines(), "Prefill prompt updated to: ").empty());

  // A language already detected by an earlier window is kept.
  language = "fr";
  decodeOnce(*task, options, language);
  EXPECT_EQ(language, "fr");
}

}  // namespace
}  // namespace vostrane
