// A scripted audio-input backend for tests: a fixed device list (output-only devices
// included, as a system would have them) and streams whose frames the test delivers itself,
// standing in for the real-time delivery thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/capture_backend.hpp"

namespace testsupport {

class FakeCaptureBackend : public platform::audio::CaptureBackend {
 public:
  struct Device {
    std::uint32_t id;
    std::string name;
    std::uint32_t inputChannels;  // 0 for an output-only device
    double sampleRate = 16000;
  };

  explicit FakeCaptureBackend(std::vector<Device> devices, std::optional<std::uint32_t> defaultDevice = std::nullopt)
      : devices_(std::move(devices)), default_(defaultDevice) {}

  // One 16 kHz mono input device with id 1, the default.
  static std::shared_ptr<FakeCaptureBackend> mono16k() {
    return std::make_shared<FakeCaptureBackend>(std::vector<Device>{{1, "Fake Microphone", 1, 16000}}, 1);
  }

  void setListingFails(bool fails) {
    std::lock_guard<std::mutex> guard(mutex_);
    listingFails_ = fails;
  }
  void setStartFails(bool fails) {
    std::lock_guard<std::mutex> guard(mutex_);
    startFails_ = fails;
  }

  std::vector<platform::audio::InputDevice> inputDevices() override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (listingFails_) throw platform::audio::CaptureError("device list unreadable", -1);
    std::vector<platform::audio::InputDevice> result;
    for (const auto& d : devices_) {
      if (d.inputChannels > 0) result.push_back({d.id, d.name, d.inputChannels});
    }
    return result;
  }

  std::optional<std::uint32_t> defaultInputDevice() override { return default_; }

  std::unique_ptr<platform::audio::InputStream> openInput(std::optional<std::uint32_t> deviceId,
                                                          std::uint32_t framesPerBuffer,
                                                          platform::audio::FrameSink& sink) override {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::optional<std::uint32_t> id = deviceId ? deviceId : default_;
    const auto it = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const Device& d) { return id && d.id == *id && d.inputChannels > 0; });
    if (it == devices_.end()) throw platform::audio::CaptureError("no such input device", -9996);
    auto state = std::make_shared<StreamState>();
    state->device = *it;
    state->sink = &sink;
    state->framesPerBuffer = framesPerBuffer;
    streams_.push_back(state);
    ++openCount_;
    mostOpen_ = std::max(mostOpen_,
                         int(std::count_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->open; })));
    return std::make_unique<Stream>(this, state);
  }

  // Delivers interleaved frames to the running stream of `deviceId` (absent: any running
  // stream), as the backend's delivery thread would. Returns false when none is running.
  bool deliver(const std::vector<float>& interleaved, std::optional<std::uint32_t> deviceId = std::nullopt) {
    std::shared_ptr<StreamState> target;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      for (const auto& s : streams_) {
        if (s->open && s->running && (!deviceId || s->device.id == *deviceId)) target = s;
      }
    }
    if (!target) return false;
    std::lock_guard<std::mutex> guard(target->deliveryMutex);
    if (!target->running) return false;
    target->sink->deliverFrames(interleaved.data(), interleaved.size() / target->device.inputChannels);
    return true;
  }

  int openCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return openCount_;
  }
  // Streams opened and not yet closed.
  int openStreams() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return int(std::count_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->open; }));
  }
  int runningStreams() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return int(std::count_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->open && s->running; }));
  }
  // The most streams that were open at the same time.
  int mostOpenAtOnce() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return mostOpen_;
  }
  std::uint32_t lastFramesPerBuffer() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return streams_.empty() ? 0 : streams_.back()->framesPerBuffer;
  }
  std::optional<std::uint32_t> lastOpenedDevice() const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (streams_.empty()) return std::nullopt;
    return streams_.back()->device.id;
  }

 private:
  struct StreamState {
    Device device;
    platform::audio::FrameSink* sink = nullptr;
    std::uint32_t framesPerBuffer = 0;
    bool open = true;      // guarded by the backend's mutex_
    bool running = false;  // written under both mutexes
    std::mutex deliveryMutex;
  };

  class Stream : public platform::audio::InputStream {
   public:
    Stream(FakeCaptureBackend* backend, std::shared_ptr<StreamState> state)
        : backend_(backend), state_(std::move(state)) {}
    ~Stream() override {
      stop();
      std::lock_guard<std::mutex> guard(backend_->mutex_);
      state_->open = false;
    }
    double sampleRate() const override { return state_->device.sampleRate; }
    std::uint32_t channelCount() const override { return state_->device.inputChannels; }
    void start() override {
      {
        std::lock_guard<std::mutex> guard(backend_->mutex_);
        if (backend_->startFails_) throw platform::audio::CaptureError("device busy", -9985);
      }
      setRunning(true);
    }
    void stop() noexcept override { setRunning(false); }

   private:
    void setRunning(bool running) {
      std::lock_guard<std::mutex> delivery(state_->deliveryMutex);
      std::lock_guard<std::mutex> guard(backend_->mutex_);
      state_->running = running;
    }
    FakeCaptureBackend* backend_;
    std::shared_ptr<StreamState> state_;
  };

  mutable std::mutex mutex_;
  std::vector<Device> devices_;
  std::optional<std::uint32_t> default_;
  bool listingFails_ = false;
  bool startFails_ = false;
  std::vector<std::shared_ptr<StreamState>> streams_;
  int openCount_ = 0;
  int mostOpen_ = 0;
};

}  // namespace testsupport
