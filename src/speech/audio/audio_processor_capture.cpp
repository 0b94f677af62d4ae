// AudioProcessor's instance side: live capture, energy records, the buffer callback and stream,
// and the input-device list.
#include <algorithm>
#include <cassert>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/logging.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

using noxtal::Logging;
using platform::audio::CaptureError;
using TapResult = platform::audio::CaptureEngine::TapResult;

struct AudioProcessor::Anchor {
  explicit Anchor(AudioProcessor* p) : processor(p) {}
  std::mutex mutex;
  AudioProcessor* processor;  // guarded by mutex; null once the processor is gone
};

namespace {

// The processor whose tap runs on this thread, if any: lets stopRecording() called from the
// buffer callback ask for a stop instead of waiting for its own thread.
thread_local const AudioProcessor* tapOwner = nullptr;

class TapScope {
 public:
  explicit TapScope(const AudioProcessor* owner) : previous_(tapOwner) { tapOwner = owner; }
  ~TapScope() { tapOwner = previous_; }
  TapScope(const TapScope&) = delete;
  TapScope& operator=(const TapScope&) = delete;

 private:
  const AudioProcessor* previous_;
};

std::string energyTuple(const CapturedEnergy& e) {
  return "(" + noxtal::floatingText(e.rel) + ", " + noxtal::floatingText(e.avg) + ", " + noxtal::floatingText(e.max) +
         ", " + noxtal::floatingText(e.min) + ")";
}

}  // namespace

AudioProcessor::AudioProcessor() : anchor_(std::make_shared<Anchor>(this)) {}

AudioProcessor::AudioProcessor(std::shared_ptr<CaptureBackend> backend)
    : backend_(std::move(backend)), anchor_(std::make_shared<Anchor>(this)) {
  if (!backend_) throw std::invalid_argument("AudioProcessor: null capture backend");
}

AudioProcessor::~AudioProcessor() {
  assert(tapOwner != this && "an AudioProcessor cannot be destroyed from its own buffer callback");
  stopRecording();
  std::lock_guard<std::mutex> guard(anchor_->mutex);
  anchor_->processor = nullptr;
}

// --- state ----------------------------------------------------------------------------------------

std::vector<float> AudioProcessor::audioSamples() const {
  return dataMutex_.withLock([&] { return audioSamples_; });
}

std::size_t AudioProcessor::audioSampleCount() const {
  return dataMutex_.withLock([&] { return audioSamples_.size(); });
}

std::vector<CapturedEnergy> AudioProcessor::audioEnergy() const {
  return dataMutex_.withLock([&] { return audioEnergy_; });
}

std::vector<float> AudioProcessor::relativeEnergy() const {
  return dataMutex_.withLock([&] {
    std::vector<float> values;
    values.reserve(audioEnergy_.size());
    for (const auto& e : audioEnergy_) values.push_back(e.rel);
    return values;
  });
}

int AudioProcessor::relativeEnergyWindow() const {
  return dataMutex_.withLock([&] { return relativeEnergyWindow_; });
}

void AudioProcessor::setRelativeEnergyWindow(int window) {
  dataMutex_.withLock([&] { relativeEnergyWindow_ = window; });
}

AudioBufferCallback AudioProcessor::audioBufferCallback() const {
  return dataMutex_.withLock([&] { return audioBufferCallback_; });
}

void AudioProcessor::setAudioBufferCallback(AudioBufferCallback callback) {
  // The old callback is destroyed outside the lock: it may own a stream whose end runs code.
  dataMutex_.withLock([&] {
    std::swap(audioBufferCallback_, callback);
    activeStream_ = nullptr;
  });
}

int AudioProcessor::minBufferLength() const {
  return dataMutex_.withLock([&] { return minBufferLength_; });
}

void AudioProcessor::setMinBufferLength(int length) {
  dataMutex_.withLock([&] { minBufferLength_ = length; });
}

std::optional<std::uint32_t> AudioProcessor::lastInputDevice() const {
  return dataMutex_.withLock([&] { return lastInputDevice_; });
}

bool AudioProcessor::hasAudioEngine() const { return hasEngine_.load() && !tapStopPending_.load(); }

// --- buffers ----------------------------------------------------------------------------------------

