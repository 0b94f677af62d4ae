// Live capture of AudioProcessor over the fake capture backend: energy records, the periodic
// size line, purging, suppression, pause/resume, device changes, the streaming form, the device
// list, and a consumer reading and purging while capture appends.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <numeric>
#include <stop_token>
#include <thread>
#include <unordered_set>

#include "support/fake_capture_backend.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/log_capture.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using testsupport::FakeCaptureBackend;

std::vector<float> constant(std::size_t n, float value) { return std::vector<float>(n, value); }

// Delivers one buffer and waits until the processing thread has appended it: a test delivers far
// faster than a device would, and must not outrun the engine's two-second ring buffer.
void deliverAndWait(FakeCaptureBackend& backend, const AudioProcessor& processor, const std::vector<float>& buffer) {
  const std::size_t target = processor.audioSampleCount() + buffer.size();
  ASSERT_TRUE(backend.deliver(buffer));
  while (processor.audioSampleCount() < target) std::this_thread::yield();
}

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
  return std::size_t(std::count_if(lines.begin(), lines.end(),
                                   [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

TEST(AudioProcessorCaptureTest, InitialState) {
  AudioProcessor processor(FakeCaptureBackend::mono16k());
  EXPECT_TRUE(processor.audioSamples().empty());
  EXPECT_TRUE(processor.relativeEnergy().empty());
  EXPECT_EQ(processor.relativeEnergyWindow(), 20);
  EXPECT_EQ(processor.minBufferLength(), 1600);
  EXPECT_FALSE(processor.isInputSuppressed());
  EXPECT_FALSE(processor.lastInputDevice().has_value());
  EXPECT_FALSE(processor.hasAudioEngine());
}

TEST(AudioProcessorCaptureTest, RelativeEnergyOfTheFirstBuffers) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  processor.startRecordingLive();
  ASSERT_TRUE(backend->deliver(constant(1600, 0.001f)));
  ASSERT_TRUE(backend->deliver(constant(1600, 0.01f)));    // 10x the first: 20 dB of 60 -> 1/3
  ASSERT_TRUE(backend->deliver(constant(1600, 0.0001f)));  // below the reference -> 0
  ASSERT_TRUE(backend->deliver(constant(1600, 1.0f)));     // full scale -> 1
  processor.pauseRecording();
  const auto rel = processor.relativeEnergy();
  ASSERT_EQ(rel.size(), 4u);
  EXPECT_EQ(rel[0], 0.0f);
  EXPECT_NEAR(rel[1], 1.0f / 3.0f, 1e-5f);
  EXPECT_EQ(rel[2], 0.0f);
  EXPECT_EQ(rel[3], 1.0f);
  const auto energy = processor.audioEnergy();
  EXPECT_NEAR(energy[1].avg, 0.01f, 1e-7f);
  EXPECT_EQ(energy[3].max, 1.0f);
  EXPECT_EQ(processor.audioSampleCount(), 6400u);
}

TEST(AudioProcessorCaptureTest, ReferenceLooksBackTwentyBuffers) {
  AudioProcessor processor(FakeCaptureBackend::mono16k());
  processor.processBuffer(constant(10, 0.001f));
  for (int i = 0; i < 20; ++i) processor.processBuffer(constant(10, 0.1f));
  // The quiet first buffer is now 21 buffers back: the reference is 0.1, so 0.1 gives 0.
  processor.processBuffer(constant(10, 0.1f));
  const auto rel = processor.relativeEnergy();
  EXPECT_NEAR(rel[20], 2.0f / 3.0f, 1e-5f);  // 0.1 against 0.001: 40 dB of 60
  EXPECT_EQ(rel[21], 0.0f);
}

TEST(AudioProcessorCaptureTest, SizeLineEveryTwoSecondsOfAudio) {
  testing::LogCapture log;
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  processor.startRecordingLive();
  for (int i = 0; i < 19; ++i) deliverAndWait(*backend, processor, constant(1600, 0.5f));
  processor.pauseRecording();
  EXPECT_EQ(countContaining(log.lines(), "Current audio size: "), 0u);
  processor.resumeRecordingLive();
  for (int i = 0; i < 21; ++i) deliverAndWait(*backend, processor, constant(1600, 0.5f));
  processor.stopRecording();
  const auto lines = log.lines();
  EXPECT_EQ(countContaining(lines, "Current audio size: "), 2u);
  EXPECT_EQ(countContaining(lines,
                            "Current audio size: 32000 samples, most recent buffer: 1600 samples, "
                            "most recent energy: (0.0, 0.5, 0.5, 0.5)"),
            1u);
  EXPECT_EQ(countContaining(lines, "Current audio size: 64000 samples"), 1u);
  // A product of 0 never logs (and never divides by zero).
  processor.setRelativeEnergyWindow(0);
  processor.processBuffer(constant(1600, 0.5f));
  EXPECT_EQ(countContaining(log.lines(), "Current audio size: "), 2u);
}

TEST(AudioProcessorCaptureTest, SizeLinePrintsSmallEnergiesInFixedNotation) {
  testing::LogCapture log;
  AudioProcessor processor(FakeCaptureBackend::mono16k());
  for (int i = 0; i < 19; ++i) processor.processBuffer(constant(1600, 0.0005f));
  processor.processBuffer(constant(1600, 0.00005f));
  EXPECT_EQ(countContaining(log.lines(),
                            "Current audio size: 32000 samples, most recent buffer: 1600 samples, "
                            "most recent energy: (0.0, 5e-05, 5e-05, 5e-05)"),
            1u);
  for (int i = 0; i < 20; ++i) processor.processBuffer(constant(1600, 0.0005f));
  EXPECT_EQ(countContaining(log.lines(),
                            "Current audio size: 64000 samples, most recent buffer: 1600 samples, "
                            "most recent energy: (0.23250245, 0.0005, 0.0005, 0.0005)"),
            1u);
}

TEST(AudioProcessorCaptureTest, PurgeKeepsTheNewestSamplesAndAllEnergies) {
  struct Case {
    std::size_t captured, keep, remaining;
  };
  for (const Case c :
       {Case{40000, 16000, 16000}, Case{10000, 16000, 10000}, Case{16000, 16000, 16000}, Case{500, 0, 0}}) {
    AudioProcessor processor(FakeCaptureBackend::mono16k());
    std::vector<float> samples(c.captured);
    std::iota(samples.begin(), samples.end(), 0.0f);
    processor.processBuffer(samples);
    processor.purgeAudioSamples(c.keep);
    const auto kept = processor.audioSamples();
    ASSERT_EQ(kept.size(), c.remaining);
    if (!kept.empty()) {
      EXPECT_EQ(kept.front(), float(c.captured - c.remaining));
    }
    EXPECT_EQ(processor.relativeEnergy().size(), 1u);
  }
}

TEST(AudioProcessorCaptureTest, SuppressedInputCountsAsSilence) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  std::vector<std::vector<float>> seen;
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>& b) { seen.push_back(b); });
  processor.setInputSuppressed(true);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(backend->deliver(constant(1600, 0.3f + 0.1f * float(i))));
  processor.pauseRecording();
  const auto samples = processor.audioSamples();
  ASSERT_EQ(samples.size(), 4800u);
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return s == 0.0f; }));
  EXPECT_EQ(processor.relativeEnergy(), (std::vector<float>{0, 0, 0}));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[2], constant(1600, 0.0f));
  processor.setInputSuppressed(false);
  processor.resumeRecordingLive();
  ASSERT_TRUE(backend->deliver(constant(1600, 0.3f)));
  processor.stopRecording();
  EXPECT_EQ(processor.audioSamples().back(), 0.3f);
}

