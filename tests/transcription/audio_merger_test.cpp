// Loading the two recordings (the bad path list included) and mixing them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>

#include "support/expect_error.hpp"
#include "support/temporary_folder.hpp"
#include "support/wav_writer.hpp"
#include "transcription/audio_merger.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

using testsupport::expectError;
using Case = TranscriptionError::Case;

std::string writeTone(const testsupport::TemporaryFolder& folder, const char* name, int sampleRate, double seconds,
                      int channels = 1) {
  const auto path = folder / name;
  testsupport::writeWav(path, sampleRate, channels, std::int64_t(seconds * sampleRate),
                        testsupport::sine(440.0, 0.25, sampleRate));
  return path.string();
}

TEST(AudioMerger, MixesOverTheLongerLengthWithLabels) {
  const std::vector<float> mic(48000, 0.1f);
  const std::vector<float> system(80000, 0.2f);
  const MergeResult r = AudioMerger::merge(mic, system);
  ASSERT_EQ(r.samples.size(), 80000u);
  EXPECT_EQ(r.samples[0], 0.1f + 0.2f);
  EXPECT_EQ(r.samples[47999], 0.1f + 0.2f);
  EXPECT_EQ(r.samples[48000], 0.2f);
  EXPECT_EQ(r.labels, (std::vector<LabeledRange>{{0, 48000, StreamLabel::both}, {48000, 80000, StreamLabel::system}}));
  EXPECT_EQ(r.duration(), 5.0);

  const MergeResult longerMic = AudioMerger::merge(std::vector<float>{0.1f, 0.1f, 0.1f}, std::vector<float>{0.2f});
  EXPECT_EQ(longerMic.labels, (std::vector<LabeledRange>{{0, 1, StreamLabel::both}, {1, 3, StreamLabel::mic}}));
  EXPECT_EQ(longerMic.samples, (std::vector<float>{0.1f + 0.2f, 0.1f, 0.1f}));

  const MergeResult equal = AudioMerger::merge(std::vector<float>(7, 0.1f), std::vector<float>(7, 0.1f));
  EXPECT_EQ(equal.labels, (std::vector<LabeledRange>{{0, 7, StreamLabel::both}}));
}

TEST(AudioMerger, ScalesOnlyAPeakAboveOne) {
  const MergeResult scaled = AudioMerger::merge(std::vector<float>{0.8f}, std::vector<float>{0.7f});
  EXPECT_EQ(scaled.samples, (std::vector<float>{(0.8f + 0.7f) * (1.0f / (0.8f + 0.7f))}));
  EXPECT_FLOAT_EQ(scaled.samples[0], 1.0f);
  EXPECT_EQ(AudioMerger::merge(std::vector<float>{0.5f}, std::vector<float>{0.5f}).samples, (std::vector<float>{1.0f}));

  // The peak lies in the tail past the four-sample steps and is negative; a NaN sum is ignored.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> mic = {0.1f, nan, 0.2f, 0.3f, 0.1f, 0.0f, 0.0f};
  const std::vector<float> system = {0.1f, 0.0f, 0.2f, 0.3f, 0.1f, 0.0f, -4.0f};
  const MergeResult r = AudioMerger::merge(mic, system);
  ASSERT_EQ(r.samples.size(), 7u);
  EXPECT_EQ(r.samples[6], -4.0f * 0.25f);
  EXPECT_EQ(r.samples[0], (0.1f + 0.1f) * 0.25f);
  EXPECT_TRUE(std::isnan(r.samples[1]));
  EXPECT_NE(r, r);  // a NaN sample is never equal

  const std::vector<float> loud = {3.0f, -2.0f};
  const MergeResult alone = AudioMerger::merge(loud, {});
  EXPECT_EQ(alone.samples, loud);
  EXPECT_EQ(alone.labels, (std::vector<LabeledRange>{{0, 2, StreamLabel::mic}}));
  const MergeResult systemAlone = AudioMerger::merge({}, loud);
  EXPECT_EQ(systemAlone.samples, loud);
  EXPECT_EQ(systemAlone.labels, (std::vector<LabeledRange>{{0, 2, StreamLabel::system}}));

  expectError<TranscriptionError>([] { AudioMerger::merge({}, {}); }, Case::invalidInput,
                                  "At least one audio stream (mic or system) must contain non-zero samples");
}