void AudioProcessor::suppressInputIfNeeded(std::vector<float>& buffer) const {
  if (isInputSuppressed()) std::fill(buffer.begin(), buffer.end(), 0.0f);
}

void AudioProcessor::processBuffer(const std::vector<float>& buffer) {
  const AudioEnergy energy = calculateEnergy(buffer);
  AudioBufferCallback callback;
  std::optional<std::string> sizeLine;
  dataMutex_.withLock([&] {
    audioSamples_.insert(audioSamples_.end(), buffer.begin(), buffer.end());
    // The quietest of the last 20 buffers is the reference; none yet gives rel 0.
    float reference = std::numeric_limits<float>::infinity();
    const std::size_t look = std::min(audioEnergy_.size(), kEnergyReferenceBuffers);
    for (std::size_t i = audioEnergy_.size() - look; i < audioEnergy_.size(); ++i) {
      reference = std::min(reference, audioEnergy_[i].avg);
    }
    const CapturedEnergy entry{calculateRelativeEnergy(buffer, reference), energy.avg, energy.max, energy.min};
    audioEnergy_.push_back(entry);
    callback = audioBufferCallback_;
    const long long period = static_cast<long long>(minBufferLength_) * relativeEnergyWindow_;
    if (period > 0 && audioSamples_.size() % static_cast<std::size_t>(period) == 0 &&
        Logging::isLoggingEnabled(Logging::LogLevel::debug)) {
      sizeLine = "Current audio size: " + std::to_string(audioSamples_.size()) +
                 " samples, most recent buffer: " + std::to_string(buffer.size()) +
                 " samples, most recent energy: " + energyTuple(entry);
    }
  });
  if (callback) callback(buffer);
  if (sizeLine) Logging::debug(*sizeLine);
}

void AudioProcessor::purgeAudioSamples(std::size_t keepingLast) {
  dataMutex_.withLock([&] {
    if (audioSamples_.size() > keepingLast) {
      audioSamples_.erase(audioSamples_.begin(),
                          audioSamples_.begin() + static_cast<std::ptrdiff_t>(audioSamples_.size() - keepingLast));
    }
  });
}

TapResult AudioProcessor::handleTapBuffer(PcmBuffer& buffer, Resampler* converter) {
  TapScope scope(this);
  std::vector<float> samples;
  if (buffer.format().sampleRate != kTargetSampleRate) {
    try {
      if (converter == nullptr) throw std::runtime_error("no audio converter");
      samples = converter->process(buffer.channel(0));
    } catch (const std::exception& e) {
      Logging::error(std::string("Failed to resample buffer: ") + e.what());
      return tapStopPending_.load() ? TapResult::stop : TapResult::proceed;
    }
  } else {
    samples = convertBufferToArray(buffer, 1024);
  }
  suppressInputIfNeeded(samples);
  // A converter still filling its filter may give nothing for the first buffer.
  if (!samples.empty()) processBuffer(samples);
  return tapStopPending_.load() ? TapResult::stop : TapResult::proceed;
}

// --- control ----------------------------------------------------------------------------------------

AudioProcessor::CaptureBackend& AudioProcessor::backend() {
  // Only the control operations reach here, under controlMutex_ (setupEngine may be called
  // directly; the pointer is still set once and never changed afterwards).
  auto current = dataMutex_.withLock([&] { return backend_; });
  if (!current) {
    try {
      current = platform::audio::defaultCaptureBackend();
    } catch (const CaptureError& e) {
      throw WhisperError::microphoneUnavailable(std::string("Audio input is unavailable: ") + e.what());
    }
    dataMutex_.withLock([&] {
      if (!backend_) backend_ = current;
      current = backend_;
    });
  }
  return *current;  // kept alive by backend_, which is never reset
}

void AudioProcessor::throwIfInsideTap(const char* operation) const {
  if (tapOwner == this) {
    throw std::logic_error(std::string(operation) + " cannot be called from the audio buffer callback");
  }
}

void AudioProcessor::stopEngineLocked() {
  if (audioEngine_) {
    audioEngine_->stop();
    audioEngine_.reset();
  }
  hasEngine_.store(false);
}

void AudioProcessor::reapTapStopLocked() {
  if (tapStopPending_.load()) {
    stopEngineLocked();
    tapStopPending_.store(false);
  }
}

