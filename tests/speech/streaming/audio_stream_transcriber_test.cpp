// The streaming transcriber on the fake capture backend and the demo speech models. A seeker
// wrapper scripts the number of segments a pass yields (or fails it) where a case needs that.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cmath>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "speech/audio/audio_encoder.hpp"
#include "speech/library_log_lines.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/audio_stream_transcriber.hpp"
#include "support/fake_capture_backend.hpp"
#include "core/logging.hpp"
#include "speech/demo_speech_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
using State = AudioStreamTranscriber::State;
constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;
constexpr int kRate = 16000;

using testlog::LogLines;

// The real seeker, or `count` scripted one-second segments per window, or a failure.
class ScriptedSeeker : public SegmentSeeker {
 public:
  std::atomic<int> count{-1};  // -1: the real segments
  std::atomic<bool> fail{false};
  std::pair<int, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
      const DecodingResult& result, const DecodingOptions& options, int allSegmentsCount, int currentSeek,
      int segmentSize, int sampleRate, int timeToken, int specialToken, const WhisperTokenizer& tokenizer) const override {
    if (fail) throw WhisperError::segmentingFailed("scripted seek failure");
    if (count < 0) {
      return SegmentSeeker::findSeekPointAndSegments(result, options, allSegmentsCount, currentSeek, segmentSize,
                                                     sampleRate, timeToken, specialToken, tokenizer);
    }
    std::vector<TranscriptionSegment> segments;
    for (int i = 0; i < count; ++i) {
      TranscriptionSegment s;
      s.id = i;
      s.start = static_cast<float>(i);
      s.end = static_cast<float>(i + 1);
      s.text = " part " + std::to_string(i);
      segments.push_back(s);
    }
    return {currentSeek + segmentSize, segments};
  }
};

class StreamingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { demo_ = new testdemo::DemoSpeechFolder("streaming"); }
  static void TearDownTestSuite() { delete demo_; }
  static fs::path models() { return demo_->models(); }

  std::shared_ptr<AudioStreamTranscriber> make(int required = 2, bool useVAD = false,
                                               AudioStreamTranscriber::StateChangeCallback callback = {},
                                               DecodingOptions options = {}, int window = 60,
                                               AudioStreamTranscriber::PermissionCheck permission = {}) {
    auto tokenizer = demo_->loadTokenizer();
    auto extractor = std::make_shared<FeatureExtractor>();
    extractor->loadModel(models() / "MelSpectrogram.mlmodelc", kCpu, false);
    auto encoder = std::make_shared<AudioEncoder>();
    encoder->loadModel(models() / "AudioEncoder.mlmodelc", kCpu, false);
    auto decoder = std::make_shared<TextDecoder>();
    decoder->loadModel(models() / "TextDecoder.mlmodelc", kCpu, false);
    decoder->setTokenizer(tokenizer);
    decoder->setIsModelMultilingual(true);
    auto backend = backend_;
    if (!permission) permission = [backend] { return AudioProcessor::requestRecordPermission(*backend); };
    return AudioStreamTranscriber::make(encoder, extractor, seeker_, decoder, tokenizer, processor_, options, required,
                                        0.3F, window, useVAD, std::move(callback), std::move(permission));
  }

  static std::vector<float> tone(double seconds) {
    std::vector<float> samples(static_cast<std::size_t>(std::lround(seconds * kRate)));
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 220 * static_cast<double>(i) / kRate));
    }
    return samples;
  }

  // Runs the loop on its own thread until `until` holds (or 20 s pass), then stops it.
  static void runUntil(AudioStreamTranscriber& t, const std::function<bool()>& until) {
    std::thread loop([&] { t.startStreamTranscription(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!until() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    t.stopStreamTranscription();
    loop.join();
  }

  static bool waitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static inline testdemo::DemoSpeechFolder* demo_ = nullptr;
  std::shared_ptr<testsupport::FakeCaptureBackend> backend_ = testsupport::FakeCaptureBackend::mono16k();
  std::shared_ptr<AudioProcessor> processor_ = std::make_shared<AudioProcessor>(backend_);
  std::shared_ptr<ScriptedSeeker> seeker_ = std::make_shared<ScriptedSeeker>();
};

TEST_F(StreamingTest, TranscribesOnlyAfterMoreThanOneSecondOfNewAudio) {
  auto t = make();
  processor_->processBuffer(tone(0.9));
  t->transcribeCurrentBuffer();
  EXPECT_EQ(t->state().currentText, "Waiting for speech...");
  EXPECT_EQ(t->state().lastBufferSize, 0);

  processor_->processBuffer(tone(0.1));  // exactly 1.0 s
  t->transcribeCurrentBuffer();
  EXPECT_EQ(t->state().lastBufferSize, 0);
  EXPECT_TRUE(t->state().unconfirmedSegments.empty());

  processor_->processBuffer(tone(0.01));  // 1.01 s
  t->transcribeCurrentBuffer();
  EXPECT_EQ(t->state().lastBufferSize, 16160);
  EXPECT_FALSE(t->state().unconfirmedSegments.empty());
  EXPECT_EQ(t->state().currentText, "");

  // The count restarts from the last pass: 0.5 s more is too little again.
  processor_->processBuffer(tone(0.5));
  t->transcribeCurrentBuffer();
  EXPECT_EQ(t->state().lastBufferSize, 16160);
}

TEST_F(StreamingTest, SilenceWithVoiceDetectionSkipsThePass) {
  auto t = make(2, true);
  LogLines logs;
  processor_->processBuffer(std::vector<float>(2 * kRate, 0.0F));
  t->transcribeCurrentBuffer();
  EXPECT_TRUE(logs.contains("No voice detected, skipping transcribe"));
  EXPECT_EQ(t->state().lastBufferSize, 0);
  EXPECT_EQ(t->state().currentText, "Waiting for speech...");
}

TEST_F(StreamingTest, ConfirmsAllButTheLastRequiredSegmentsOnce) {
  auto t = make(2);
  seeker_->count = 2;
  processor_->processBuffer(tone(2));
  t->transcribeCurrentBuffer();
  EXPECT_TRUE(t->state().confirmedSegments.empty());
  EXPECT_EQ(t->state().unconfirmedSegments.size(), 2U);

  seeker_->count = 5;
  processor_->processBuffer(tone(2));
  t->transcribeCurrentBuffer();
  State s = t->state();
  ASSERT_EQ(s.confirmedSegments.size(), 3U);
  EXPECT_EQ(s.confirmedSegments[2].end, 3.0F);
  EXPECT_EQ(s.unconfirmedSegments.size(), 2U);
  EXPECT_EQ(s.unconfirmedSegments[0].start, 3.0F);
  EXPECT_EQ(s.lastConfirmedSegmentEndSeconds, 3.0F);

  // The same run again: its end is not past the confirmed end, nothing is appended.
  processor_->processBuffer(tone(2));
  t->transcribeCurrentBuffer();
  EXPECT_EQ(t->state().confirmedSegments.size(), 3U);
}

TEST_F(StreamingTest, RestartCountsTheNewRecordingAndAppendsARepeatedRunOnce) {
  std::atomic<bool> second{false};
  std::atomic<int> secondPasses{0};
  std::atomic<bool> confirmedEndReset{false};
  auto t = make(2, false, [&](const State& oldState, const State& newState) {
    if (!second) return;
    if (newState.lastBufferSize != oldState.lastBufferSize && newState.lastBufferSize > 0) ++secondPasses;
    if (oldState.lastConfirmedSegmentEndSeconds > 0 && newState.lastConfirmedSegmentEndSeconds == 0) {
      confirmedEndReset = true;
    }
  });
  seeker_->count = 5;
  runUntil(*t, [&] {
    if (processor_->audioSampleCount() < 40000) backend_->deliver(tone(0.1));
    return !t->state().confirmedSegments.empty();
  });
  ASSERT_EQ(t->state().confirmedSegments.size(), 3U);

  // Capture starts empty again: 1.5 s of the new recording is transcribed although the old one
  // was longer, from time 0, and the repeated confirmed run is not appended twice.
  second = true;
  runUntil(*t, [&] {
    if (processor_->audioSampleCount() < 24000) backend_->deliver(tone(0.1));
    return secondPasses > 0 && t->state().lastConfirmedSegmentEndSeconds == 3.0F;
  });
  EXPECT_TRUE(confirmedEndReset.load());
  EXPECT_GT(secondPasses.load(), 0);
  EXPECT_EQ(t->state().confirmedSegments.size(), 3U);
}

TEST_F(StreamingTest, ShorterProgressTextMovesToUnconfirmedTextUnlessTheFallbacksChanged) {
  auto t = make();
  LogLines logs;
  TranscriptionProgress p;
  p.text = " The quick brown";
  t->onProgressCallback(p);
  p.text = " The quick";
  t->onProgressCallback(p);
  EXPECT_EQ(t->state().unconfirmedText, std::vector<std::string>{" The quick brown"});
  EXPECT_EQ(t->state().currentText, " The quick");

  p.text = " The";
  p.timings.totalDecodingFallbacks = 1;
  t->onProgressCallback(p);
  EXPECT_EQ(t->state().unconfirmedText.size(), 1U);
  EXPECT_TRUE(logs.contains("Fallback occured: 1"));
  EXPECT_EQ(t->state().currentFallbacks, 1);
}

TEST_F(StreamingTest, CompressionWindowStopsOnlyPastItsLengthAndOnlyWithAThreshold) {
  TranscriptionProgress p;
  p.tokens.assign(60, 50300);
  auto t = make();
  EXPECT_EQ(t->progressCheck(p), std::nullopt);
  p.tokens.push_back(50300);  // 61 tokens, the last 60 highly repetitive
  EXPECT_EQ(t->progressCheck(p), std::optional<bool>(false));

  // Without a threshold the ratio is not compared (no cut-short window).
  DecodingOptions noThreshold;
  noThreshold.compressionRatioThreshold = std::nullopt;
  auto u = make(2, false, {}, noThreshold);
  EXPECT_EQ(u->progressCheck(p), std::nullopt);
  p.avgLogprob = -2.0F;
  EXPECT_EQ(u->progressCheck(p), std::optional<bool>(false));
}

TEST_F(StreamingTest, RefusesSettingsOutOfRange) {
  EXPECT_THROW(make(-1), WhisperError);
  EXPECT_THROW(make(2, false, {}, {}, 0), WhisperError);
  auto t = make(0);  // zero is allowed: every segment confirmed
  EXPECT_NE(t, nullptr);
}

TEST_F(StreamingTest, SecondStartWhileRecordingReturnsAtOnce) {
  auto t = make();
  std::thread loop([&] { t->startStreamTranscription(); });
  ASSERT_TRUE(waitFor([&] { return t->state().isRecording && backend_->runningStreams() == 1; }));
  t->startStreamTranscription();  // returns at once
  EXPECT_EQ(backend_->openCount(), 1);
  t->stopStreamTranscription();
  loop.join();
  EXPECT_FALSE(t->state().isRecording);
}

// Two starts at once, released together from the permission check: one records and the other
// returns at once, so capture starts once. Repeated, with readers of the state keeping its lock
// busy (a long text makes each copy slow), so that the two starts interleave at its releases.
TEST_F(StreamingTest, TwoStartsAtOnceStartCaptureOnce) {
  constexpr int kRounds = 40;
  std::atomic<int> waiting{0};
  std::atomic<bool> go{false};
  auto t = make(2, false, {}, {}, 60, [&] {
    ++waiting;
    while (!go) std::this_thread::yield();
    return true;
  });
  TranscriptionProgress longText;
  longText.text.assign(64 * 1024, 'a');
  t->onProgressCallback(longText);
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    waiting = 0;
    go = false;
    std::atomic<int> returned{0};
    // A second capture start shows up as one more opened stream.
    const auto raced = [&] { return returned > 0 || backend_->openCount() > round + 1; };
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
      threads.emplace_back([&] {
        t->startStreamTranscription();
        ++returned;
      });
    }
    while (waiting < 2) std::this_thread::yield();
    std::atomic<int> reading{0};
    for (int i = 0; i < 2; ++i) {
      threads.emplace_back([&] {
        ++reading;
        while (!raced()) (void)t->state();
      });
    }
    while (reading < 2) std::this_thread::yield();
    go = true;
    EXPECT_TRUE(waitFor(raced));
    EXPECT_EQ(returned.load(), 1) << "one start returns while the other records";
    t->stopStreamTranscription();
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(backend_->openCount(), round + 1);
  }
}

