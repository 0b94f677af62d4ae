// The audio-side time records of file transcription: the whole-file load step and the time of
// the streaming path, on success and on each kind of bad audio file.
#include "speech/pipeline/audio_loading_times.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>
#include <unistd.h>

#include "speech/model/log_capture.hpp"
#include "speech/model/whisper_error.hpp"
#include "support/temporary_folder.hpp"
#include "support/wav_writer.hpp"

namespace vostrane {
namespace {

bool hasLineStartingWith(const std::vector<std::string>& lines, std::string_view prefix) {
  for (const auto& line : lines) {
    if (line.starts_with(prefix)) return true;
  }
  return false;
}

class AudioLoadingTimes : public ::testing::Test {
 protected:
  testsupport::TemporaryFolder folder_{"audio_loading_times"};
};

TEST_F(AudioLoadingTimes, AWholeFileIsLoadedAndTimed) {
  const auto path = folder_.path() / "tone.wav";
  testsupport::writeWav(path, 16000, 2, 8000, [](int c, std::int64_t i) { return c == 0 ? 0.25F : float(i % 2); });
  TranscriptionTimings timings;
  vostrane::testing::LogCapture log;
  const std::vector<float> samples = measureAudioLoading(timings, path.string(), AudioInputOptions{});
  EXPECT_EQ(samples.size(), 8000U);
  EXPECT_GT(timings.audioLoading, 0);
  const auto lines = log.lines();
  ASSERT_GE(lines.size(), 2U);
  EXPECT_TRUE(hasLineStartingWith(lines, "Audio loading and convert time: "));
  EXPECT_TRUE(hasLineStartingWith(lines, "Audio Loading and Convert - Memory usage: "));

  // The options' channel mode is used: channel 0 alone holds 0.25 everywhere.
  const auto first = measureAudioLoading(timings, path.string(), AudioInputOptions(ChannelMode::specificChannel(0),
                                                                                     AudioLoadingMode::fullFile()));
  ASSERT_EQ(first.size(), 8000U);
  EXPECT_NEAR(first[4000], 0.25F, 1e-3);
}

TEST_F(AudioLoadingTimes, BadFilesAreReportedByNameAfterTheTimeIsRecorded) {
  const auto empty = folder_.path() / "empty.wav";
  std::ofstream(empty).close();
  const auto text = folder_.path() / "notes.wav";
  std::ofstream(text) << "not audio at all";
  const auto unreadable = folder_.path() / "locked.wav";
  testsupport::writeWav(unreadable, 16000, 1, 160, [](int, std::int64_t) { return 0.0F; });
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  const bool canStillRead = ::access(unreadable.c_str(), R_OK) == 0;  // e.g. running as root

  std::vector<std::filesystem::path> bad{folder_.path() / "missing.wav", empty, text, folder_.path()};
  if (!canStillRead) bad.push_back(unreadable);
  for (const auto& path : bad) {
    SCOPED_TRACE(path.string());
    TranscriptionTimings timings;
    vostrane::testing::LogCapture log;
    try {
      measureAudioLoading(timings, path.string(), AudioInputOptions{});
      ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
      EXPECT_EQ(error.errorCase(), WhisperError::Case::loadAudioFailed);
      EXPECT_NE(error.message().find(path.string()), std::string::npos) << error.message();
    }
    EXPECT_GT(timings.audioLoading, 0);
    EXPECT_TRUE(hasLineStartingWith(log.lines(), "Audio loading and convert time: "));
    EXPECT_TRUE(hasLineStartingWith(log.lines(), "Audio Loading and Convert - Memory usage: "));
  }
  std::filesystem::permissions(unreadable, std::filesystem::perms::owner_all);
}

TEST_F(AudioLoadingTimes, TheStreamingTimeCoversTheWholeSpan) {
  TranscriptionTimings timings;
  const auto since = std::chrono::system_clock::now() - std::chrono::milliseconds(250);
  {
    vostrane::testing::LogCapture log;
    recordAudioStreamingTime(timings, since);
    EXPECT_TRUE(hasLineStartingWith(log.lines(), "Audio streaming and transcription time: "));
    EXPECT_TRUE(hasLineStartingWith(log.lines(), "Audio Streaming - Memory usage: "));
  }
  EXPECT_GE(timings.audioLoading, 0.25);
  EXPECT_LT(timings.audioLoading, 60);

  // Above debug level nothing is logged, but the time is still stored.
  vostrane::testing::LogCapture quiet(noxtal::Logging::LogLevel::info);
  timings.audioLoading = 0;
  recordAudioStreamingTime(timings, since);
  EXPECT_GE(timings.audioLoading, 0.25);
  EXPECT_TRUE(quiet.lines().empty());
}

}  // namespace
}  // namespace vostrane
