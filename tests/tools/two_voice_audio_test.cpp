// Two-voice synthesis and the tools' WAV writer: turn plans within their promises over many
// seeds, reproducible samples, the RTTM of the turns, and WAV files that the speech library's
// loader reads back sample for sample, written atomically through the file-system seam.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "platform/audio/wav_writer.hpp"
#include "platform/fs/file_system.hpp"
#include "speech/audio/audio_processor.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

using twovoice::SynthesisOptions;
using twovoice::Turn;

TEST(TwoVoicePlan, TurnsKeepTheirPromisesOverManySeedsAndLengths) {
  for (const double seconds : {3.0, 20.0, 120.0, 600.0}) {
    for (std::uint64_t seed = 0; seed < 40; ++seed) {
      SCOPED_TRACE(testing::Message() << seconds << " s, seed " << seed);
      const auto turns = twovoice::planTurns({seconds, seed, 2});
      const auto limit = static_cast<std::int64_t>(seconds * 1000);
      for (std::size_t i = 0; i < turns.size(); ++i) {
        const Turn& t = turns[i];
        ASSERT_GE(t.endMilliseconds - t.startMilliseconds, 1000);
        ASSERT_LE(t.endMilliseconds - t.startMilliseconds, 7000);
        ASSERT_GE(t.startMilliseconds, 300);
        ASSERT_LE(t.endMilliseconds, limit - 200);
        if (i > 0) {
          ASSERT_NE(t.voice, turns[i - 1].voice);
          ASSERT_GT(t.startMilliseconds, turns[i - 1].startMilliseconds);
          // An overlap is short and never reaches back to the turn before the previous one.
          ASSERT_GE(t.startMilliseconds, turns[i - 1].endMilliseconds - 800);
          if (i > 1) {
            ASSERT_GE(t.startMilliseconds, turns[i - 2].endMilliseconds);
          }
        }
      }
      const double speech = twovoice::speechSeconds(turns);
      ASSERT_LE(twovoice::overlappedSeconds(turns), 0.05 * speech);
      if (seconds >= 20) {
        ASSERT_GE(turns.size(), 2u);
      }
    }
  }
  // Over long recordings, overlaps do happen.
  EXPECT_GT(twovoice::overlappedSeconds(twovoice::planTurns({600, 1, 2})), 0.0);
}

TEST(TwoVoicePlan, OneVoiceHasNoOverlapAndNoVoiceHasNoTurns) {
  const auto single = twovoice::planTurns({120, 4, 1});
  ASSERT_FALSE(single.empty());
  for (const Turn& t : single) EXPECT_EQ(t.voice, 0);
  EXPECT_EQ(twovoice::overlappedSeconds(single), 0.0);
  EXPECT_TRUE(twovoice::planTurns({120, 4, 0}).empty());
  // Too short for a turn of at least a second.
  EXPECT_TRUE(twovoice::planTurns({1.2, 4, 2}).empty());
}

TEST(TwoVoicePlan, RefusesOptionsOutOfRange) {
  for (const SynthesisOptions& o : {SynthesisOptions{0, 1, 2}, SynthesisOptions{-3, 1, 2},
                                    SynthesisOptions{std::nan(""), 1, 2}, SynthesisOptions{1e9, 1, 2},
                                    SynthesisOptions{10, 1, 3}, SynthesisOptions{10, 1, -1}}) {
    EXPECT_THROW(twovoice::synthesize(o), twovoice::SynthesisError) << o.seconds << " " << o.voices;
  }
}

TEST(TwoVoiceSynthesis, SameOptionsSameSamplesAndQuietPauses) {
  const auto a = twovoice::synthesize({20, 9, 2});
  const auto b = twovoice::synthesize({20, 9, 2});
  const auto c = twovoice::synthesize({20, 10, 2});
  EXPECT_EQ(a.samples, b.samples);
  EXPECT_EQ(a.turns, b.turns);
  EXPECT_NE(a.samples, c.samples);
  ASSERT_EQ(a.samples.size(), 320000u);
  float peak = 0;
  for (const float s : a.samples) peak = std::max(peak, std::fabs(s));
  EXPECT_LE(peak, 0.9f);
  EXPECT_GT(peak, 0.2f);
  // Outside every turn only the noise floor remains.
  for (std::size_t n = 0; n < a.samples.size(); ++n) {
    const double t = static_cast<double>(n) / 16000;
    bool speaking = false;
    for (const Turn& turn : a.turns) speaking |= t >= turn.start() && t < turn.end();
    if (!speaking) {
      ASSERT_LE(std::fabs(a.samples[n]), 0.0011f) << t;
    }
  }
  const auto silence = twovoice::synthesize({5, 9, 0});
  for (const float s : silence.samples) ASSERT_LE(std::fabs(s), 0.0011f);
}

// Energy of `samples[first, first + 1600)` in [lowHz, highHz]: a Hann-windowed DFT at 5 Hz steps.
double bandEnergy(const std::vector<float>& samples, std::size_t first, double lowHz, double highHz) {
  double sum = 0;
  for (double hz = lowHz; hz <= highHz + 1e-9; hz += 5) {
    double re = 0;
    double im = 0;
    for (std::size_t n = 0; n < 1600; ++n) {
      const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / 1600);
      const double phase = 2 * std::numbers::pi * hz * static_cast<double>(n) / 16000;
      re += w * samples[first + n] * std::cos(phase);
      im += w * samples[first + n] * std::sin(phase);
    }
    sum += re * re + im * im;
  }
  return sum;
}

