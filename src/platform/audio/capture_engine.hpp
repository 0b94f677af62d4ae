// CaptureEngine: the stand-in for the platform's audio engine with a tap on its input node.
//
// It opens one input stream of a CaptureBackend and splits the work in two: the backend's
// delivery thread (real-time for PortAudio) only copies frames into a lock-free ring buffer;
// the engine's own processing thread takes them out, cuts them into buffers of the requested
// tap size at the device's rate and channel count, and calls the tap with each. Pausing or
// stopping hands every frame captured up to that point to the tap before it returns (the last
// buffer may be shorter than the tap size), so a caller sees all captured audio once pause() or
// stop() returns.
//
// Used by the speech library's AudioProcessor for live capture.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/audio/capture_backend.hpp"
#include "platform/audio/capture_ring_buffer.hpp"
#include "platform/audio/pcm_buffer.hpp"

namespace platform::audio {

class CaptureEngine : private FrameSink {
 public:
  // What a tap asks for after one buffer: keep going, or stop the engine (as stop() would,
  // without waiting for itself; later frames are dropped).
  enum class TapResult { proceed, stop };
  // Runs on the processing thread, one buffer at a time. The buffer (device rate and channel
  // count, non-interleaved) is the engine's and is reused after the call; the tap may change
  // its samples. Exceptions escaping the tap are logged and the buffer is dropped.
  using TapBlock = std::function<TapResult(PcmBuffer& buffer)>;

  // Opens an input stream on `deviceId` (absent: the default input device) delivering
  // `bufferFrames` (>= 1) frames per tap call. Nothing is captured before start(). Throws
  // CaptureError when the stream cannot be opened, std::invalid_argument for bufferFrames 0 or
  // an empty tap.
  static std::unique_ptr<CaptureEngine> open(CaptureBackend& backend, std::optional<std::uint32_t> deviceId,
                                             std::uint32_t bufferFrames, TapBlock tap);

  // Stops (as stop()) and closes the stream. Must not run on the processing thread.
  ~CaptureEngine() override;
  CaptureEngine(const CaptureEngine&) = delete;
  CaptureEngine& operator=(const CaptureEngine&) = delete;

  // The device's format: its sample rate and channel count, 32-bit float, non-interleaved.
  const AudioFormat& format() const { return format_; }
  std::uint32_t bufferFrames() const { return bufferFrames_; }

  // Starts capture (again after pause() or stop()). Throws CaptureError when the stream does
  // not start; the engine is then stopped.
  void start();
  // Stops the stream and hands every captured frame to the tap; the processing thread stays
  // for a later start(). No tap call runs once it returns.
  void pause();
  // As pause(), then ends the processing thread.
  void stop();

  // Whether the calling thread is this engine's processing thread (a tap call is on it).
  bool isProcessingThread() const;
  // Frames lost because the processing thread fell behind and the ring buffer was full.
  std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

  // Controlling thread: start, pause and stop are called from one thread at a time (never from
  // the tap); isProcessingThread and droppedFrames are thread-safe.

 private:
  CaptureEngine(std::uint32_t bufferFrames, TapBlock tap);
  void deliverFrames(const float* interleaved, std::size_t frames) noexcept override;
  void run();
  bool callTap();
  void stopStream();
  void drainAndWait(bool exitAfter);
  void joinWorker();

  const std::uint32_t bufferFrames_;
  TapBlock tap_;
  AudioFormat format_;
  std::unique_ptr<InputStream> stream_;  // started/stopped under streamMutex_
  std::unique_ptr<CaptureRingBuffer> ring_;
  std::unique_ptr<PcmBuffer> block_;  // processing thread only
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::thread::id> workerId_{};

  std::mutex streamMutex_;
  std::mutex mutex_;
  std::condition_variable cv_;
  // guarded by mutex_:
  bool drainRequested_ = false;
  bool exitRequested_ = false;
  bool workerDone_ = false;
  std::uint64_t drainsCompleted_ = 0;
  std::thread worker_;  // joined by the controlling thread
};

}  // namespace platform::audio
