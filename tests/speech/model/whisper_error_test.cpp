#include "speech/model/whisper_error.hpp"

#include <gtest/gtest.h>

#include "log_capture.hpp"

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

}  // namespace
}  // namespace vostrane