std::optional<std::uint32_t> AudioProcessor::assignAudioInput(std::uint32_t inputDeviceID) {
  std::vector<platform::audio::InputDevice> devices;
  try {
    devices = backend().inputDevices();
  } catch (const CaptureError&) {
    Logging::error("Failed to access the audio unit of the input node.");
    return std::nullopt;
  }
  const bool found = std::any_of(devices.begin(), devices.end(), [&](const auto& d) { return d.id == inputDeviceID; });
  if (!found) {
    Logging::error("Error setting Audio Unit property: " + std::to_string(platform::audio::kInvalidDeviceError));
    return std::nullopt;
  }
  Logging::info("Successfully set input device.");
  return inputDeviceID;
}

std::unique_ptr<AudioProcessor::CaptureEngine> AudioProcessor::setupEngine(std::optional<std::uint32_t> inputDeviceID) {
  std::optional<std::uint32_t> device;
  if (inputDeviceID) device = assignAudioInput(*inputDeviceID);
  const int bufferLength = minBufferLength();
  if (bufferLength < 1) throw WhisperError::audioProcessingFailed("Failed to create node format");
  // The converter is made once the device's rate is known, before the processing thread starts.
  auto converter = std::make_shared<std::unique_ptr<Resampler>>();
  std::unique_ptr<CaptureEngine> engine;
  try {
    engine =
        CaptureEngine::open(backend(), device, static_cast<std::uint32_t>(bufferLength),
                            [this, converter](PcmBuffer& buffer) { return handleTapBuffer(buffer, converter->get()); });
  } catch (const CaptureError& e) {
    throw WhisperError::microphoneUnavailable(e.what());
  }
  const double rate = engine->format().sampleRate;
  if (rate != kTargetSampleRate) {
    *converter = Resampler::create(rate, kTargetSampleRate, 1);
    if (!*converter) throw WhisperError::audioProcessingFailed("Failed to create audio converter");
  }
  engine->start();
  return engine;
}

void AudioProcessor::startRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback) {
  startRecordingLive(inputDeviceID, std::move(callback), nullptr);
}

void AudioProcessor::startRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback,
                                        const void* streamKey) {
  throwIfInsideTap("startRecordingLive");
  std::lock_guard<std::mutex> control(controlMutex_);
  reapTapStopLocked();
  // The previous capture ends before anything else: two streams must never feed one list.
  stopEngineLocked();
  dataMutex_.withLock([&] {
    audioSamples_.clear();
    audioEnergy_.clear();
  });
  // Callback and device are in place before the first buffer can arrive.
  AudioBufferCallback previousCallback = callback;
  std::optional<std::uint32_t> previousDevice;
  dataMutex_.withLock([&] {
    std::swap(audioBufferCallback_, previousCallback);
    previousDevice = std::exchange(lastInputDevice_, inputDeviceID);
    activeStream_ = streamKey;
  });
  try {
    audioEngine_ = setupEngine(inputDeviceID);
    hasEngine_.store(true);
  } catch (...) {
    dataMutex_.withLock([&] {
      std::swap(audioBufferCallback_, previousCallback);
      lastInputDevice_ = previousDevice;
      activeStream_ = nullptr;
      audioSamples_.clear();
      audioEnergy_.clear();
    });
    throw;
  }
}

std::shared_ptr<AudioSampleStream> AudioProcessor::startStreamingRecordingLive(
    std::optional<std::uint32_t> inputDeviceID) {
  auto channel = std::make_shared<AudioSampleStream>();
  std::weak_ptr<Anchor> weakAnchor = anchor_;
  const void* key = channel.get();
  channel->onTermination([weakAnchor, key](AudioSampleStream::Termination) {
    const auto anchor = weakAnchor.lock();
    if (!anchor) return;
    std::lock_guard<std::mutex> guard(anchor->mutex);
    AudioProcessor* processor = anchor->processor;
    if (processor == nullptr) return;
    // A stream whose capture was replaced by a later start no longer controls the processor.
    AudioBufferCallback dropped;
    const bool current = processor->dataMutex_.withLock([&] {
      if (processor->activeStream_ != key) return false;
      processor->activeStream_ = nullptr;
      std::swap(processor->audioBufferCallback_, dropped);
      return true;
    });
    if (current) processor->stopRecording();
  });
  // The consumer's handles share one guard that cancels the stream when the last of them is
  // dropped, on the dropping thread. The capture side reaches the channel on its own (weakly),
  // so a buffer being pushed at that moment can never make the processing thread the one that
  // ends the stream.
  class ConsumerGuard {
   public:
    explicit ConsumerGuard(std::shared_ptr<AudioSampleStream> channel) : channel_(std::move(channel)) {}
    ConsumerGuard(const ConsumerGuard&) = delete;
    ConsumerGuard& operator=(const ConsumerGuard&) = delete;
    ~ConsumerGuard() { channel_->cancel(); }

   private:
    std::shared_ptr<AudioSampleStream> channel_;
  };
  auto guard = std::make_shared<ConsumerGuard>(channel);
  std::shared_ptr<AudioSampleStream> stream(guard, channel.get());
  std::weak_ptr<AudioSampleStream> weakChannel = channel;
  try {
    startRecordingLive(
        inputDeviceID,
        [weakChannel](const std::vector<float>& buffer) {
          if (const auto c = weakChannel.lock()) c->push(buffer);
        },
        key);
  } catch (...) {
    channel->finish(std::current_exception());
  }
  return stream;
}

