#include "platform/audio/capture_port_audio_backend.hpp"

#include <alsa/asoundlib.h>
#include <portaudio.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/log/log.hpp"

namespace platform::audio {

namespace {

const log::Logger& logger() {
  static const log::Logger instance("audio", "PortAudio");
  return instance;
}

std::mutex& portAudioMutex() {
  static std::mutex instance;
  return instance;
}

void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

std::string errorText(PaError error) {
  const char* text = Pa_GetErrorText(error);
  return text != nullptr ? text : "PortAudio error " + std::to_string(error);
}

struct StreamCloser {
  void operator()(PaStream* stream) const {
    std::lock_guard<std::mutex> guard(portAudioMutex());
    const PaError error = Pa_CloseStream(stream);
    if (error != paNoError) logger().error("Closing the input stream failed: " + errorText(error));
  }
};
using StreamHandle = std::unique_ptr<PaStream, StreamCloser>;

int streamCallback(const void* input, void* /*output*/, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* userData) {
  if (input != nullptr) static_cast<FrameSink*>(userData)->deliverFrames(static_cast<const float*>(input), frames);
  return paContinue;
}

class PortAudioInputStream : public InputStream {
 public:
  PortAudioInputStream(StreamHandle stream, double sampleRate, std::uint32_t channels)
      : stream_(std::move(stream)), sampleRate_(sampleRate), channels_(channels) {}
  ~PortAudioInputStream() override { stop(); }

  double sampleRate() const override { return sampleRate_; }
  std::uint32_t channelCount() const override { return channels_; }

  void start() override {
    std::lock_guard<std::mutex> guard(portAudioMutex());
    if (Pa_IsStreamStopped(stream_.get()) == 0) return;  // already running
    const PaError error = Pa_StartStream(stream_.get());
    if (error != paNoError) throw CaptureError("The input stream did not start: " + errorText(error), error);
  }

  void stop() noexcept override {
    std::lock_guard<std::mutex> guard(portAudioMutex());
    if (Pa_IsStreamStopped(stream_.get()) == 1) return;
    // Pa_StopStream returns once the callback has finished; no delivery follows it.
    const PaError error = Pa_StopStream(stream_.get());
    if (error != paNoError) logger().error("Stopping the input stream failed: " + errorText(error));
  }

 private:
  StreamHandle stream_;
  double sampleRate_;
  std::uint32_t channels_;
};

}  // namespace

PortAudioCaptureBackend::PortAudioCaptureBackend() {
  std::lock_guard<std::mutex> guard(portAudioMutex());
  snd_lib_error_set_handler(&quietAlsaErrors);
  const PaError error = Pa_Initialize();
  if (error != paNoError) throw CaptureError("PortAudio could not be initialised: " + errorText(error), error);
}

PortAudioCaptureBackend::~PortAudioCaptureBackend() {
  std::lock_guard<std::mutex> guard(portAudioMutex());
  Pa_Terminate();
}

std::vector<InputDevice> PortAudioCaptureBackend::inputDevices() {
  std::lock_guard<std::mutex> guard(portAudioMutex());
  const PaDeviceIndex count = Pa_GetDeviceCount();
  if (count < 0) throw CaptureError("The audio devices could not be counted: " + errorText(count), count);
  std::vector<InputDevice> devices;
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr || info->maxInputChannels < 1) continue;
    devices.push_back(InputDevice{static_cast<std::uint32_t>(i), info->name != nullptr ? info->name : "",
                                  static_cast<std::uint32_t>(info->maxInputChannels)});
  }
  return devices;
}

std::optional<std::uint32_t> PortAudioCaptureBackend::defaultInputDevice() {
  std::lock_guard<std::mutex> guard(portAudioMutex());
  const PaDeviceIndex device = Pa_GetDefaultInputDevice();
  if (device == paNoDevice || device < 0) return std::nullopt;
  return static_cast<std::uint32_t>(device);
}

std::unique_ptr<InputStream> PortAudioCaptureBackend::openInput(std::optional<std::uint32_t> deviceId,
                                                                std::uint32_t framesPerBuffer, FrameSink& sink) {
  std::unique_lock<std::mutex> lock(portAudioMutex());
  PaDeviceIndex device = paNoDevice;
  if (deviceId) {
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0 || *deviceId >= static_cast<std::uint32_t>(count)) {
      throw CaptureError("No audio device with id " + std::to_string(*deviceId), kInvalidDeviceError);
    }
    device = static_cast<PaDeviceIndex>(*deviceId);
  } else {
    device = Pa_GetDefaultInputDevice();
    if (device == paNoDevice) throw CaptureError("There is no default input device", paNoDevice);
  }
  const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
  if (info == nullptr || info->maxInputChannels < 1) {
    throw CaptureError("Audio device " + std::to_string(device) + " has no input channels", paInvalidDevice);
  }
  PaStreamParameters parameters{};
  parameters.device = device;
  parameters.channelCount = std::min(info->maxInputChannels, kMaxStreamChannels);
  parameters.sampleFormat = paFloat32;
  parameters.suggestedLatency = info->defaultLowInputLatency;
  parameters.hostApiSpecificStreamInfo = nullptr;
  PaStream* raw = nullptr;
  const PaError error = Pa_OpenStream(&raw, &parameters, nullptr, info->defaultSampleRate, framesPerBuffer, paNoFlag,
                                      &streamCallback, &sink);
  if (error != paNoError) throw CaptureError("The input stream could not be opened: " + errorText(error), error);
  const PaStreamInfo* streamInfo = Pa_GetStreamInfo(raw);
  const double rate =
      streamInfo != nullptr && streamInfo->sampleRate > 0 ? streamInfo->sampleRate : info->defaultSampleRate;
  lock.unlock();
  StreamHandle stream(raw);
  return std::make_unique<PortAudioInputStream>(std::move(stream), rate,
                                                static_cast<std::uint32_t>(parameters.channelCount));
}

std::shared_ptr<CaptureBackend> defaultCaptureBackend() {
  static const std::shared_ptr<CaptureBackend> instance = std::make_shared<PortAudioCaptureBackend>();
  return instance;
}

}  // namespace platform::audio
