// The capture ring buffer and engine over the fake backend: frames cut into tap-sized planar
// buffers, draining on pause and stop, a tap that stops the engine.
#include <gtest/gtest.h>

#include <mutex>
#include <numeric>
#include <vector>

#include "platform/audio/capture_engine.hpp"
#include "platform/audio/capture_ring_buffer.hpp"
#include "support/fake_capture_backend.hpp"

namespace platform::audio {
namespace {

using testsupport::FakeCaptureBackend;

TEST(CaptureRingBufferTest, WrapsAroundAndTakesWholeUnitsOnly) {
  CaptureRingBuffer ring(6);
  EXPECT_EQ(ring.capacity(), 8u);
  std::vector<float> in(10);
  std::iota(in.begin(), in.end(), 0.0f);
  EXPECT_EQ(ring.write(in.data(), 5), 5u);
  std::vector<float> out(10, -1.0f);
  EXPECT_EQ(ring.read(out.data(), 3), 3u);
  EXPECT_EQ(out[2], 2.0f);
  // 6 free samples, written in units of 4: only one unit fits.
  EXPECT_EQ(ring.write(in.data() + 5, 5, 4), 4u);
  EXPECT_EQ(ring.readable(), 6u);
  EXPECT_EQ(ring.read(out.data(), 10), 6u);
  EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 6), (std::vector<float>{3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(ring.read(out.data(), 1), 0u);
}

class Recorder {
 public:
  CaptureEngine::TapResult operator()(PcmBuffer& buffer) {
    std::lock_guard<std::mutex> guard(mutex_);
    lengths_.push_back(buffer.frameLength());
    for (std::uint32_t c = 0; c < buffer.format().channelCount; ++c) {
      if (planes_.size() <= c) planes_.resize(c + 1);
      auto ch = buffer.channel(c);
      planes_[c].insert(planes_[c].end(), ch.begin(), ch.end());
    }
    return CaptureEngine::TapResult::proceed;
  }
  std::vector<std::uint32_t> lengths() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lengths_;
  }
  std::vector<float> plane(std::size_t c) {
    std::lock_guard<std::mutex> guard(mutex_);
    return c < planes_.size() ? planes_[c] : std::vector<float>{};
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint32_t> lengths_;
  std::vector<std::vector<float>> planes_;
};

// Interleaved stereo frames numbered from `first`: channel 0 = n, channel 1 = -n.
std::vector<float> stereoFrames(int first, int count) {
  std::vector<float> v;
  for (int n = first; n < first + count; ++n) {
    v.push_back(float(n));
    v.push_back(-float(n));
  }
  return v;
}

TEST(CaptureEngineTest, CutsFramesIntoTapBuffersAndDrainsTheRestOnPause) {
  auto backend = std::make_shared<FakeCaptureBackend>(
      std::vector<FakeCaptureBackend::Device>{{0, "Speakers", 0, 48000}, {3, "Line In", 2, 44100}}, 3);
  auto recorder = std::make_shared<Recorder>();
  auto engine = CaptureEngine::open(*backend, std::nullopt, 100, [recorder](PcmBuffer& b) { return (*recorder)(b); });
  EXPECT_EQ(engine->format().sampleRate, 44100);
  EXPECT_EQ(engine->format().channelCount, 2u);
  EXPECT_EQ(backend->lastFramesPerBuffer(), 100u);
  EXPECT_FALSE(backend->deliver(stereoFrames(0, 10)));  // not started yet
  engine->start();
  // Uneven deliveries still give whole tap buffers: 70 + 90 + 120 = 280 frames.
  ASSERT_TRUE(backend->deliver(stereoFrames(0, 70)));
  ASSERT_TRUE(backend->deliver(stereoFrames(70, 90)));
  ASSERT_TRUE(backend->deliver(stereoFrames(160, 120)));
  engine->pause();
  EXPECT_EQ(recorder->lengths(), (std::vector<std::uint32_t>{100, 100, 80}));
  EXPECT_EQ(backend->runningStreams(), 0);
  EXPECT_FALSE(backend->deliver(stereoFrames(280, 10)));
  engine->start();
  ASSERT_TRUE(backend->deliver(stereoFrames(280, 20)));
  engine->stop();
  const auto left = recorder->plane(0), right = recorder->plane(1);
  ASSERT_EQ(left.size(), 300u);
  for (int n = 0; n < 300; ++n) {
    ASSERT_EQ(left[std::size_t(n)], float(n));
    ASSERT_EQ(right[std::size_t(n)], -float(n));
  }
  EXPECT_EQ(engine->droppedFrames(), 0u);
}

TEST(CaptureEngineTest, TapCanStopTheEngineFromItsOwnThread) {
  auto backend = FakeCaptureBackend::mono16k();
  int calls = 0;
  bool onProcessingThread = false;
  CaptureEngine* self = nullptr;
  auto engine = CaptureEngine::open(*backend, 1, 10, [&](PcmBuffer&) {
    ++calls;
    onProcessingThread = self->isProcessingThread();
    return CaptureEngine::TapResult::stop;
  });
  self = engine.get();
  engine->start();
  ASSERT_TRUE(backend->deliver(std::vector<float>(30, 0.5f)));
  engine->stop();  // returns even though the processing thread ended on its own
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onProcessingThread);
  EXPECT_FALSE(engine->isProcessingThread());
  EXPECT_EQ(backend->runningStreams(), 0);
  // A restart begins afresh: frames left over from before are not handed on.
  engine->start();
  ASSERT_TRUE(backend->deliver(std::vector<float>(10, 0.25f)));
  engine->stop();
  EXPECT_EQ(calls, 2);
}

TEST(CaptureEngineTest, OpeningErrors) {
  auto backend = FakeCaptureBackend::mono16k();
  auto tap = [](PcmBuffer&) { return CaptureEngine::TapResult::proceed; };
  EXPECT_THROW(CaptureEngine::open(*backend, 7, 100, tap), CaptureError);
  EXPECT_THROW(CaptureEngine::open(*backend, 1, 0, tap), std::invalid_argument);
  auto engine = CaptureEngine::open(*backend, 1, 100, tap);
  backend->setStartFails(true);
  EXPECT_THROW(engine->start(), CaptureError);
  EXPECT_EQ(backend->openStreams(), 1);
  engine.reset();
  EXPECT_EQ(backend->openStreams(), 0);
}

}  // namespace
}  // namespace platform::audio
