#include "speech/audio/incremental_audio_loader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "support/wav_writer.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using TempDir = testsupport::TemporaryFolder;
using testsupport::writeWav;

// Speech-like 16 kHz audio: 0.4 s pauses every 2.3 s, distinct sample values elsewhere.
float speechLike(int, std::int64_t i) {
  if ((i / 3'200) % 11 == 10 && i % 5 != 0) return 0.0f;
  return 0.3f * float(std::sin(double(i) * 0.05)) + 0.1f;
}

std::string writeSpeech(const TempDir& dir, const std::string& name, std::int64_t frames) {
  const auto path = (dir / name).string();
  writeWav(path, 16000, 1, frames, speechLike, /*asFloat=*/true);
  return path;
}

WhisperError loadError(const std::function<void()>& call) {
  try {
    call();
  } catch (const WhisperError& e) {
    return e;
  }
  ADD_FAILURE() << "no WhisperError thrown";
  return WhisperError::loadAudioFailed("");
}

// Takes every chunk, releasing each at once, and checks that they follow each other.
std::vector<float> drain(IncrementalAudioStream& stream, std::size_t* chunkCount = nullptr) {
  std::vector<float> all;
  std::size_t count = 0;
  while (auto chunk = stream.next()) {
    EXPECT_EQ(chunk->audioChunk.seekOffsetIndex, std::int64_t(all.size()));
    EXPECT_FALSE(chunk->audioChunk.audioSamples.empty());
    all.insert(all.end(), chunk->audioChunk.audioSamples.begin(), chunk->audioChunk.audioSamples.end());
    chunk->completionSignal();
    ++count;
  }
  if (chunkCount) *chunkCount = count;
  return all;
}

TEST(IncrementalAudioLoaderTest, ArgumentsAreCheckedBeforeTheFile) {
  const std::string missing = "/nonexistent/la-missing.wav";
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    double duration;
    int buffers;
    std::int64_t maxLength;
    std::string message;
  };
  const std::string duration = "Incremental chunk duration must be greater than 0";
  const std::string buffers = "Incremental chunk buffer size must be greater than 0";
  const std::vector<Case> cases = {
      {0.0, 2, 480'000, duration},
      {-1.0, 2, 480'000, duration},
      {nan, 2, 480'000, duration},
      {inf, 2, 480'000, duration},
      {-inf, 0, 0, duration},
      {1.0, 0, 480'000, buffers},
      {1.0, -3, 480'000, buffers},
      {1.0, 1, 16'000, kIncrementalMaxChunkLengthMessage},
      {1.0, 1, 0, kIncrementalMaxChunkLengthMessage},
      {1.0, 1, 16'001, "Audio file not found at path: " + missing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + " " + std::to_string(c.duration));
    const auto error = loadError(
        [&] { loadAudioIncrementally(missing, ChannelMode::sumChannels(), c.duration, c.buffers, c.maxLength); });
    EXPECT_EQ(error, WhisperError::loadAudioFailed(c.message));
  }
}

TEST(IncrementalAudioLoaderTest, ShortFileIsOneChunkAndEmptyFileNone) {
  TempDir dir;
  const auto path = writeSpeech(dir, "short.wav", 40'000);
  auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 2, 480'000);
  auto chunk = stream->next();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(chunk->audioChunk.seekOffsetIndex, 0);
  EXPECT_EQ(chunk->audioChunk.audioSamples, AudioProcessor::loadAudioAsFloatArray(path));
  EXPECT_FALSE(stream->next());

  const auto empty = writeSpeech(dir, "empty.wav", 0);
  auto emptyStream = loadAudioIncrementally(empty, ChannelMode::sumChannels(), 1.0, 2, 480'000);
  EXPECT_FALSE(emptyStream->next());
}

TEST(IncrementalAudioLoaderTest, ConcatenatedChunksEqualTheWholeFileLoad) {
  TempDir dir;
  struct Case {
    std::int64_t frames;
    double chunkSeconds;
    int buffers;
    std::int64_t maxLength;
  };
  // Several refills per chunk, several chunks per refill, and lengths whose last cut falls into
  // the final second.
  const std::vector<Case> cases = {
      {16'000 * 25 + 123, 2.0, 2, 48'000},
      {16'000 * 25 + 123, 0.7, 1, 48'000},
      {16'000 * 40, 10.0, 3, 40'000},
      {16'000 * 13 + 7, 3.3, 2, 17'000},
      {48'001, 1.0, 2, 48'000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames, " + std::to_string(c.chunkSeconds) + " s");
    const auto path = writeSpeech(dir, "long.wav", c.frames);
    const auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    ASSERT_EQ(std::int64_t(whole.size()), c.frames);
    auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), c.chunkSeconds, c.buffers, c.maxLength);
    std::size_t chunks = 0;
    const auto all = drain(*stream, &chunks);
    EXPECT_GT(chunks, 1u);
    EXPECT_TRUE(all == whole) << all.size() << " of " << whole.size() << " samples";
  }
}

TEST(IncrementalAudioLoaderTest, UnboundedChunkLengthGivesTheWholeFile) {
  // A caller that wants no cut at all passes the largest length: the whole file is one chunk.
  TempDir dir;
  const auto path = writeSpeech(dir, "unbounded.wav", 16'000 * 3 + 5);
  auto stream =
      loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 1, std::numeric_limits<std::int64_t>::max());
  std::size_t chunks = 0;
  EXPECT_EQ(drain(*stream, &chunks), AudioProcessor::loadAudioAsFloatArray(path));
  EXPECT_EQ(chunks, 1u);
}

TEST(IncrementalAudioLoaderTest, OneBufferedChunkAtATime) {
  TempDir dir;
  const auto path = writeSpeech(dir, "three.wav", 16'000 * 10);
  auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 1, 48'000);
  auto first = stream->next();
  ASSERT_TRUE(first);
  // Once the producer has cut the second chunk it must wait for the first chunk's release.
  while (stream->controller().waitingRequests() == 0) std::this_thread::yield();
  EXPECT_EQ(stream->bufferedChunkCount(), 0u);
  EXPECT_EQ(stream->controller().activeChunks(), 1);
  first->completionSignal();
  auto second = stream->next();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->audioChunk.seekOffsetIndex, std::int64_t(first->audioChunk.audioSamples.size()));
  second->completionSignal();
  auto third = stream->next();
  ASSERT_TRUE(third);
  EXPECT_EQ(stream->controller().activeChunks(), 1);
}

TEST(IncrementalAudioLoaderTest, CompletionSignalCalledTwiceReleasesTwice) {
  TempDir dir;
  const auto path = writeSpeech(dir, "twice.wav", 16'000 * 10);
  // A producer that never gets a slot would leave next() waiting: the watchdog ends the wait.
  std::stop_source watchdogStop;
  auto stream =
      loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 1, 48'000, nullptr, watchdogStop.get_token());
  std::jthread watchdog([&](std::stop_token done) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock<std::mutex> lock(mutex);
    never.wait_for(lock, done, std::chrono::seconds(10), [] { return false; });
    watchdogStop.request_stop();
  });
  auto first = stream->next();
  ASSERT_TRUE(first);
  first->completionSignal();
  auto second = stream->next();
  ASSERT_TRUE(second);
  // The second release of the first chunk frees the slot the second chunk holds, so the producer
  // hands on the third chunk while the second is still held.
  first->completionSignal();
  auto third = stream->next();
  ASSERT_TRUE(third);
  EXPECT_EQ(third->audioChunk.seekOffsetIndex,
            second->audioChunk.seekOffsetIndex + std::int64_t(second->audioChunk.audioSamples.size()));
  EXPECT_EQ(stream->controller().activeChunks(), 1);
  watchdog.request_stop();
}

TEST(IncrementalAudioLoaderTest, CancellingTheConsumerWhileTheProducerWaitsEndsQuietly) {
  TempDir dir;
  const auto path = writeSpeech(dir, "cancel.wav", 16'000 * 10);
  std::stop_source consumer;
  std::function<void()> lateSignal;
  {
    auto stream =
        loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 1, 48'000, nullptr, consumer.get_token());
    auto first = stream->next();
    ASSERT_TRUE(first);
    lateSignal = first->completionSignal;
    std::thread canceller([&] {
      // Both sides must be waiting: the producer for a slot, the consumer in next().
      while (stream->controller().waitingRequests() == 0 || stream->waitingConsumers() == 0) {
        std::this_thread::yield();
      }
      consumer.request_stop();
    });
    EXPECT_FALSE(stream->next());  // waits, then ends without an error
    canceller.join();
    EXPECT_FALSE(stream->next());
    EXPECT_TRUE(stream->controller().isTerminated());
  }              // the producer thread is joined here
  lateSignal();  // after the stream is gone
}

TEST(IncrementalAudioLoaderTest, DroppingTheStreamEarlyStopsTheProducer) {
  TempDir dir;
  const auto path = writeSpeech(dir, "drop.wav", 16'000 * 10);
  auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 2, 48'000);
  ASSERT_TRUE(stream->next());
  stream.reset();  // must not hang with the producer waiting for a slot
}

TEST(IncrementalAudioLoaderTest, OpenErrorsEndTheStreamWithAWhisperError) {
  TempDir dir;
  const auto notAudio = (dir / "text.wav").string();
  std::ofstream(notAudio) << "not audio at all";
  for (const auto& path : {notAudio, dir.path().string()}) {
    SCOPED_TRACE(path);
    auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), 1.0, 1, 48'000);
    EXPECT_EQ(loadError([&] { stream->next(); }).errorCase(), WhisperError::Case::loadAudioFailed);
  }
}

TEST(IncrementalAudioLoaderTest, CompressedFilesAreReadToTheirEnd) {
  // Compressed lengths are estimates and the audio is resampled span by span: the chunks still
  // follow each other and hold the whole recording.
  for (const char* name : {"tone.mp3", "tone.ogg", "tone_stereo.flac"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(PROJECT_TEST_DATA_DIR) + "/audio/" + name;
    const auto whole = AudioProcessor::loadAudioAsFloatArray(path);
    auto stream = loadAudioIncrementally(path, ChannelMode::sumChannels(), 0.1, 2, 16'001);
    const auto all = drain(*stream);
    EXPECT_NEAR(double(all.size()), double(whole.size()), 0.01 * double(whole.size()));
  }
}

TEST(IncrementalAudioLoaderTest, ResampledFilesMatchTheWholeFileLoadAcrossRefills) {
  // Files that are not 16 kHz are resampled as they are read: short refills put many refill
  // boundaries into a few seconds, and the chunks together must still be the whole-file load,
  // sample for sample within the resampler's rounding and with the same length.
  TempDir dir;
  const int rate = 44'100;
  const auto stereo = (dir / "stereo44k.wav").string();
  // In-phase channels (the right at half the left's level) mix to the same mono signal however
  // the reads are split; 0.2 s pauses every 1.1 s give the chunker silences to cut at.
  writeWav(stereo, rate, 2, rate * 4 + 321, [](int channel, std::int64_t i) {
    const double t = double(i) / rate;
    const double left = std::fmod(t, 1.1) < 0.9 ? 0.3 * std::sin(2 * M_PI * 330 * t) + 0.05 : 0.0;
    return float(channel == 0 ? left : 0.5 * left);
  });
  struct Case {
    std::string path;
    double refillSeconds;
  };
  for (const Case& c : {Case{stereo, 0.25}, Case{stereo, 0.77},
                        Case{std::string(PROJECT_TEST_DATA_DIR) + "/audio/speech_44k.mp3", 0.3}}) {
    SCOPED_TRACE(c.path + ", refills of " + std::to_string(c.refillSeconds) + " s");
    const auto whole = AudioProcessor::loadAudioAsFloatArray(c.path);
    ASSERT_GT(whole.size(), 60'000u);
    auto stream = loadAudioIncrementally(c.path, ChannelMode::sumChannels(), c.refillSeconds, 2, 24'000);
    std::size_t chunks = 0;
    const auto all = drain(*stream, &chunks);
    EXPECT_GT(chunks, 2u);
    ASSERT_EQ(all.size(), whole.size());
    float worst = 0;
    std::size_t worstAt = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (std::fabs(all[i] - whole[i]) > worst) {
        worst = std::fabs(all[i] - whole[i]);
        worstAt = i;
      }
    }
    EXPECT_LT(worst, 1e-5f) << "at sample " << worstAt;
  }
}

TEST(IncrementalLoadControllerTest, SlotsReleasesAndTermination) {
  IncrementalLoadController controller(2);
  controller.releaseChunkSlot();  // nothing active: ignored
  EXPECT_EQ(controller.activeChunks(), 0);
  EXPECT_TRUE(controller.requestChunkSlot());
  EXPECT_TRUE(controller.requestChunkSlot());
  std::atomic<bool> granted{false};
  std::thread waiter([&] { granted = controller.requestChunkSlot(); });
  controller.releaseChunkSlot();
  waiter.join();
  EXPECT_TRUE(granted);
  EXPECT_EQ(controller.activeChunks(), 2);

  std::atomic<bool> afterTerminate{true};
  std::thread blocked([&] { afterTerminate = controller.requestChunkSlot(); });
  controller.terminate();
  blocked.join();
  EXPECT_FALSE(afterTerminate);
  EXPECT_FALSE(controller.requestChunkSlot());
  controller.releaseChunkSlot();
  EXPECT_EQ(controller.activeChunks(), 1);

  IncrementalLoadController stopped(1);
  ASSERT_TRUE(stopped.requestChunkSlot());
  std::stop_source source;
  std::thread stopWaiter([&] { EXPECT_FALSE(stopped.requestChunkSlot(source.get_token())); });
  source.request_stop();
  stopWaiter.join();
  EXPECT_THROW(IncrementalLoadController(0), std::invalid_argument);
}

}  // namespace
}  // namespace vostrane
