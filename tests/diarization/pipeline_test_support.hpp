// Shared set-up of the pipeline and main-class tests: a repository of the scripted voice models
// in a temporary folder, configurations over it, and synthetic signals of level-coded voices.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "diarization/dellomar.hpp"
#include "diarization/diarization_test_models.hpp"
#include "support/temporary_folder.hpp"

namespace dellomar::testing {

// Signal levels the voice models recognise.
inline constexpr float kVoiceA = 0.3f;
inline constexpr float kVoiceB = 0.8f;
inline constexpr float kBoth = 0.95f;
inline constexpr float kSilence = 0.0f;

struct Turn {
  double seconds;
  float level;
};

// 16 kHz samples of consecutive constant-level turns.
inline std::vector<float> signalOf(const std::vector<Turn>& turns) {
  std::vector<float> samples;
  for (const Turn& turn : turns) samples.insert(samples.end(), static_cast<std::size_t>(turn.seconds * 16000), turn.level);
  return samples;
}

inline std::shared_ptr<PyannoteConfig> voiceConfig(const std::filesystem::path& folder,
                                                   std::optional<int> embedderWorkers = std::nullopt,
                                                   int segmenterWorkers = 2, bool download = false,
                                                   bool load = false) {
  return std::make_shared<PyannoteConfig>(PyannoteConfig::Flat{
      std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, folder.string(), download, false,
      "https://huggingface.co", "main", load, false, noxtal::Logging::LogLevel::none, true, segmenterWorkers,
      embedderWorkers, nullptr});
}

inline PyannoteDiarizationOptions optionsWith(std::vector<float> clipTimestamps = {},
                                              std::optional<int> numberOfSpeakers = std::nullopt,
                                              bool exclusive = true) {
  return PyannoteDiarizationOptions(numberOfSpeakers, std::nullopt, std::nullopt, std::nullopt, exclusive,
                                    SpeakerCentroidSource::finalAssignment, std::move(clipTimestamps));
}

// Frames (of the result's grid) where any speaker is active.
inline std::vector<bool> activeFrames(const DiarizationResult& result) {
  std::vector<bool> active(static_cast<std::size_t>(result.totalFrames), false);
  for (const auto& row : result.binaryMatrix()) {
    for (std::size_t f = 0; f < row.size() && f < active.size(); ++f) active[f] = active[f] || row[f] == 1;
  }
  return active;
}

// The speaker marked at `seconds`, or -1.
inline int speakerAt(const DiarizationResult& result, double seconds) {
  const auto frame = static_cast<std::size_t>(seconds * result.frameRate);
  for (std::size_t s = 0; s < result.binaryMatrix().size(); ++s) {
    if (frame < result.binaryMatrix()[s].size() && result.binaryMatrix()[s][frame] == 1) return static_cast<int>(s);
  }
  return -1;
}

class VoiceRepositoryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testmodels::registerPrograms(); }
  void SetUp() override { testmodels::writeVoiceRepository(repo()); }
  std::filesystem::path repo() const { return root_.path() / "repo"; }

  testsupport::TemporaryFolder root_;
};

}  // namespace dellomar::testing
