// The audio-input side of the platform: the stand-in for the platform's input devices and the
// input node of its audio engine.
//
// A CaptureBackend lists the input-capable devices and opens an input stream on one of them.
// An opened InputStream delivers interleaved 32-bit float frames to a FrameSink on the
// backend's delivery thread, which may be a real-time thread: the sink must not block, lock or
// allocate. The real backend is PortAudio (capture_port_audio_backend.hpp); tests use a fake
// backend that delivers scripted buffers. CaptureEngine (capture_engine.hpp) builds the
// processing side on top of a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::audio {

// A failure of the audio-input system: no device, a stream that cannot be opened or started.
// `code()` is the backend's own error number (0 when there is none).
class CaptureError : public std::runtime_error {
 public:
  explicit CaptureError(const std::string& message, int code = 0) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// The error code of a device id that names no input device (PortAudio's paInvalidDevice).
inline constexpr int kInvalidDeviceError = -9996;

// One input-capable device.
struct InputDevice {
  std::uint32_t id = 0;  // the backend's device id (for PortAudio: the device index)
  std::string name;
  std::uint32_t inputChannels = 0;

  friend bool operator==(const InputDevice&, const InputDevice&) = default;
};

// Receives captured frames. Called on the backend's delivery thread only, one call at a time.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // `interleaved` holds `frames` frames of the stream's channel count, interleaved. Must not
  // block, lock, allocate or throw.
  virtual void deliverFrames(const float* interleaved, std::size_t frames) noexcept = 0;
};

// An opened input stream. Not thread-safe: one controlling thread at a time.
class InputStream {
 public:
  // Closes the stream; no delivery happens after the destructor returns.
  virtual ~InputStream() = default;
  // The device's sample rate and the channel count of the delivered frames.
  virtual double sampleRate() const = 0;
  virtual std::uint32_t channelCount() const = 0;
  // Starts (or restarts after stop()) delivery. Throws CaptureError when the device refuses.
  virtual void start() = 0;
  // Stops delivery; no sink call is running or follows once it returns. The stream can be
  // started again. Never throws (a backend failure is logged).
  virtual void stop() noexcept = 0;
};

class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;
  // The devices with at least one input channel, in the system's order. Throws CaptureError
  // when the device list cannot be read. Thread-safe.
  virtual std::vector<InputDevice> inputDevices() = 0;
  // The default input device, or absent when the system has none. Thread-safe.
  virtual std::optional<std::uint32_t> defaultInputDevice() = 0;
  // Opens an input stream on `deviceId` (absent: the default input device) with all its input
  // channels at its default sample rate, asking for `framesPerBuffer` frames per delivery (a
  // backend may deliver other sizes). `sink` must outlive the stream. Throws CaptureError when
  // there is no such input device or the stream cannot be opened. Thread-safe.
  virtual std::unique_ptr<InputStream> openInput(std::optional<std::uint32_t> deviceId, std::uint32_t framesPerBuffer,
                                                 FrameSink& sink) = 0;
};

// The process's real backend (PortAudio), created on first use and kept for the process's
// lifetime. Creating it initialises PortAudio; throws CaptureError when that fails.
std::shared_ptr<CaptureBackend> defaultCaptureBackend();

}  // namespace platform::audio
