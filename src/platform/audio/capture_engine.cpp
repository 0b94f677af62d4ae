#include "platform/audio/capture_engine.hpp"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/log/log.hpp"
#include "platform/sys/checked_cast.hpp"

namespace platform::audio {

namespace {
const log::Logger& logger() {
  static const log::Logger instance("audio", "CaptureEngine");
  return instance;
}
}  // namespace

CaptureEngine::CaptureEngine(std::uint32_t bufferFrames, TapBlock tap)
    : bufferFrames_(bufferFrames), tap_(std::move(tap)) {}

std::unique_ptr<CaptureEngine> CaptureEngine::open(CaptureBackend& backend, std::optional<std::uint32_t> deviceId,
                                                   std::uint32_t bufferFrames, TapBlock tap) {
  if (bufferFrames == 0) throw std::invalid_argument("CaptureEngine: the tap buffer size must be at least 1 frame");
  if (!tap) throw std::invalid_argument("CaptureEngine: no tap");
  std::unique_ptr<CaptureEngine> engine(new CaptureEngine(bufferFrames, std::move(tap)));
  engine->stream_ = backend.openInput(deviceId, bufferFrames, *engine);
  if (!engine->stream_) throw CaptureError("The input stream could not be opened");
  const auto format = AudioFormat::standard(engine->stream_->sampleRate(), engine->stream_->channelCount());
  if (!format) {
    throw CaptureError("Unsupported input format: " + std::to_string(engine->stream_->sampleRate()) + " Hz, " +
                       std::to_string(engine->stream_->channelCount()) + " channels");
  }
  engine->format_ = *format;
  // Two seconds of audio (at least eight tap buffers) absorb a processing thread that falls behind.
  const std::size_t secondsOfFrames = sys::saturatingIntegerCast<std::size_t>(format->sampleRate * 2.0);
  const std::size_t frames = std::max<std::size_t>(secondsOfFrames, std::size_t{bufferFrames} * 8);
  engine->ring_ =
      std::make_unique<CaptureRingBuffer>(std::min<std::size_t>(frames, std::size_t{1} << 22) * format->channelCount);
  engine->block_ = PcmBuffer::create(*format, bufferFrames);
  if (!engine->block_) throw CaptureError("The capture buffer could not be made");
  return engine;
}

CaptureEngine::~CaptureEngine() {
  stop();
  std::lock_guard<std::mutex> guard(streamMutex_);
  stream_.reset();
}

void CaptureEngine::deliverFrames(const float* interleaved, std::size_t frames) noexcept {
  const std::size_t channels = format_.channelCount;
  if (channels == 0 || !ring_) return;
  const std::size_t written = ring_->write(interleaved, frames * channels, channels);
  if (written < frames * channels) dropped_.fetch_add(frames - written / channels, std::memory_order_relaxed);
}

bool CaptureEngine::isProcessingThread() const {
  return workerId_.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void CaptureEngine::start() {
  bool restart = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    restart = workerDone_;
  }
  if (restart) joinWorker();
  if (!worker_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      drainRequested_ = false;
      exitRequested_ = false;
      workerDone_ = false;
    }
    worker_ = std::thread([this] { run(); });
  }
  try {
    std::lock_guard<std::mutex> guard(streamMutex_);
    stream_->start();
  } catch (...) {
    stop();
    throw;
  }
}

void CaptureEngine::pause() {
  stopStream();
  drainAndWait(false);
}

void CaptureEngine::stop() {
  stopStream();
  drainAndWait(true);
  joinWorker();
}

void CaptureEngine::stopStream() {
  std::lock_guard<std::mutex> guard(streamMutex_);
  if (stream_) stream_->stop();
}

void CaptureEngine::drainAndWait(bool exitAfter) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!worker_.joinable() || workerDone_) return;
  const std::uint64_t target = drainsCompleted_ + 1;
  drainRequested_ = true;
  exitRequested_ = exitRequested_ || exitAfter;
  cv_.notify_all();
  cv_.wait(lock, [&] { return drainsCompleted_ >= target || workerDone_; });
}