TEST(AudioProcessorCaptureTest, PauseAndResumeOnTheSameDeviceKeepSamples) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  processor.startRecordingLive(1);
  EXPECT_EQ(processor.lastInputDevice(), std::optional<std::uint32_t>(1));
  ASSERT_TRUE(backend->deliver(constant(1600, 0.1f)));
  processor.pauseRecording();
  EXPECT_EQ(processor.audioSampleCount(), 1600u);
  EXPECT_TRUE(processor.hasAudioEngine());
  EXPECT_FALSE(backend->deliver(constant(1600, 0.9f)));  // paused: nothing is captured
  int calls = 0;
  processor.resumeRecordingLive(1, [&](const std::vector<float>&) { ++calls; });
  ASSERT_TRUE(backend->deliver(constant(1600, 0.2f)));
  processor.stopRecording();
  EXPECT_EQ(backend->openCount(), 1);  // the same engine was restarted
  const auto samples = processor.audioSamples();
  ASSERT_EQ(samples.size(), 3200u);
  EXPECT_EQ(samples.front(), 0.1f);
  EXPECT_EQ(samples.back(), 0.2f);
  EXPECT_EQ(calls, 1);
  // After a stop there is no engine: resuming on the same device starts nothing.
  EXPECT_FALSE(processor.hasAudioEngine());
  processor.resumeRecordingLive(1);
  EXPECT_FALSE(backend->deliver(constant(1600, 0.2f)));
  EXPECT_EQ(processor.audioSampleCount(), 3200u);
}

