#include "speech/audio/audio_processor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <mutex>
#include <string>

#include "core/locks.hpp"
#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/wav_writer.hpp"
#include "speech/audio/pcm_buffer_extensions.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using platform::audio::AudioFormat;
using platform::audio::PcmBuffer;
using testsupport::sine;
using TempDir = testsupport::TemporaryFolder;
using testsupport::writeWav;

// Captures the library's log lines for one test.
class LogCapture {
 public:
  LogCapture() {
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::debug);
    noxtal::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    noxtal::Logging::updateCallback({});
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  }
  bool contains(const std::string& text) {
    std::lock_guard lock(mutex_);
    for (const auto& l : lines_) {
      if (l.find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::shared_ptr<PcmBuffer> stereo(std::vector<float> left, std::vector<float> right) {
  auto buffer = PcmBuffer::create(*AudioFormat::standard(44100, 2), std::uint32_t(left.size()));
  std::copy(left.begin(), left.end(), buffer->floatChannelData(0));
  std::copy(right.begin(), right.end(), buffer->floatChannelData(1));
  buffer->setFrameLength(std::uint32_t(left.size()));
  return std::shared_ptr<PcmBuffer>(std::move(buffer));
}

float peak(std::span<const float> s) {
  float p = 0;
  for (float v : s) p = std::max(p, std::fabs(v));
  return p;
}

TEST(AudioProcessorTest, SixteenKilohertzMonoIsReadDirectly) {
  TempDir dir;
  auto value = [](int, std::int64_t i) { return float((i % 200) - 100) / 256.0f; };
  writeWav(dir / "m.wav", 16000, 1, 16011, value, /*asFloat=*/true);
  const auto samples = AudioProcessor::loadAudioAsFloatArray((dir / "m.wav").string());
  ASSERT_EQ(samples.size(), 16011u);
  for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], value(0, std::int64_t(i)));  // bit-exact
  // Start and end times cut the span; an end past the file stops at its end; end <= start is empty.
  const auto part =
      AudioProcessor::loadAudioAsFloatArray((dir / "m.wav").string(), ChannelMode::sumChannels(), 0.25, 0.5);
  ASSERT_EQ(part.size(), 4000u);
  EXPECT_EQ(part[0], value(0, 4000));
  EXPECT_EQ(
      AudioProcessor::loadAudioAsFloatArray((dir / "m.wav").string(), ChannelMode::sumChannels(), 0.5, 99.0).size(),
      16011u - 8000u);
  EXPECT_TRUE(
      AudioProcessor::loadAudioAsFloatArray((dir / "m.wav").string(), ChannelMode::sumChannels(), 10.0, 5.0).empty());
  auto buffer =
      AudioProcessor::loadAudio((dir / "m.wav").string(), ChannelMode::sumChannels(), 0.5, std::nullopt, 1000);
  EXPECT_EQ(buffer->frameLength(), 16011u - 8000u);
  EXPECT_EQ(buffer->format(), *AudioFormat::standard(16000, 1));
  // The asynchronous form gives the whole-file buffer, and the same errors.
  auto whole = AudioProcessor::loadAudioAsync((dir / "m.wav").string());
  ASSERT_EQ(whole->frameLength(), 16011u);
  EXPECT_EQ(whole->channel(0)[16010], value(0, 16010));
  EXPECT_THROW(AudioProcessor::loadAudioAsync((dir / "missing.wav").string()), WhisperError);
}

TEST(AudioProcessorTest, MultichannelFilesBecomeSixteenKilohertzMonoOfTheRightLength) {
  TempDir dir;
  struct Case {
    int rate;
    int channels;
    std::int64_t frames;
  };
  for (const Case& c : {Case{44100, 2, 44100 * 3 + 123}, Case{48000, 6, 48000 * 2 + 7}}) {
    SCOPED_TRACE(c.channels);
    const auto path = dir / ("f" + std::to_string(c.channels) + ".wav");
    writeWav(path, c.rate, c.channels, c.frames, sine(300, 0.3, c.rate));
    const auto samples = AudioProcessor::loadAudioAsFloatArray(path.string());
    EXPECT_NEAR(double(samples.size()), double(c.frames) * 16000 / c.rate, 1.0);
    // In-phase channels: the mix keeps one channel's peak level.
    EXPECT_NEAR(peak(samples), 0.3, 0.01);
    // Small read sizes and the buffer entry point give the same samples.
    auto buffer = AudioProcessor::loadAudio(path.string(), ChannelMode::sumChannels(), 0.0, std::nullopt, 4099);
    ASSERT_EQ(buffer->frameLength(), samples.size());
    EXPECT_NEAR(buffer->channel(0)[5000], samples[5000], 0.02f);
  }
}

TEST(AudioProcessorTest, LongFileHasNoSeamAtThePieceBoundary) {
  TempDir dir;
  const int rate = 8000;  // keeps the file small: 601 s at 8 kHz
  const std::int64_t frames = std::int64_t(rate) * 601;
  writeWav(dir / "long.wav", rate, 2, frames, sine(440, 0.4, rate), /*asFloat=*/true);
  const auto pieces = AudioProcessor::loadAudioAsFloatArray((dir / "long.wav").string());
  // Reference: one resampler over the whole (mono) signal in a single pass.
  std::vector<float> mono(static_cast<std::size_t>(frames));
  auto s = sine(440, 0.4, rate);
  for (std::int64_t i = 0; i < frames; ++i) mono[std::size_t(i)] = s(0, i);
  auto resampler = platform::audio::Resampler::create(rate, 16000, 1);
  std::vector<float> reference = resampler->process(mono);
  const auto& tail = resampler->flush().front();
  reference.insert(reference.end(), tail.begin(), tail.end());
  ASSERT_EQ(pieces.size(), reference.size());
  EXPECT_EQ(pieces.size(), std::size_t(frames * 2));
  float worst = 0;
  for (std::size_t i = 0; i < pieces.size(); ++i) worst = std::max(worst, std::fabs(pieces[i] - reference[i]));
  EXPECT_LT(worst, 1e-5f);
}

TEST(AudioProcessorTest, EndTimesPastTheEndOfCompressedFilesStopAtTheEnd) {
  // A compressed file's length is only an estimate, so a far end time is not clamped by it: it
  // must still read to the end of the audio rather than fail.
  for (const char* name : {"tone.mp3", "tone_stereo.flac"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(PROJECT_TEST_DATA_DIR) + "/audio/" + name;
    const auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    ASSERT_GT(whole.size(), 7000u);
    for (const double end : {99.0, 1e9, double(INFINITY)}) {
      SCOPED_TRACE(end);
      EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 0.0, end), whole);
      EXPECT_EQ(AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), 0.0, end)->frameLength(), whole.size());
    }
    // A start time cuts the same span as on the whole load (up to the converter's edge).
    const auto tail = AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 0.25, 1e9);
    EXPECT_NEAR(double(tail.size()), double(whole.size() - 4000), 2.0);
    EXPECT_TRUE(AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 0.4, 0.2).empty());
  }
}