TEST_F(StreamingTest, RefusedPermissionLeavesTheObjectIdle) {
  backend_ = std::make_shared<testsupport::FakeCaptureBackend>(
      std::vector<testsupport::FakeCaptureBackend::Device>{{2, "Speakers", 0, 48000}});
  processor_ = std::make_shared<AudioProcessor>(backend_);
  auto t = make();
  LogLines logs;
  EXPECT_NO_THROW(t->startStreamTranscription());
  EXPECT_TRUE(logs.contains("Microphone access was not granted."));
  EXPECT_FALSE(t->state().isRecording);
  EXPECT_EQ(backend_->openCount(), 0);
}

TEST_F(StreamingTest, FailedCaptureStartIsThrownAndAllowsALaterStart) {
  auto t = make();
  backend_->setStartFails(true);
  EXPECT_ANY_THROW(t->startStreamTranscription());
  EXPECT_FALSE(t->state().isRecording);
  backend_->setStartFails(false);
  runUntil(*t, [&] { return backend_->runningStreams() == 1; });
  EXPECT_GE(backend_->openCount(), 2);
}

TEST_F(StreamingTest, FailingPassIsLoggedAndEndsTheLoop) {
  auto t = make();
  seeker_->fail = true;
  LogLines logs;
  std::thread loop([&] { t->startStreamTranscription(); });
  ASSERT_TRUE(waitFor([&] { return backend_->runningStreams() == 1; }));
  backend_->deliver(tone(1.5));
  loop.join();  // ends without stop
  EXPECT_TRUE(logs.contains("Error: scripted seek failure"));
  EXPECT_TRUE(t->state().isRecording);
  t->stopStreamTranscription();
}