TEST(AudioProcessorCaptureTest, AnotherDeviceReplacesTheStreamAndIsRecorded) {
  auto backend = std::make_shared<FakeCaptureBackend>(
      std::vector<FakeCaptureBackend::Device>{{1, "Mic A", 1, 16000}, {2, "Mic B", 1, 16000}}, 1);
  AudioProcessor processor(backend);
  processor.startRecordingLive(1);
  ASSERT_TRUE(backend->deliver(constant(1600, 0.1f), 1));
  processor.pauseRecording();
  processor.resumeRecordingLive(2);
  EXPECT_EQ(processor.lastInputDevice(), std::optional<std::uint32_t>(2));
  EXPECT_EQ(backend->openStreams(), 1);
  EXPECT_EQ(backend->mostOpenAtOnce(), 1);
  ASSERT_TRUE(backend->deliver(constant(1600, 0.2f), 2));
  EXPECT_FALSE(backend->deliver(constant(1600, 0.9f), 1));
  processor.pauseRecording();
  EXPECT_EQ(processor.audioSampleCount(), 3200u);
  // Starting again while capturing closes the running stream before opening the next one.
  processor.resumeRecordingLive(2);
  processor.startRecordingLive(1);
  EXPECT_EQ(backend->mostOpenAtOnce(), 1);
  EXPECT_EQ(backend->runningStreams(), 1);
  EXPECT_EQ(processor.audioSampleCount(), 0u);
  processor.stopRecording();
  EXPECT_EQ(backend->openStreams(), 0);
}

TEST(AudioProcessorCaptureTest, FailedResumeKeepsTheCallback) {
  auto backend = std::make_shared<FakeCaptureBackend>(
      std::vector<FakeCaptureBackend::Device>{{1, "Mic A", 1, 16000}, {2, "Mic B", 1, 16000}}, 1);
  AudioProcessor processor(backend);
  int first = 0, second = 0;
  processor.startRecordingLive(1, [&](const std::vector<float>&) { ++first; });
  processor.pauseRecording();
  backend->setStartFails(true);
  for (const std::uint32_t device : {1u, 2u}) {  // restart of the paused engine, and a new engine
    SCOPED_TRACE(device);
    EXPECT_THROW(processor.resumeRecordingLive(device, [&](const std::vector<float>&) { ++second; }),
                 platform::audio::CaptureError);
    processor.audioBufferCallback()(constant(4, 0.0f));
  }
  EXPECT_EQ(first, 2);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(processor.lastInputDevice(), std::optional<std::uint32_t>(1));
  // A resume that succeeds installs the new callback.
  backend->setStartFails(false);
  processor.startRecordingLive(1);
  processor.pauseRecording();
  processor.resumeRecordingLive(1, [&](const std::vector<float>&) { ++second; });
  ASSERT_TRUE(backend->deliver(constant(1600, 0.1f)));
  processor.stopRecording();
  EXPECT_EQ(second, 1);
}

TEST(AudioProcessorCaptureTest, UnknownDeviceFallsBackToTheDefault) {
  testing::LogCapture log;
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  processor.startRecordingLive(42);
  EXPECT_EQ(backend->lastOpenedDevice(), std::optional<std::uint32_t>(1));
  EXPECT_EQ(countContaining(log.lines(), "Error setting Audio Unit property: -9996"), 1u);
  processor.startRecordingLive(1);
  EXPECT_EQ(countContaining(log.lines(), "Successfully set input device."), 1u);
}