// The process's address space in bytes ("VmSize:" of /proc/self/status). A reservation shows
// here at once, though none of its pages is touched.
double addressSpaceBytes() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmSize:", 0) == 0) return std::stod(line.substr(7)) * 1024.0;
  }
  ADD_FAILURE() << "no VmSize line";
  return 0;
}

TEST(AudioProcessorTest, FarEndTimesOnCompressedFilesReserveOnlyWhatTheFileHolds) {
  // Five seconds of MP3, read directly (16 kHz mono) and through the resampler (44.1 kHz), with
  // end times whose spans would need gigabytes: what is reserved follows the file's length.
  for (const char* name : {"speech_16k.mp3", "speech_44k.mp3"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(PROJECT_TEST_DATA_DIR) + "/audio/" + name;
    const auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    EXPECT_NEAR(double(whole.size()), 5.0 * 16000, 0.02 * 16000);
    for (const double end : {90'000.0, 200'000.0}) {
      SCOPED_TRACE(end);
      const double before = addressSpaceBytes();
      const auto samples = AudioProcessor::loadAudioAsFloatArray(path, ChannelMode::sumChannels(), 0.0, end);
      const auto buffer = AudioProcessor::loadAudio(path, ChannelMode::sumChannels(), 0.0, end);
      EXPECT_LT(addressSpaceBytes() - before, 256.0 * 1024 * 1024);
      EXPECT_EQ(samples, whole);
      EXPECT_LT(samples.capacity(), 2 * whole.size());
      EXPECT_EQ(buffer->frameLength(), whole.size());
    }
  }
}

TEST(AudioProcessorTest, ChannelModeTable) {
  LogCapture log;
  auto in = stereo({0.5f, -0.25f, 0.1f}, {0.25f, -0.125f, 0.05f});
  struct Case {
    ChannelMode mode;
    std::vector<float> expected;
  };
  const float k = 0.5f / 0.75f;
  for (const Case& c : {Case{ChannelMode::sumChannels(), {0.5f, -0.375f * k, 0.15f * k}},
                        Case{ChannelMode::sumChannels(std::vector<int>{}), {0.5f, -0.375f * k, 0.15f * k}},
                        Case{ChannelMode::sumChannels(std::vector<int>{0, 0}), {0.5f, -0.25f, 0.1f}},
                        Case{ChannelMode::specificChannel(1), {0.25f, -0.125f, 0.05f}},
                        Case{ChannelMode::specificChannel(7), {0.5f, -0.25f, 0.1f}}}) {
    auto out = AudioProcessor::convertToMono(in, c.mode);
    ASSERT_EQ(out->format().channelCount, 1u);
    ASSERT_EQ(out->frameLength(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(out->channel(0)[i], c.expected[i], 1e-6f) << i;
  }
  EXPECT_FALSE(log.contains("No valid channel indices provided"));
  auto out = AudioProcessor::convertToMono(in, ChannelMode::sumChannels(std::vector<int>{5}));
  EXPECT_EQ(out->channel(0)[1], -0.25f);
  EXPECT_TRUE(log.contains("No valid channel indices provided, defaulting to first channel"));
  // A mix whose channels cancel is never amplified (the gain is at most 1).
  auto cancel = AudioProcessor::convertToMono(stereo({0.5f, 0.5f}, {-0.49f, -0.5f}), ChannelMode::sumChannels());
  EXPECT_NEAR(cancel->channel(0)[0], 0.01f, 1e-6f);
  EXPECT_EQ(cancel->channel(0)[1], 0.0f);
  // A mono buffer comes back as the same object.
  std::shared_ptr<PcmBuffer> mono = PcmBuffer::create(*AudioFormat::standard(16000, 1), 4);
  EXPECT_EQ(AudioProcessor::convertToMono(mono, ChannelMode::sumChannels()), mono);
}

TEST(AudioProcessorTest, ChannelModeJson) {
  EXPECT_EQ(platform::json::dump(ChannelMode::specificChannel(1).toJson()), R"({"specificChannel":{"_0":1}})");
  EXPECT_EQ(platform::json::dump(ChannelMode::sumChannels(std::vector<int>{0, 2}).toJson()),
            R"({"sumChannels":{"_0":[0,2]}})");
  EXPECT_EQ(platform::json::dump(ChannelMode::sumChannels().toJson()), R"({"sumChannels":{}})");
  EXPECT_EQ(ChannelMode::fromJson(platform::json::parse(R"({"sumChannels":{}})")), ChannelMode::sumChannels());
  EXPECT_EQ(ChannelMode::fromJson(platform::json::parse(R"({"x":1,"specificChannel":{"_0":3}})")),
            ChannelMode::specificChannel(3));
  for (const char* bad : {"{}", R"({"sumChannels":{},"specificChannel":{"_0":1}})"}) {
    try {
      ChannelMode::fromJson(platform::json::parse(bad));
      ADD_FAILURE() << bad;
    } catch (const platform::json::JsonError& e) {
      EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.");
    }
  }
  EXPECT_THROW(ChannelMode::fromJson(platform::json::parse(R"({"specificChannel":{}})")), platform::json::JsonError);
  EXPECT_EQ(ChannelMode::fromJson(platform::json::parse(R"({"sumChannels":{"_0":null}})")), ChannelMode::sumChannels());
  for (const auto& mode :
       {ChannelMode::specificChannel(0), ChannelMode::sumChannels(), ChannelMode::sumChannels(std::vector<int>{}),
        ChannelMode::sumChannels(std::vector<int>{1, 0})}) {
    EXPECT_EQ(ChannelMode::fromJson(mode.toJson()), mode);
  }
  // An absent list and an empty list are different modes (and hash differently).
  EXPECT_NE(ChannelMode::sumChannels(), ChannelMode::sumChannels(std::vector<int>{}));
  EXPECT_NE(std::hash<ChannelMode>{}(ChannelMode::sumChannels()),
            std::hash<ChannelMode>{}(ChannelMode::sumChannels(std::vector<int>{})));
  EXPECT_NE(std::hash<ChannelMode>{}(ChannelMode::specificChannel(0)),
            std::hash<ChannelMode>{}(ChannelMode::sumChannels()));
  EXPECT_EQ(std::hash<ChannelMode>{}(ChannelMode::sumChannels(std::vector<int>{0, 2})),
            std::hash<ChannelMode>{}(ChannelMode::sumChannels(std::vector<int>{0, 2})));
}

TEST(AudioProcessorTest, ResampleBufferRoundsTheCapacity) {
  LogCapture log;
  for (auto [frames, expected, logged] : {std::tuple{441u, 160u, false}, std::tuple{1000u, 363u, true}}) {
    auto buffer = PcmBuffer::create(*AudioFormat::standard(44100, 1), frames);
    buffer->setFrameLength(frames);
    auto converter = platform::audio::Resampler::create(44100, 16000, 1);
    auto out = AudioProcessor::resampleBuffer(*buffer, *converter);
    EXPECT_EQ(out->frameCapacity(), expected);
    EXPECT_NEAR(double(out->frameLength()), double(expected), 1.0);
    EXPECT_EQ(log.contains("Rounding buffer frame capacity from 362.811791383219"), logged);
    EXPECT_EQ(log.contains(" to 363.0 to better fit new sample rate"), logged);
  }
}

TEST(AudioProcessorTest, LogNumbersPrintAsShortestDecimals) {
  struct Case {
    double value;
    bool asFloat;
    const char* text;
  };
  for (const Case& c :
       {Case{44100.0, false, "44100.0"}, Case{100000.0, false, "100000.0"},
        Case{362.8117913832199, false, "362.8117913832199"}, Case{0.0001, true, "0.0001"}, Case{0.0005, true, "0.0005"},
        Case{0.00005, true, "5e-05"}, Case{0.0, true, "0.0"}, Case{16777216.0, true, "1.6777216e+07"},
        Case{16777215.0, true, "16777215.0"}, Case{9007199254740992.0, false, "9.007199254740992e+15"},
        Case{NAN, false, "nan"}, Case{-INFINITY, true, "-inf"}}) {
    EXPECT_EQ(c.asFloat ? noxtal::floatingText(float(c.value)) : noxtal::floatingText(c.value), c.text) << c.value;
  }
}

TEST(AudioProcessorTest, PadOrTrimAudio) {
  std::vector<float> samples(100);
  for (int i = 0; i < 100; ++i) samples[std::size_t(i)] = float(i);
  auto window = AudioProcessor::padOrTrimAudio(samples, 90, 20);
  ASSERT_TRUE(window.has_value());
  ASSERT_EQ(window->shape(), platform::ml::Shape{20});
  auto values = window->span<float>();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(values[std::size_t(i)], i < 10 ? float(90 + i) : 0.0f);
  LogCapture log;
  EXPECT_FALSE(AudioProcessor::padOrTrimAudio(samples, 100, 20).has_value());
  EXPECT_FALSE(AudioProcessor::padOrTrimAudio(samples, -1, 20).has_value());
  EXPECT_FALSE(AudioProcessor::padOrTrimAudio({}, 0, 20).has_value());
  EXPECT_TRUE(log.contains("startIndex is outside the buffer size"));
  AudioProcessor processor;
  EXPECT_EQ(processor.padOrTrim(samples, 0, 480000)->count(), 480000);
}

TEST(AudioProcessorTest, EnergyMeasures) {
  const std::vector<float> signal{0.5f, -0.5f, 0.25f, -1.0f};
  const float rms = std::sqrt((0.25f + 0.25f + 0.0625f + 1.0f) / 4);
  EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(signal), rms, 1e-6f);
  const auto e = AudioProcessor::calculateEnergy(signal);
  EXPECT_NEAR(e.avg, rms, 1e-6f);
  EXPECT_EQ(e.max, 1.0f);
  EXPECT_EQ(e.min, 0.25f);
  const std::vector<float> zeros(100, 0.0f), full(100, 1.0f), mid(100, 0.0316227766f);
  EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(zeros, std::nullopt), 0.0f);
  EXPECT_EQ(AudioProcessor::calculateRelativeEnergy(full, std::nullopt), 1.0f);
  EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(mid, std::nullopt), 0.5f, 1e-4f);  // -30 dB of -60
  EXPECT_NEAR(AudioProcessor::calculateRelativeEnergy(mid, 0.0f), 0.8125f, 1e-4f);       // reference 1e-8
  // isVoiceDetected: of the newest 20 values the oldest 10 are examined.
  std::vector<float> energies(25, 0.0f);
  energies[5] = 1.0f;  // newest 20 are indices 5...24; examined 5...14
  EXPECT_TRUE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.5f));
  energies[5] = 0.0f;
  energies[20] = 1.0f;  // not among the examined
  EXPECT_FALSE(AudioProcessor::isVoiceDetected(energies, 2.0f, 0.5f));
  EXPECT_TRUE(AudioProcessor::isVoiceDetected(std::vector<float>(8, 1.0f), 2.0f, 0.5f));
  EXPECT_FALSE(AudioProcessor::isVoiceDetected(std::vector<float>(8, 1.0f), 0.05f, 0.5f));
}