// The low voice is told from the high one by its pitch alone: its harmonics put about as much
// energy into the high voice's band (200-320 Hz) as its fundamental puts into its own.
TEST(TwoVoiceSynthesis, TheLowVoicesHarmonicsFillTheHighBand) {
  for (const std::uint64_t seed : {1, 2, 3}) {
    const SynthesisOptions options{2, seed, 2};
    const auto low = twovoice::renderTurns(options, {{0, 0, 2000}}).samples;
    const auto high = twovoice::renderTurns(options, {{1, 0, 2000}}).samples;
    for (std::size_t first = 1600; first + 3200 <= low.size(); first += 3200) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " at " << first / 16000.0 << " s");
      const double lowOwn = bandEnergy(low, first, 60, 160);
      const double lowInHigh = bandEnergy(low, first, 200, 320);
      EXPECT_GT(lowInHigh, 0.6 * lowOwn);
      EXPECT_LT(bandEnergy(high, first, 60, 160), 0.01 * bandEnergy(high, first, 200, 320));
    }
  }
}

TEST(TwoVoiceSynthesis, TurnsAsRttmReadBackExactly) {
  const auto turns = twovoice::planTurns({60, 2, 2});
  const auto segments = rttm::parse(twovoice::turnsAsRttm(turns, "my_file"));
  ASSERT_EQ(segments.size(), turns.size());
  for (std::size_t i = 0; i < turns.size(); ++i) {
    EXPECT_EQ(segments[i].file, "my_file");
    EXPECT_EQ(segments[i].speaker, twovoice::kVoiceNames[turns[i].voice]);
    EXPECT_NEAR(segments[i].onset, turns[i].start(), 1e-9);
    EXPECT_NEAR(segments[i].onset + segments[i].duration, turns[i].end(), 1e-6);
  }
  EXPECT_EQ(twovoice::turnsAsRttm(std::vector<Turn>{{1, 1500, 3250}}, "f"),
            "SPEAKER f 1 1.500 1.750 <NA> <NA> high_voice <NA> <NA>\n");
}

TEST(WavWriter, FilesReadBackThroughTheSpeechLoader) {
  testsupport::TemporaryFolder folder("wav");
  std::vector<float> samples(16000);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(0.01f * static_cast<float>(i));
  samples[10] = 1.0f;
  samples[11] = -1.0f;
  auto& fileSystem = platform::fs::RealFileSystem::shared();
  platform::audio::writeWav(fileSystem, folder / "pcm.wav", samples, 16000);
  platform::audio::writeWav(fileSystem, folder / "float.wav", samples, 16000, 1,
                            platform::audio::WavSampleFormat::float32);
  const auto pcm = vostrane::AudioProcessor::loadAudioAsFloatArray((folder / "pcm.wav").string());
  const auto exact = vostrane::AudioProcessor::loadAudioAsFloatArray((folder / "float.wav").string());
  ASSERT_EQ(pcm.size(), samples.size());
  ASSERT_EQ(exact.size(), samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_NEAR(pcm[i], samples[i], 1.0 / 32000) << i;
    ASSERT_EQ(exact[i], samples[i]) << i;
  }
}

TEST(WavWriter, HeaderFieldsClampingAndRefusedArguments) {
  const std::vector<float> stereo = {2.0f, -2.0f, std::nanf(""), 0.5f};
  const std::string bytes = platform::audio::encodeWav(stereo, 8000, 2, platform::audio::WavSampleFormat::pcm16);
  ASSERT_EQ(bytes.size(), 44u + 8u);
  const auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return v;
  };
  const auto i16 = [&](std::size_t at) {
    return static_cast<std::int16_t>(static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8));
  };
  EXPECT_EQ(bytes.substr(0, 4), "RIFF");
  EXPECT_EQ(u32(4), 36u + 8u);
  EXPECT_EQ(u32(24), 8000u);           // sample rate
  EXPECT_EQ(u32(28), 8000u * 2 * 2);   // byte rate
  EXPECT_EQ(u32(40), 8u);              // data bytes
  EXPECT_EQ(i16(44), 32767);
  EXPECT_EQ(i16(46), -32767);
  EXPECT_EQ(i16(48), 0);  // NaN
  EXPECT_EQ(i16(50), 16384);
  using platform::audio::WavWriteError;
  const std::vector<float> three = {0, 0, 0};
  EXPECT_THROW(platform::audio::encodeWav(three, 16000, 2, platform::audio::WavSampleFormat::pcm16), WavWriteError);
  EXPECT_THROW(platform::audio::encodeWav(three, 0, 1, platform::audio::WavSampleFormat::pcm16), WavWriteError);
  EXPECT_THROW(platform::audio::encodeWav(three, 16000, 0, platform::audio::WavSampleFormat::pcm16), WavWriteError);
}

TEST(WavWriter, AFailedWriteLeavesNoPartialFile) {
  testsupport::TemporaryFolder folder("wav-fault");
  platform::fs::FaultInjectingFileSystem faulty(platform::fs::RealFileSystem::shared());
  faulty.failNthWrite(1, ENOSPC);
  const std::vector<float> samples(1000, 0.25f);
  EXPECT_THROW(platform::audio::writeWav(faulty, folder / "out.wav", samples, 16000), platform::fs::FileError);
  EXPECT_FALSE(platform::fs::exists(folder / "out.wav"));
}

}  // namespace