TEST_F(StreamingTest, StopEndsTheLoopAndAStoppedTokenFailsThePass) {
  auto t = make();
  std::thread loop([&] { t->startStreamTranscription(); });
  ASSERT_TRUE(waitFor([&] { return t->state().currentText == "Waiting for speech..."; }));
  const auto before = std::chrono::steady_clock::now();
  t->stopStreamTranscription();
  loop.join();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
  EXPECT_EQ(backend_->runningStreams(), 0);

  std::stop_source source;
  source.request_stop();
  EXPECT_THROW(t->transcribeCurrentBuffer(source.get_token()), platform::sync::CancellationError);
}

// A stop asked by the state callback on the capture thread: the loop must not return while
// that callback (or one queued behind it) is still running.
TEST_F(StreamingTest, StopFromTheCaptureThreadReturnsOnlyOnceItsCallbackHasEnded) {
  std::atomic<std::thread::id> loopThread{};
  std::atomic<bool> stopAsked{false};
  std::atomic<int> inFlight{0};
  std::atomic<int> calls{0};
  std::shared_ptr<AudioStreamTranscriber> t;
  t = make(2, false, [&](const State& oldState, const State& newState) {
    ++inFlight;
    ++calls;
    if (std::this_thread::get_id() != loopThread.load() && oldState.bufferEnergy != newState.bufferEnergy &&
        !stopAsked.exchange(true)) {
      t->stopStreamTranscription();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    --inFlight;
  });
  std::thread loop([&] {
    loopThread = std::this_thread::get_id();
    t->startStreamTranscription();
  });
  ASSERT_TRUE(waitFor([&] { return backend_->runningStreams() == 1; }));
  ASSERT_TRUE(backend_->deliver(tone(0.1)));
  loop.join();
  EXPECT_TRUE(stopAsked.load());
  EXPECT_EQ(inFlight.load(), 0);
  EXPECT_EQ(backend_->runningStreams(), 0);
  const int callsAtReturn = calls.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(calls.load(), callsAtReturn);
}

// Which fields one write changed.
std::string changedField(const State& a, const State& b) {
  std::string out;
  const auto add = [&](bool differs, const char* name) {
    if (differs) out += out.empty() ? name : std::string(",") + name;
  };
  add(a.isRecording != b.isRecording, "isRecording");
  add(a.currentFallbacks != b.currentFallbacks, "currentFallbacks");
  add(a.lastBufferSize != b.lastBufferSize, "lastBufferSize");
  add(a.lastConfirmedSegmentEndSeconds != b.lastConfirmedSegmentEndSeconds, "lastConfirmedSegmentEndSeconds");
  add(a.bufferEnergy != b.bufferEnergy, "bufferEnergy");
  add(a.currentText != b.currentText, "currentText");
  add(a.confirmedSegments != b.confirmedSegments, "confirmedSegments");
  add(a.unconfirmedSegments != b.unconfirmedSegments, "unconfirmedSegments");
  add(a.unconfirmedText != b.unconfirmedText, "unconfirmedText");
  return out.empty() ? "none" : out;
}

TEST_F(StreamingTest, OnePassReportsEveryWriteInOrder) {
  std::vector<std::string> changes;
  State last;
  bool chained = true;
  auto t = make(2, false, [&](const State& oldState, const State& newState) {
    chained = chained && changedField(last, oldState) == "none";
    last = newState;
    changes.push_back(changedField(oldState, newState));
  });
  seeker_->count = 5;
  processor_->processBuffer(tone(1.5));
  t->transcribeCurrentBuffer();
  EXPECT_TRUE(chained);  // each call's old state is the previous call's new state
  ASSERT_GE(changes.size(), 6U);
  EXPECT_EQ(changes.front(), "lastBufferSize");
  for (std::size_t i = 1; i + 5 < changes.size(); ++i) {
    EXPECT_TRUE(changes[i] == "currentText" || changes[i] == "currentFallbacks" || changes[i] == "none" ||
                changes[i] == "unconfirmedText") << changes[i];
  }
  const std::vector<std::string> tail(changes.end() - 5, changes.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"currentText", "none", "lastConfirmedSegmentEndSeconds", "confirmedSegments",
                                            "unconfirmedSegments"}));
}

