// The real audio-input backend over PortAudio: lists input-capable devices (device indices
// as ids) and opens float32 input streams whose callback runs on PortAudio's real-time thread.
//
// Obtain it through defaultCaptureBackend() (capture_backend.hpp); tests use a fake backend
// instead. All PortAudio calls of the process go through one lock, since PortAudio's control
// functions are not thread-safe; the stream callback never takes it.
#pragma once

#include <memory>

#include "platform/audio/capture_backend.hpp"

namespace platform::audio {

class PortAudioCaptureBackend : public CaptureBackend {
 public:
  // Initialises PortAudio (its output on standard error from ALSA is silenced). Throws
  // CaptureError when PortAudio cannot be initialised.
  PortAudioCaptureBackend();
  // Terminates PortAudio. Every stream opened through it must be closed first.
  ~PortAudioCaptureBackend() override;
  PortAudioCaptureBackend(const PortAudioCaptureBackend&) = delete;
  PortAudioCaptureBackend& operator=(const PortAudioCaptureBackend&) = delete;

  std::vector<InputDevice> inputDevices() override;
  std::optional<std::uint32_t> defaultInputDevice() override;
  // Opens the device with min(its input channels, 2) channels at its default sample rate.
  std::unique_ptr<InputStream> openInput(std::optional<std::uint32_t> deviceId, std::uint32_t framesPerBuffer,
                                         FrameSink& sink) override;

  // Most channels a stream opens; channel 0 is what speech capture uses.
  static constexpr int kMaxStreamChannels = 2;
};

}  // namespace platform::audio