TEST(AudioProcessorTest, BadInputGivesWhisperErrorNamingFileAndReason) {
  TempDir dir;
  std::ofstream(dir / "empty.wav").close();
  std::ofstream(dir / "junk.mp3") << std::string(3000, '\x7f');
  std::ofstream(dir / "text.srt") << "1\n00:00:01,000 --> 00:00:02,000\nHi\n";
  struct Case {
    std::string path;
    std::string text;
  };
  const std::string missing = (dir / "missing.wav").string();
  for (const Case& c :
       {Case{missing, "Resource path does not exist " + missing}, Case{dir.path().string(), "directory"},
        Case{(dir / "empty.wav").string(), "empty"}, Case{(dir / "junk.mp3").string(), (dir / "junk.mp3").string()},
        Case{(dir / "text.srt").string(), "no audio stream"}}) {
    SCOPED_TRACE(c.path);
    try {
      AudioProcessor::loadAudioAsFloatArray(c.path);
      ADD_FAILURE() << "loaded";
    } catch (const WhisperError& e) {
      EXPECT_EQ(e.errorCase(), WhisperError::Case::loadAudioFailed);
      EXPECT_NE(e.message().find(c.path), std::string::npos) << e.message();
      EXPECT_NE(e.message().find(c.text), std::string::npos) << e.message();
    }
    EXPECT_THROW(AudioProcessor::loadAudio(c.path), WhisperError);
  }
  // A batch keeps the other files' results, in order.
  writeWav(dir / "good.wav", 16000, 1, 1600, sine(440, 0.5, 16000));
  const std::string good = (dir / "good.wav").string();
  const auto results = AudioProcessor::loadAudio(std::vector<std::string>{good, missing, good});
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].isSuccess());
  EXPECT_FALSE(results[1].isSuccess());
  EXPECT_THROW(results[1].value(), WhisperError);
  EXPECT_EQ(results[2].value().size(), 1600u);
  EXPECT_TRUE(AudioProcessor::loadAudio(std::vector<std::string>{}).empty());
}

