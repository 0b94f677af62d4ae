#include "speech/audio/voice_activity_detector.hpp"

#include <gtest/gtest.h>

#include "speech/audio/audio_processor.hpp"

namespace vostrane {
namespace {

// A detector with a scripted frame activity, to test the base class's range logic.
class ScriptedVAD : public VoiceActivityDetector {
 public:
  explicit ScriptedVAD(std::vector<bool> activity)
      : VoiceActivityDetector(16000, 1600, 0), activity_(std::move(activity)) {}
  std::vector<bool> voiceActivity(std::span<const float>) const override { return activity_; }

 private:
  std::vector<bool> activity_;
};

TEST(VoiceActivityDetectorTest, FramesAndThreshold) {
  const EnergyVAD vad = EnergyVAD::makeDefault();
  EXPECT_TRUE(vad.voiceActivity({}).empty());
  EXPECT_TRUE(vad.calculateActiveChunks({}).empty());
  std::vector<float> audio(16050, 0.0f);
  for (std::size_t i = 16000; i < 16050; ++i) audio[i] = 0.5f;  // only the short last frame is loud
  for (std::size_t i = 3200; i < 4800; ++i) audio[i] = 0.02f;   // RMS exactly at the threshold
  const auto activity = vad.voiceActivity(audio);
  ASSERT_EQ(activity.size(), 11u);
  EXPECT_FALSE(activity[2]);
  EXPECT_TRUE(activity[10]);
  EXPECT_EQ(AudioProcessor::calculateNonSilentChunks(audio), (std::vector<IndexRange>{{16000, 16050}}));
  // Overlap lets a frame see the loud samples after it.
  const EnergyVAD overlapping(16000, 1600, 100, 0.02f);
  EXPECT_TRUE(overlapping.voiceActivity(audio)[9]);
  EXPECT_EQ(vad.voiceActivityIndexToSeconds(5), 0.5f);
  EXPECT_EQ(vad.voiceActivityIndexToAudioSampleIndex(5), 8000);
  const EnergyVAD seconds(16000, 0.1f, 0.0f, 0.02f);
  EXPECT_EQ(seconds.frameLengthSamples(), 1600);
  EXPECT_THROW(EnergyVAD(16000, 0, 0, 0.02f), std::invalid_argument);
  EXPECT_THROW(EnergyVAD(0, 1600, 0, 0.02f), std::invalid_argument);
  EXPECT_THROW(EnergyVAD(16000, 1e30f, 0.0f, 0.02f), std::invalid_argument);
}

TEST(VoiceActivityDetectorTest, ActiveChunksMergeConsecutiveFrames) {
  const ScriptedVAD vad({false, true, true, false, true});
  EXPECT_EQ(vad.calculateActiveChunks(std::vector<float>(8000)), (std::vector<IndexRange>{{1600, 4800}, {6400, 8000}}));
  EXPECT_EQ(vad.voiceActivityAsync({}), (std::vector<bool>{false, true, true, false, true}));
}

TEST(VoiceActivityDetectorTest, LongestSilenceTable) {
  const EnergyVAD vad = EnergyVAD::makeDefault();
  struct Case {
    std::vector<bool> activity;
    std::optional<IndexRange> expected;
  };
  for (const Case& c :
       {Case{{true, false, false, true, false, false}, IndexRange{1, 3}}, Case{{true, true}, std::nullopt},
        Case{{}, std::nullopt}, Case{{false, false}, IndexRange{0, 2}},
        Case{{false, true, false, false, false}, IndexRange{2, 5}}}) {
    EXPECT_EQ(vad.findLongestSilence(c.activity), c.expected);
  }
}

TEST(VoiceActivityDetectorTest, VoiceActivityInChunksTable) {
  const std::vector<float> signal{0, 0, 1, 1, 0};
  EXPECT_TRUE(AudioProcessor::calculateVoiceActivityInChunks(signal, 0, 2, 0, 0.1f).empty());
  EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(signal, 3, 2, 0, 0.1f),
            (std::vector<bool>{false, true, false}));
  EXPECT_EQ(AudioProcessor::calculateVoiceActivityInChunks(signal, 3, 2, 1, 0.1f),
            (std::vector<bool>{true, true, false}));
}

}  // namespace
}  // namespace vostrane