TEST(AudioProcessorCaptureTest, StartFailures) {
  auto none = std::make_shared<FakeCaptureBackend>(std::vector<FakeCaptureBackend::Device>{});
  AudioProcessor noDevice(none);
  try {
    noDevice.startRecordingLive();
    ADD_FAILURE() << "started without a device";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.errorCase(), WhisperError::Case::microphoneUnavailable);
  }
  EXPECT_FALSE(noDevice.hasAudioEngine());
  auto busy = FakeCaptureBackend::mono16k();
  busy->setStartFails(true);
  AudioProcessor processor(busy);
  processor.processBuffer(constant(100, 0.5f));
  EXPECT_THROW(processor.startRecordingLive(), platform::audio::CaptureError);
  EXPECT_FALSE(processor.hasAudioEngine());
  EXPECT_EQ(processor.audioSampleCount(), 0u);
  EXPECT_EQ(busy->openStreams(), 0);
  processor.setMinBufferLength(0);
  EXPECT_THROW(processor.startRecordingLive(), WhisperError);
}

TEST(AudioProcessorCaptureTest, ResamplesChannelZeroOfOtherDevices) {
  auto backend = std::make_shared<FakeCaptureBackend>(std::vector<FakeCaptureBackend::Device>{{5, "USB", 2, 48000}}, 5);
  AudioProcessor processor(backend);
  processor.setMinBufferLength(4800);
  processor.startRecordingLive();
  for (int b = 0; b < 10; ++b) {
    std::vector<float> frames;
    for (int i = 0; i < 4800; ++i) {
      const double t = double(b * 4800 + i) / 48000.0;
      frames.push_back(float(0.5 * std::sin(2 * M_PI * 440 * t)));  // channel 0
      frames.push_back(0.9f);                                       // channel 1 is ignored
    }
    ASSERT_TRUE(backend->deliver(frames));
  }
  processor.stopRecording();
  const auto samples = processor.audioSamples();
  // One second at 48 kHz gives about 16,000 samples (the converter holds back a few).
  EXPECT_NEAR(double(samples.size()), 16000.0, 64.0);
  const std::span<const float> middle(samples.data() + 4000, 8000);
  EXPECT_NEAR(AudioProcessor::calculateAverageEnergy(middle), 0.5f / std::sqrt(2.0f), 0.01f);
}

TEST(AudioProcessorCaptureTest, EndingTheStreamStopsCaptureAndClearsTheCallback) {
  for (const bool dropHandle : {false, true}) {
    SCOPED_TRACE(dropHandle ? "handle dropped" : "cancelled");
    auto backend = FakeCaptureBackend::mono16k();
    AudioProcessor processor(backend);
    auto stream = processor.startStreamingRecordingLive();
    EXPECT_TRUE(processor.audioBufferCallback());
    ASSERT_TRUE(backend->deliver(constant(1600, 0.25f)));
    ASSERT_TRUE(backend->deliver(constant(1600, 0.5f)));
    EXPECT_EQ(stream->pop(), constant(1600, 0.25f));
    EXPECT_EQ(stream->pop(), constant(1600, 0.5f));
    if (dropHandle) {
      stream.reset();
    } else {
      stream->cancel();
    }
    EXPECT_FALSE(processor.hasAudioEngine());
    EXPECT_FALSE(processor.audioBufferCallback());
    EXPECT_EQ(backend->openStreams(), 0);
    EXPECT_EQ(processor.audioSampleCount(), 3200u);
  }
}

TEST(AudioProcessorCaptureTest, StreamOfAFailedStartEndsWithTheError) {
  AudioProcessor processor(std::make_shared<FakeCaptureBackend>(std::vector<FakeCaptureBackend::Device>{}));
  auto stream = processor.startStreamingRecordingLive(3);
  EXPECT_THROW(stream->pop(), WhisperError);
  EXPECT_FALSE(processor.hasAudioEngine());
}

TEST(AudioProcessorCaptureTest, ReplacedStreamNoLongerControlsCapture) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  auto first = processor.startStreamingRecordingLive();
  auto second = processor.startStreamingRecordingLive();
  first->cancel();
  EXPECT_TRUE(processor.hasAudioEngine());
  ASSERT_TRUE(backend->deliver(constant(1600, 0.5f)));
  EXPECT_EQ(second->pop(), constant(1600, 0.5f));
  second->cancel();
  EXPECT_FALSE(processor.hasAudioEngine());
}