TEST(AudioProcessorTest, BatchLargerThanTheThreadBoundKeepsOrderAndHonoursItsStopToken) {
  TempDir dir;
  // Files of distinct lengths, more of them than the machine has processors, so the bounded
  // loader must reuse its threads; every result has to land at its own index.
  const std::size_t count = 2 * static_cast<std::size_t>(noxtal::ConcurrencyUtilities::activeProcessorCount()) + 3;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string path = (dir / ("f" + std::to_string(i) + ".wav")).string();
    if (i % 3 != 2) writeWav(path, 16000, 1, 100 + i, sine(440, 0.5, 16000));
    paths.push_back(path);
  }
  const auto results = AudioProcessor::loadAudio(paths);
  ASSERT_EQ(results.size(), count);
  for (std::size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    if (i % 3 == 2) {
      EXPECT_THROW(results[i].value(), WhisperError);
    } else {
      EXPECT_EQ(results[i].value().size(), 100 + i);
    }
  }

  // A stopped token stops every file before it is read: each entry holds the cancellation.
  std::stop_source stopped;
  stopped.request_stop();
  const auto cancelled = AudioProcessor::loadAudio(paths, ChannelMode::sumChannels(), stopped.get_token());
  ASSERT_EQ(cancelled.size(), count);
  for (const auto& result : cancelled) EXPECT_THROW(result.value(), platform::sync::CancellationError);
  EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(paths[0], ChannelMode::sumChannels(), 0.0, std::nullopt,
                                                     stopped.get_token()),
               platform::sync::CancellationError);
}