void CaptureEngine::joinWorker() {
  if (!worker_.joinable()) return;
  assert(!isProcessingThread() && "a capture engine cannot be stopped and joined from its own tap");
  worker_.join();
}

bool CaptureEngine::callTap() {
  TapResult result = TapResult::proceed;
  try {
    result = tap_(*block_);
  } catch (const std::exception& e) {
    logger().error(std::string("Capture tap failed, buffer dropped: ") + e.what());
  } catch (...) {
    logger().error("Capture tap failed, buffer dropped");
  }
  block_->setFrameLength(0);
  return result == TapResult::stop;
}

void CaptureEngine::run() {
  workerId_.store(std::this_thread::get_id(), std::memory_order_release);
  const std::uint32_t channels = format_.channelCount;
  std::vector<float> scratch(std::size_t{bufferFrames_} * channels);
  std::uint64_t reportedDrops = 0;
  // Check about four times per tap buffer; the controlling thread's requests wake it at once.
  const auto blockDuration = std::chrono::duration<double>(double(bufferFrames_) / format_.sampleRate);
  const auto poll = std::clamp(std::chrono::duration_cast<std::chrono::microseconds>(blockDuration / 4),
                               std::chrono::microseconds(1000), std::chrono::microseconds(20000));

  // Moves whole frames from the ring into the tap buffer, calling the tap for each full buffer.
  // Returns true when the tap asks to stop.
  auto pump = [&]() -> bool {
    while (ring_->readable() >= channels) {
      const std::uint32_t have = block_->frameLength();
      const std::size_t n = std::min<std::size_t>(ring_->readable() / channels, bufferFrames_ - have);
      ring_->read(scratch.data(), n * channels);
      // Interleaved frames [f0c0 f0c1 ... f1c0 ...] into one plane per channel.
      for (std::uint32_t c = 0; c < channels; ++c) {
        float* plane = block_->floatChannelData(c) + have;
        for (std::size_t f = 0; f < n; ++f) plane[f] = scratch[f * channels + c];
      }
      block_->setFrameLength(have + static_cast<std::uint32_t>(n));
      if (block_->frameLength() == bufferFrames_ && callTap()) return true;
    }
    const std::uint64_t drops = droppedFrames();
    if (drops != reportedDrops) {
      logger().error("Capture fell behind; frames dropped so far: " + std::to_string(drops));
      reportedDrops = drops;
    }
    return false;
  };

  bool tapStopped = false;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    lock.unlock();
    tapStopped = pump();
    lock.lock();
    if (tapStopped) break;
    if (drainRequested_) {
      // The stream is stopped: whatever reached the ring before that is final.
      if (ring_->readable() >= channels) continue;
      if (block_->frameLength() > 0) {
        lock.unlock();
        tapStopped = callTap();
        lock.lock();
        if (tapStopped) break;
      }
      drainRequested_ = false;
      ++drainsCompleted_;
      cv_.notify_all();
      if (exitRequested_) break;
      continue;
    }
    const std::size_t wanted = std::size_t{bufferFrames_ - block_->frameLength()} * channels;
    cv_.wait_for(lock, poll, [&] { return drainRequested_ || ring_->readable() >= wanted; });
  }
  if (tapStopped) {
    lock.unlock();
    stopStream();
    // Frames captured after the tap asked to stop are dropped, so a restart begins afresh.
    while (ring_->readable() > 0) ring_->read(scratch.data(), std::min(ring_->readable(), scratch.size()));
    block_->setFrameLength(0);
    lock.lock();
  }
  workerDone_ = true;
  workerId_.store(std::thread::id{}, std::memory_order_release);
  cv_.notify_all();
}

}  // namespace platform::audio