void AudioProcessor::pauseRecording() {
  throwIfInsideTap("pauseRecording");
  std::lock_guard<std::mutex> control(controlMutex_);
  reapTapStopLocked();
  if (audioEngine_) audioEngine_->pause();
}

void AudioProcessor::stopRecording() {
  if (tapOwner == this) {
    tapStopPending_.store(true);
    return;
  }
  std::lock_guard<std::mutex> control(controlMutex_);
  reapTapStopLocked();
  stopEngineLocked();
}

void AudioProcessor::resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback) {
  throwIfInsideTap("resumeRecordingLive");
  std::lock_guard<std::mutex> control(controlMutex_);
  reapTapStopLocked();
  // A new callback is in place before the first buffer can arrive, and only stays when the
  // capture resumes.
  const bool replaceCallback = static_cast<bool>(callback);
  AudioBufferCallback previousCallback;
  const void* previousStream = nullptr;
  if (replaceCallback) {
    dataMutex_.withLock([&] {
      previousCallback = std::exchange(audioBufferCallback_, std::move(callback));
      previousStream = std::exchange(activeStream_, nullptr);
    });
  }
  try {
    if (inputDeviceID == lastInputDevice()) {
      if (audioEngine_) audioEngine_->start();
      return;
    }
    // Another device: the old capture ends first, and the new device becomes the last one.
    stopEngineLocked();
    audioEngine_ = setupEngine(inputDeviceID);
    hasEngine_.store(true);
    dataMutex_.withLock([&] { lastInputDevice_ = inputDeviceID; });
  } catch (...) {
    if (replaceCallback) {
      dataMutex_.withLock([&] {
        std::swap(audioBufferCallback_, previousCallback);
        activeStream_ = previousStream;
      });
    }
    throw;
  }
}

// --- devices ----------------------------------------------------------------------------------------

std::vector<AudioDevice> AudioProcessor::getAudioDevices(CaptureBackend& backend) {
  std::vector<platform::audio::InputDevice> devices;
  try {
    devices = backend.inputDevices();
  } catch (const CaptureError&) {
    Logging::error("Error: Unable to get the number of audio devices.");
    return {};
  }
  std::vector<AudioDevice> result;
  result.reserve(devices.size());
  for (auto& d : devices) {
    if (d.inputChannels > 0) result.push_back(AudioDevice{d.id, std::move(d.name)});
  }
  return result;
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() {
  std::shared_ptr<CaptureBackend> backend;
  try {
    backend = platform::audio::defaultCaptureBackend();
  } catch (const CaptureError&) {
    Logging::error("Error: Unable to get the number of audio devices.");
    return {};
  }
  return getAudioDevices(*backend);
}

bool AudioProcessor::requestRecordPermission(CaptureBackend& backend) {
  if (!getAudioDevices(backend).empty()) return true;
  Logging::error("Microphone access denied");
  return false;
}

bool AudioProcessor::requestRecordPermission() {
  std::shared_ptr<CaptureBackend> backend;
  try {
    backend = platform::audio::defaultCaptureBackend();
  } catch (const CaptureError&) {
    Logging::error("Microphone access denied");
    return false;
  }
  return requestRecordPermission(*backend);
}

}  // namespace vostrane
