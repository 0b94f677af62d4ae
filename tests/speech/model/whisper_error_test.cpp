#include "speech/model/whisper_error.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "platform/sys/error.hpp"

namespace vostrane {
namespace {

TEST(WhisperErrorTest, EqualityComparesCaseAndMessage) {
  struct Row {
    WhisperError a;
    WhisperError b;
    bool equal;
  };
  const Row rows[] = {
      {WhisperError::modelsUnavailable("x"), WhisperError::modelsUnavailable("x"), true},
      {WhisperError::modelsUnavailable("x"), WhisperError::tokenizerUnavailable("x"), false},
      {WhisperError::decodingFailed("a"), WhisperError::decodingFailed("b"), false},
      {WhisperError::initializationError(""), WhisperError::initializationError(""), true},
  };
  for (const Row& row : rows) EXPECT_EQ(row.a == row.b, row.equal) << row.a.what() << " vs " << row.b.what();
}

TEST(WhisperErrorTest, FactoriesSetTheirCaseAndDefaults) {
  EXPECT_EQ(WhisperError::tokenizerUnavailable().message(), "Tokenizer is unavailable");
  EXPECT_EQ(WhisperError::modelsUnavailable().message(), "Models are unavailable");
  EXPECT_EQ(WhisperError::segmentingFailed("s").errorCase(), WhisperError::Case::segmentingFailed);
  EXPECT_EQ(WhisperError::microphoneUnavailable("m").errorCase(), WhisperError::Case::microphoneUnavailable);
  EXPECT_EQ(static_cast<int>(WhisperError::Case::initializationError), 10);
}

TEST(WhisperErrorTest, DescriptionIsTheMessageAndLogsOnEveryRead) {
  testing::LogCapture capture;
  const WhisperError error = WhisperError::transcriptionFailed("Mel output is nil");
  EXPECT_STREQ(error.what(), "Mel output is nil");
  EXPECT_TRUE(capture.lines().empty());  // what() does not log
  EXPECT_EQ(error.errorDescription(), "Mel output is nil");
  EXPECT_EQ(error.errorDescription(), "Mel output is nil");
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Mel output is nil", "Mel output is nil"}));
  EXPECT_EQ(WhisperError::loadAudioFailed("").errorDescription(), "");
}

TEST(WhisperErrorTest, EveryCaseIsCaughtThroughTheErrorBaseWithoutLogging) {
  struct Row {
    std::function<WhisperError()> make;
    const char* caseName;
    const char* message;
  };
  const std::vector<Row> rows = {
      {[] { return WhisperError::tokenizerUnavailable(); }, "tokenizerUnavailable", "Tokenizer is unavailable"},
      {[] { return WhisperError::modelsUnavailable(); }, "modelsUnavailable", "Models are unavailable"},
      {[] { return WhisperError::audioProcessingFailed("a"); }, "audioProcessingFailed", "a"},
      {[] { return WhisperError::decodingLogitsFailed("b"); }, "decodingLogitsFailed", "b"},
      {[] { return WhisperError::segmentingFailed("c"); }, "segmentingFailed", "c"},
      {[] { return WhisperError::loadAudioFailed("d"); }, "loadAudioFailed", "d"},
      {[] { return WhisperError::prepareDecoderInputsFailed("e"); }, "prepareDecoderInputsFailed", "e"},
      {[] { return WhisperError::transcriptionFailed("f"); }, "transcriptionFailed", "f"},
      {[] { return WhisperError::decodingFailed("g"); }, "decodingFailed", "g"},
      {[] { return WhisperError::microphoneUnavailable("h"); }, "microphoneUnavailable", "h"},
      {[] { return WhisperError::initializationError("i"); }, "initializationError", "i"},
  };
  testing::LogCapture capture;
  for (std::size_t index = 0; index < rows.size(); ++index) {
    const Row& row = rows[index];
    SCOPED_TRACE(row.caseName);
    try {
      throw row.make();
    } catch (const platform::sys::Error& error) {
      EXPECT_EQ(error.domain(), "WhisperError");
      EXPECT_EQ(error.code(), static_cast<int>(index));
      EXPECT_EQ(error.caseName(), row.caseName);
      EXPECT_EQ(error.message(), row.message);
      EXPECT_EQ(error.description(), row.message);
      EXPECT_STREQ(error.what(), row.message);
    } catch (...) {
      ADD_FAILURE() << "not caught through platform::sys::Error";
    }
  }
  // Reading the error through the base never logs; only errorDescription() does.
  EXPECT_TRUE(capture.lines().empty());
  EXPECT_EQ(WhisperError(WhisperError::Case::segmentingFailed, "by case").caseName(), "segmentingFailed");
}

}  // namespace
}  // namespace vostrane
