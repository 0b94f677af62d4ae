#include "platform/audio/audio_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "platform/audio/pcm_buffer.hpp"
#include "platform/audio/resampler.hpp"
#include "support/wav_writer.hpp"

namespace platform::audio {
namespace {

using TempDir = testsupport::TemporaryFolder;
using testsupport::writeWav;

std::filesystem::path dataFile(const std::string& name) {
  return std::filesystem::path(PROJECT_TEST_DATA_DIR) / "audio" / name;
}

// Reads everything from the current position in reads of `step` frames.
std::vector<std::vector<float>> readAll(AudioFile& file, std::uint32_t step) {
  const auto channels = file.processingFormat().channelCount;
  auto buffer = PcmBuffer::create(file.processingFormat(), step);
  std::vector<std::vector<float>> out(channels);
  for (;;) {
    const std::uint32_t got = file.read(*buffer, step);
    for (std::uint32_t c = 0; c < channels; ++c) {
      out[c].insert(out[c].end(), buffer->channel(c).begin(), buffer->channel(c).end());
    }
    if (got < step) break;
  }
  return out;
}

TEST(AudioFileTest, ReadsWavExactlyInBoundedPiecesAndSeeks) {
  TempDir dir;
  // Channel c's frame i encodes (i, c) so misplaced frames show.
  auto value = [](int c, std::int64_t i) { return float((i % 1000) - 500) / 1024.0f + float(c) / 4096.0f; };
  writeWav(dir / "a.wav", 22050, 3, 10007, value, /*asFloat=*/true);
  auto file = AudioFile::open(dir / "a.wav");
  EXPECT_EQ(file->fileFormat().sampleRate, 22050);
  EXPECT_EQ(file->fileFormat().channelCount, 3u);
  EXPECT_EQ(file->length(), 10007);
  EXPECT_TRUE(file->lengthIsExact());
  const auto all = readAll(*file, 999);  // odd step, last read short
  ASSERT_EQ(all[0].size(), 10007u);
  for (int c = 0; c < 3; ++c) {
    for (std::int64_t i = 0; i < 10007; i += 101) ASSERT_EQ(all[c][i], value(c, i)) << c << " " << i;
  }
  for (std::int64_t target : {5000, 17, 0, 9999, 10007}) {
    file->setFramePosition(target);
    EXPECT_EQ(file->framePosition(), target);
    const auto rest = readAll(*file, 4096);
    ASSERT_EQ(rest[1].size(), std::size_t(10007 - target)) << target;
    if (!rest[1].empty()) {
      EXPECT_EQ(rest[1][0], value(1, target));
    }
  }
}

TEST(AudioFileTest, OpensTheCommittedFormats) {
  struct Case {
    const char* name;
    double rate;
    std::uint32_t channels;
  };
  for (const Case& c : {Case{"tone_stereo.flac", 22050, 2}, Case{"tone.mp3", 22050, 1}, Case{"tone.ogg", 22050, 1},
                        Case{"tone.opus", 48000, 1}, Case{"tone.m4a", 22050, 1}, Case{"tone.caf", 8000, 1},
                        Case{"tone.aiff", 8000, 1}}) {
    SCOPED_TRACE(c.name);
    auto file = AudioFile::open(dataFile(c.name));
    EXPECT_EQ(file->fileFormat().sampleRate, c.rate);
    EXPECT_EQ(file->fileFormat().channelCount, c.channels);
    const auto all = readAll(*file, 1000);
    // Half a second of a 440 Hz tone; codecs add or drop up to a frame of padding.
    EXPECT_NEAR(double(all[0].size()) / c.rate, 0.5, 0.08);
    double energy = 0;
    for (float v : all[0]) energy += double(v) * v;
    EXPECT_GT(energy / double(all[0].size()), 0.002);  // the tone has amplitude 1/8
    // Seeking back to the start gives the same first samples.
    file->setFramePosition(0);
    const auto again = readAll(*file, 1000);
    ASSERT_EQ(again[0].size(), all[0].size());
    EXPECT_EQ(again[0][100], all[0][100]);
  }
}

TEST(AudioFileTest, BadInputIsAnErrorNamingTheFile) {
  TempDir dir;
  std::ofstream(dir / "empty.wav").close();
  std::ofstream(dir / "junk.wav") << std::string(4000, 'x');
  std::ofstream(dir / "subs.srt") << "1\n00:00:01,000 --> 00:00:02,000\nHello\n";
  writeWav(dir / "full.wav", 16000, 1, 4000, testsupport::sine(440, 0.5, 16000));
  {
    std::ifstream in(dir / "full.wav", std::ios::binary);
    std::string header(30, '\0');
    in.read(header.data(), 30);
    std::ofstream(dir / "cut_header.wav", std::ios::binary) << header;
  }
  struct Case {
    std::filesystem::path path;
    const char* reason;
  };
  for (const Case& c :
       {Case{dir / "missing.wav", "no such file"}, Case{dir.path(), "directory"}, Case{dir / "empty.wav", "empty"},
        Case{dir / "junk.wav", "Invalid data"}, Case{dir / "subs.srt", "no audio stream"},
        Case{dataFile("video_only.mkv"), "no audio stream"}, Case{dir / "cut_header.wav", ""}}) {
    SCOPED_TRACE(c.path.string());
    try {
      AudioFile::open(c.path);
      ADD_FAILURE() << "opened";
    } catch (const AudioFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.path.string()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
}

TEST(AudioFileTest, TruncatedFilesNeverCrash) {
  TempDir dir;
  // A WAV cut inside its data: the demuxer measures what is there and reads exactly that.
  writeWav(dir / "t.wav", 16000, 1, 3000, testsupport::sine(440, 0.5, 16000), false, /*declaredFrames=*/8000);
  auto file = AudioFile::open(dir / "t.wav");
  EXPECT_EQ(readAll(*file, 4096)[0].size(), 3000u);
  // Compressed files cut at several points: either an error naming the file or fewer frames.
  for (const char* name : {"tone_stereo.flac", "tone.mp3", "tone.ogg", "tone.m4a", "tone.opus"}) {
    std::ifstream in(dataFile(name), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (std::size_t cut : {bytes.size() / 5, bytes.size() / 2, bytes.size() - 7}) {
      SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
      const auto path = dir / ("cut_" + std::to_string(cut) + "_" + name);
      std::ofstream(path, std::ios::binary) << bytes.substr(0, cut);
      try {
        auto cutFile = AudioFile::open(path);
        const auto all = readAll(*cutFile, 1000);
        EXPECT_LE(double(all[0].size()) / cutFile->fileFormat().sampleRate, 0.6);
      } catch (const AudioFileError& e) {
        EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos);
      }
    }
  }
}

TEST(ResamplerTest, PieceByPieceEqualsOnePassAndLengthAddsUp) {
  std::vector<float> input(44100 * 3 + 17);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = float(std::sin(0.01 * double(i)) * 0.5);
  auto whole = Resampler::create(44100, 16000, 1);
  std::vector<float> a = whole->process(input);
  const auto& tailA = whole->flush().front();
  a.insert(a.end(), tailA.begin(), tailA.end());

  auto pieces = Resampler::create(44100, 16000, 1);
  std::vector<float> b;
  for (std::size_t at = 0; at < input.size(); at += 7919) {
    const auto& out =
        pieces->process(std::span<const float>(input).subspan(at, std::min<std::size_t>(7919, input.size() - at)));
    b.insert(b.end(), out.begin(), out.end());
  }
  const auto& tailB = pieces->flush().front();
  b.insert(b.end(), tailB.begin(), tailB.end());

  ASSERT_EQ(a.size(), b.size());
  EXPECT_NEAR(double(a.size()), double(input.size()) * 16000 / 44100, 1.0);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 1e-6f) << i;
  EXPECT_THROW(pieces->process(input), ResamplerError);
}

TEST(ResamplerTest, RejectsUnusableRatesAndPassesEqualRatesThrough) {
  EXPECT_EQ(Resampler::create(0, 16000, 1), nullptr);
  EXPECT_EQ(Resampler::create(44100.5, 16000, 1), nullptr);
  EXPECT_EQ(Resampler::create(44100, 16000, 0), nullptr);
  auto same = Resampler::create(16000, 16000, 1);
  const std::vector<float> in{0.1f, -0.2f, 0.3f};
  EXPECT_EQ(same->process(in), in);
  EXPECT_TRUE(same->flush().front().empty());
}

TEST(PcmBufferTest, CreateAdoptAndLimits) {
  const auto format = *AudioFormat::standard(16000, 2);
  auto buffer = PcmBuffer::create(format, 10);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->frameLength(), 0u);
  EXPECT_NE(buffer->floatChannelData(1), nullptr);
  EXPECT_EQ(buffer->floatChannelData(2), nullptr);
  EXPECT_EQ(PcmBuffer::create(format, UINT32_MAX), nullptr);
  EXPECT_FALSE(AudioFormat::standard(-1, 1).has_value());
  EXPECT_FALSE(AudioFormat::standard(16000, 0).has_value());
  auto mono = PcmBuffer::adopt(*AudioFormat::standard(16000, 1), {1.0f, 2.0f});
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(mono->frameLength(), 2u);
  EXPECT_EQ(PcmBuffer::adopt(format, {1.0f}), nullptr);
}

}  // namespace
}  // namespace platform::audio