// Capture buffers, progress reports and a state callback that stops, all while a pass runs.
TEST_F(StreamingTest, ConcurrentCaptureProgressAndStopDuringAPass) {
  std::shared_ptr<AudioStreamTranscriber> t;
  std::atomic<bool> stopAsked{false};
  std::atomic<int> calls{0};
  t = make(2, false, [&](const State&, const State& newState) {
    ++calls;
    if (!newState.unconfirmedSegments.empty() && !stopAsked.exchange(true)) t->stopStreamTranscription();
  });
  std::atomic<bool> done{false};
  std::thread loop([&] {
    t->startStreamTranscription();
    done = true;
  });
  ASSERT_TRUE(waitFor([&] { return backend_->runningStreams() == 1; }));
  std::thread feeder([&] {
    while (!done) {
      backend_->deliver(tone(0.1));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::thread reporter([&] {
    TranscriptionProgress p;
    for (int i = 0; !done; ++i) {
      p.text = std::string(static_cast<std::size_t>(i % 7), 'a');
      (void)t->progressCheck(p);
    }
  });
  loop.join();
  feeder.join();
  reporter.join();
  EXPECT_TRUE(stopAsked.load());
  EXPECT_FALSE(t->state().isRecording);
  EXPECT_FALSE(t->state().bufferEnergy.empty());
  EXPECT_GT(calls.load(), 3);
}

}  // namespace
}  // namespace vostrane