TEST(AudioProcessorTest, BufferHelpers) {
  auto buffer = PcmBuffer::create(*AudioFormat::standard(16000, 1), 2500);
  for (int i = 0; i < 2500; ++i) buffer->floatChannelData(0)[i] = float(i + 1);
  buffer->setFrameLength(2500);
  const auto array = AudioProcessor::convertBufferToArray(*buffer, 1024);
  ASSERT_EQ(array.size(), 2500u);
  EXPECT_EQ(array[2499], 2500.0f);
  EXPECT_EQ(peak(buffer->channel(0)), 0.0f);  // the source is cleared
  // appendContents: cut to the free capacity; another format is refused.
  auto target = PcmBuffer::create(*AudioFormat::standard(16000, 1), 1000);
  target->setFrameLength(400);
  auto source = PcmBuffer::adopt(*AudioFormat::standard(16000, 1), std::vector<float>(1000, 0.5f));
  EXPECT_TRUE(appendContents(*target, *source));
  EXPECT_EQ(target->frameLength(), 1000u);
  EXPECT_EQ(target->channel(0)[999], 0.5f);
  auto other = PcmBuffer::adopt(*AudioFormat::standard(44100, 1), std::vector<float>(10, 0.5f));
  target->setFrameLength(10);
  EXPECT_FALSE(appendContents(*target, *other));
  EXPECT_EQ(target->frameLength(), 10u);
  EXPECT_FALSE(appendContents(*target, *source, 900, 200));
}

TEST(AudioProcessorTest, WaveformImageNeedsOneSamplePerPixel) {
  std::vector<float> samples(12, 0.5f);
  auto image = AudioProcessor::createWaveformImage(samples, {4.9, 3.0});
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 4);
  EXPECT_EQ(image->bytesPerRow, 16);
  EXPECT_EQ(image->pixels.size(), 48u);
  EXPECT_FALSE(AudioProcessor::createWaveformImage(samples, {4.0, 4.0}).has_value());
  EXPECT_FALSE(AudioProcessor::createWaveformImage(samples, {0.0, 4.0}).has_value());
  EXPECT_FALSE(AudioProcessor::createWaveformImage(samples, {NAN, 4.0}).has_value());
}

}  // namespace
}  // namespace vostrane