TEST(AudioProcessorCaptureTest, CallbackMayStopTheRecording) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  std::atomic<int> calls{0};
  bool pauseRefused = false;
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) {
    ++calls;
    try {
      processor.pauseRecording();
    } catch (const std::logic_error&) {
      pauseRefused = true;
    }
    processor.stopRecording();
  });
  ASSERT_TRUE(backend->deliver(constant(3200, 0.5f)));
  processor.pauseRecording();  // drains: the first buffer asked to stop, the second is dropped
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(pauseRefused);
  EXPECT_FALSE(processor.hasAudioEngine());
  EXPECT_EQ(backend->runningStreams(), 0);
  processor.startRecordingLive();
  EXPECT_TRUE(processor.hasAudioEngine());
}

TEST(AudioProcessorCaptureTest, InputDevicesOnly) {
  auto backend = std::make_shared<FakeCaptureBackend>(std::vector<FakeCaptureBackend::Device>{
      {7, "Built-in Microphone", 1}, {3, "HDMI Output", 0}, {5, "USB Headset", 2}, {9, "Speakers", 0}});
  EXPECT_EQ(AudioProcessor::getAudioDevices(*backend),
            (std::vector<AudioDevice>{{7, "Built-in Microphone"}, {5, "USB Headset"}}));
  EXPECT_TRUE(AudioProcessor::requestRecordPermission(*backend));
  testing::LogCapture log;
  backend->setListingFails(true);
  EXPECT_TRUE(AudioProcessor::getAudioDevices(*backend).empty());
  EXPECT_EQ(countContaining(log.lines(), "Error: Unable to get the number of audio devices."), 1u);
  FakeCaptureBackend outputsOnly({{3, "HDMI Output", 0}});
  EXPECT_FALSE(AudioProcessor::requestRecordPermission(outputsOnly));
}

TEST(AudioProcessorCaptureTest, DevicesHashByBothFields) {
  const AudioDevice mic{7, "Built-in Microphone"};
  EXPECT_EQ(std::hash<AudioDevice>{}(mic), std::hash<AudioDevice>{}(AudioDevice{7, "Built-in Microphone"}));
  // The same id under another name is another device, as equality says.
  const std::unordered_set<AudioDevice> devices{
      mic, {7, "Built-in Microphone"}, {7, "Renamed"}, {5, "Built-in Microphone"}};
  EXPECT_EQ(devices.size(), 3u);
  EXPECT_TRUE(devices.contains(AudioDevice{7, "Renamed"}));
  EXPECT_FALSE(devices.contains(AudioDevice{5, "Renamed"}));
}

// Run under ThreadSanitizer as well: a consumer snapshots and purges while the capture side
// appends; every snapshot is whole buffers and nothing is lost from the energy records.
TEST(AudioProcessorCaptureTest, ConsumerReadsAndPurgesWhileCaptureAppends) {
  auto backend = FakeCaptureBackend::mono16k();
  AudioProcessor processor(backend);
  processor.setMinBufferLength(160);
  std::atomic<int> processed{0};
  processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) { ++processed; });
  constexpr int kBuffers = 400;
  std::atomic<bool> done{false};
  std::jthread consumer([&] {
    while (!done.load()) {
      const auto samples = processor.audioSamples();
      EXPECT_EQ(samples.size() % 160, 0u);
      const auto rel = processor.relativeEnergy();
      for (float r : rel) EXPECT_TRUE(r >= 0.0f && r <= 1.0f);
      processor.purgeAudioSamples(1600);
      EXPECT_LE(processor.audioSampleCount(), 1600u + 160u * kBuffers);
    }
  });
  for (int i = 0; i < kBuffers; ++i) {
    // Stay well within the ring buffer so that no frame is dropped.
    while (i - processed.load() > 50) std::this_thread::yield();
    EXPECT_TRUE(backend->deliver(constant(160, 0.01f * float(1 + i % 7))));
  }
  processor.stopRecording();
  done.store(true);
  consumer.join();
  EXPECT_EQ(processor.relativeEnergy().size(), std::size_t{kBuffers});
  processor.purgeAudioSamples(1600);
  EXPECT_EQ(processor.audioSampleCount(), 1600u);
}

}  // namespace
}  // namespace vostrane