TEST(LoadAudioSamples, LoadsFilesAsSixteenKilohertzMono) {
  testsupport::TemporaryFolder folder("workerdata");
  const std::string mic = writeTone(folder, "mic.wav", 48000, 3.0, 2);
  const std::string system = writeTone(folder, "system.wav", 16000, 5.0);
  const std::vector<float> micSamples = loadAudioSamples(mic);
  const std::vector<float> systemSamples = loadAudioSamples(system);
  EXPECT_NEAR(double(micSamples.size()), 48000.0, 2.0);
  EXPECT_EQ(systemSamples.size(), 80000u);
  const MergeResult r = AudioMerger::merge(micSamples, systemSamples);
  EXPECT_EQ(r.samples.size(), 80000u);
  EXPECT_EQ(r.duration(), 5.0);
  EXPECT_EQ(r.labels.back(), (LabeledRange{std::int64_t(micSamples.size()), 80000, StreamLabel::system}));
}

TEST(LoadAudioSamples, BadPathsAreInvalidInputWithoutCallingOrHanging) {
  testsupport::TemporaryFolder folder("workerdata");
  const std::string fifo = (folder / "pipe.wav").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string dangling = (folder / "dangling.wav").string();
  std::filesystem::create_symlink(folder / "gone.wav", dangling);
  const std::string emptyFile = (folder / "empty.wav").string();
  std::ofstream(emptyFile).close();
  const std::string garbage = (folder / "garbage.wav").string();
  std::ofstream(garbage) << "this is not audio at all, only text that no decoder takes";
  const std::string real = writeTone(folder, "real.wav", 16000, 0.5);
  // Cut at its NUL, this path would name real.wav, which exists.
  const std::string withNul = real + std::string(1, '\0') + ".other";

  // Paths that name nothing: the loader is never asked.
  const std::vector<std::string> missing = {"",
                                            "relative/mic.wav",
                                            "mic.wav",
                                            dangling,
                                            withNul,
                                            "/" + std::string(5000, 'a'),
                                            (folder / std::string(300, 'b')).string()};
  for (const std::string& path : missing) {
    SCOPED_TRACE(path.substr(0, 80));
    bool called = false;
    expectError<TranscriptionError>(
        [&] {
          loadAudioSamples(path, [&](const std::string&) {
            called = true;
            return std::vector<float>{1.0f};
          });
        },
        Case::invalidInput, "Audio file does not exist: " + path);
    EXPECT_FALSE(called);
  }

  // Entries that exist but are no audio: the speech library's loader refuses them.
  for (const std::string& path : {folder.path().string(), fifo, std::string("/dev/zero"), emptyFile, garbage}) {
    SCOPED_TRACE(path);
    try {
      loadAudioSamples(path);
      ADD_FAILURE() << "loaded";
    } catch (const TranscriptionError& e) {
      EXPECT_EQ(e.errorCase(), Case::invalidInput);
      EXPECT_EQ(e.message().rfind("Failed to load audio from " + path + ": ", 0), 0u) << e.message();
    }
  }

  if (::geteuid() != 0) {
    const std::string locked = writeTone(folder, "locked.wav", 16000, 0.5);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    try {
      loadAudioSamples(locked);
      ADD_FAILURE() << "loaded an unreadable file";
    } catch (const TranscriptionError& e) {
      EXPECT_EQ(e.message().rfind("Failed to load audio from " + locked + ": ", 0), 0u) << e.message();
    }
  }
}

TEST(LoadAudioSamples, LoaderOutcomes) {
  testsupport::TemporaryFolder folder("workerdata");
  const std::string path = writeTone(folder, "a.wav", 16000, 0.1);
  expectError<TranscriptionError>([&] { loadAudioSamples(path, [](const std::string&) { return std::vector<float>{}; }); },
                                  Case::invalidInput, "Audio file produced zero samples: " + path);
  expectError<TranscriptionError>(
      [&] {
        loadAudioSamples(path, [](const std::string&) -> std::vector<float> {
          throw TranscriptionError::modelLoadFailed("inner");
        });
      },
      Case::modelLoadFailed, "inner");
  expectError<TranscriptionError>(
      [&] {
        loadAudioSamples(path, [](const std::string&) -> std::vector<float> { throw std::runtime_error("broken"); });
      },
      Case::invalidInput, "Failed to load audio from " + path + ": broken");
  EXPECT_EQ(loadAudioSamples(path, [](const std::string&) { return std::vector<float>{0.5f}; }),
            std::vector<float>{0.5f});
}

}  // namespace
}  // namespace velmoria
