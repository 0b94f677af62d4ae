// AudioProcessor: the speech library's audio processor. This file holds its static side:
// opening audio files, reading them in bounded pieces, mixing channels to mono, resampling to
// 16 kHz, turning buffers into sample arrays, cutting a model window, and the energy measures
// used for silence and voice detection.
//
// All samples the models consume are 16,000 Hz, one channel, 32-bit float. The worker loads its
// recordings with loadAudioAsFloatArray (all channels summed, whole file); the pipeline uses
// loadAudio, padOrTrim and convertBufferToArray. Errors that input can cause are thrown as
// WhisperError (loading entry points) or reported as an absent result after an error log
// (lower-level steps). All static functions are reentrant; a buffer or file handed to them must
// not be used elsewhere during the call.
//
// The instance side is live capture (audio_processor_capture.cpp): it records an input device
// through platform::audio::CaptureEngine, converts what arrives to 16 kHz mono, keeps every
// captured sample and one energy record per buffer, and hands each buffer to a callback or a
// stream. The streaming transcriber reads the samples and energies and purges old samples while
// capture runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/audio_file.hpp"
#include "platform/audio/capture_backend.hpp"
#include "platform/audio/capture_engine.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "platform/audio/resampler.hpp"
#include "platform/sync/mutex.hpp"
#include "platform/sys/hash.hpp"
#include "speech/audio/audio_input_options.hpp"
#include "speech/audio/audio_processing.hpp"
#include "speech/audio/voice_activity_detector.hpp"
#include "speech/model/constants.hpp"

namespace vostrane {

// The outcome of loading one file of a batch: the samples, or the error that stopped it.
class AudioLoadResult {
 public:
  static AudioLoadResult success(std::vector<float> samples) { return AudioLoadResult(std::move(samples), nullptr); }
  static AudioLoadResult failure(std::exception_ptr error) { return AudioLoadResult({}, std::move(error)); }

  bool isSuccess() const { return error_ == nullptr; }
  // The samples; rethrows the error of a failure.
  const std::vector<float>& value() const {
    if (error_) std::rethrow_exception(error_);
    return samples_;
  }
  // Moves the samples out (empty afterwards); rethrows the error of a failure.
  std::vector<float> takeValue() {
    if (error_) std::rethrow_exception(error_);
    return std::exchange(samples_, {});
  }
  // The error of a failure (null for a success).
  const std::exception_ptr& error() const { return error_; }

 private:
  AudioLoadResult(std::vector<float> samples, std::exception_ptr error)
      : samples_(std::move(samples)), error_(std::move(error)) {}
  std::vector<float> samples_;
  std::exception_ptr error_;
};

struct AudioEnergy {
  float avg = 0;  // root mean square
  float max = 0;  // largest magnitude
  float min = 0;  // smallest magnitude
};

// The energy record of one captured buffer.
struct CapturedEnergy {
  float rel = 0;  // loudness 0 ... 1 against the quietest of the previous 20 buffers
  float avg = 0;  // root mean square
  float max = 0;  // largest magnitude
  float min = 0;  // smallest magnitude
  friend bool operator==(const CapturedEnergy&, const CapturedEnergy&) = default;
};

// An input-capable audio device. Equality and hashing (std::hash below) use both fields, id
// first; lists identify a device by `id`.
struct AudioDevice {
  std::uint32_t id = 0;
  std::string name;
  friend bool operator==(const AudioDevice&, const AudioDevice&) = default;
};

class AudioProcessor : public AudioProcessing {
 public:
  using PcmBuffer = platform::audio::PcmBuffer;
  using AudioFile = platform::audio::AudioFile;
  using Resampler = platform::audio::Resampler;
  using CaptureBackend = platform::audio::CaptureBackend;
  using CaptureEngine = platform::audio::CaptureEngine;

  // A processor that captures through the process's audio backend (PortAudio), which is only
  // opened when capture first starts.
  AudioProcessor();
  // A processor that captures through `backend` (a fake in tests). `backend` must not be null.
  explicit AudioProcessor(std::shared_ptr<CaptureBackend> backend);
  // Stops capture first (as stopRecording()). Must not run inside the buffer callback.
  ~AudioProcessor() override;
  AudioProcessor(const AudioProcessor&) = delete;
  AudioProcessor& operator=(const AudioProcessor&) = delete;

  // 16,000 samples per second: the rate every model input has.
  static constexpr double kTargetSampleRate = 16000.0;
  // The most frames read from a file in one read (30 s at 44,100 Hz).
  static constexpr std::uint32_t kDefaultAudioReadFrameSize = Constants::defaultAudioReadFrameSize;
  // Seconds of audio loaded per piece by loadAudioAsFloatArray.
  static constexpr double kPieceSeconds = 600.0;

  // --- file loading -------------------------------------------------------------------------

  // The span [startTime, endTime) of the file at `fromPath` as a 16 kHz mono buffer (owned by
  // the caller). startTime absent = 0; endTime absent = to the end of the audio; a span past
  // the end stops at the end. Throws WhisperError::loadAudioFailed: "Resource path does not
  // exist " + path when nothing is there; "Cannot open audio file <path>: <reason>" when the
  // file cannot be opened as audio (a directory, empty, no audio stream, corrupt); "Failed to
  // process audio buffer: <reason>" or "Failed to read audio file: <reason>" when reading or
  // converting fails (a truncated or corrupt file).
  static std::unique_ptr<PcmBuffer> loadAudio(const std::string& fromPath,
                                              const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                              std::optional<double> startTime = 0.0,
                                              std::optional<double> endTime = std::nullopt,
                                              std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);

  // As above for an open file; sets the file's read position itself. A 16 kHz mono file is read
  // directly; anything else goes through resampleAudio(fromFile). Throws as above.
  static std::unique_ptr<PcmBuffer> loadAudio(AudioFile& fromFile,
                                              const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                              std::optional<double> startTime = 0.0,
                                              std::optional<double> endTime = std::nullopt,
                                              std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);

  // Reads `frameCount` frames (absent: to the end of the audio) from the file's current
  // position in reads of at most `maxReadFrameSize` frames, mixes each read to mono and feeds it
  // to one resampler for the whole span, flushed once at the end. Stops early when the audio
  // ends. Only channelCount 1 is supported. Returns null after an error log on any failure.
  static std::unique_ptr<PcmBuffer> resampleAudio(AudioFile& fromFile, double toSampleRate, std::uint32_t channelCount,
                                                  const ChannelMode& channelMode,
                                                  std::optional<std::uint32_t> frameCount,
                                                  std::uint32_t maxReadFrameSize);

  // Converts one whole buffer to `toSampleRate` (same channel count; channelCount must equal
  // the buffer's). Returns null after an error log ("Failed to create output audio format",
  // "Failed to create audio converter", "Failed to resample buffer: " + text).
  static std::unique_ptr<PcmBuffer> resampleAudio(const PcmBuffer& fromBuffer, double toSampleRate,
                                                  std::uint32_t channelCount);

  // Runs `converter` over the buffer's frames into a new buffer of capacity
  // rint(frames x outRate / inRate) (at least 1 when that is fractional; the rounding is logged
  // at debug level). With `endOfStream` the converter is drained and cannot be fed again;
  // without it the converter keeps its state for the next buffer of the same signal.
  // Throws WhisperError::audioProcessingFailed ("Failed to create converted buffer",
  // "Error converting audio: " + text).
  static std::unique_ptr<PcmBuffer> resampleBuffer(const PcmBuffer& buffer, Resampler& converter,
                                                   bool endOfStream = true);

  // One channel made from a multichannel buffer: specificChannel copies that channel (channel 0
  // when it does not exist); sumChannels adds the listed valid channels (all when none listed)
  // and scales the sum down, never up, so its peak does not exceed the loudest channel's peak.
  // A buffer with fewer than 2 channels is returned as it is (the same object). Null after an
  // error log when the buffer cannot be made.
  static std::shared_ptr<PcmBuffer> convertToMono(std::shared_ptr<PcmBuffer> buffer, const ChannelMode& mode);
  // The same mix written into `output` (one channel, the input's rate, capacity >= the input's
  // frame length); returns false when it does not fit. Reuses `output` across calls.
  static bool mixToMono(const PcmBuffer& input, const ChannelMode& mode, PcmBuffer& output);

  // The span [startTime, endTime) of the file as 16 kHz mono samples; an empty array when
  // endTime <= startTime. Reads in pieces of at most 600 s through one resampler, so the
  // samples have no seam between pieces. Throws as loadAudio(fromPath), and
  // platform::sync::CancellationError when `stopToken` is triggered (checked before the file is
  // opened and between reads).
  static std::vector<float> loadAudioAsFloatArray(const std::string& fromPath,
                                                  const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                  std::optional<double> startTime = 0.0,
                                                  std::optional<double> endTime = std::nullopt,
                                                  std::stop_token stopToken = {});

  // Reads an open file forward from its read position as 16 kHz mono, span after span, through
  // one resampler for the whole read (a 16 kHz mono file is read directly). Consecutive spans
  // join without a seam and their samples add up to one load of the whole, which separate
  // loadAudio calls do not give: each of those starts and drains a resampler of its own. The
  // incremental loader reads long files with it. `file` must outlive the reader and not be read
  // elsewhere meanwhile. Not thread-safe.
  class SequentialReader {
   public:
    // Throws WhisperError::loadAudioFailed ("Failed to process audio buffer: " + reason) when
    // the converter cannot be made.
    SequentialReader(AudioFile& file, const ChannelMode& channelMode,
                     std::optional<std::uint32_t> maxReadFrameSize = std::nullopt);
    ~SequentialReader();
    SequentialReader(const SequentialReader&) = delete;
    SequentialReader& operator=(const SequentialReader&) = delete;

    // Reads up to `frames` more frames (>= 0, at the file's rate) and appends the samples they
    // give to `out`; the resampler holds back its last few samples until finish(). Returns the
    // frames read: fewer than asked means the audio ended. Throws as loadAudio(fromFile).
    std::int64_t read(std::int64_t frames, std::vector<float>& out);
    // Appends the samples the resampler held back: the end of the read. Later calls append
    // nothing, and read() must not be called after it.
    void finish(std::vector<float>& out);

   private:
    struct Converter;
    AudioFile& file_;
    std::uint32_t readSize_;
    std::unique_ptr<Converter> converter_;  // null when the file is read directly
    bool finished_ = false;
  };

  // Channel 0 of the buffer copied in steps of `chunkSize` frames (>= 1); each copied step is
  // cleared in the buffer, which holds zeros afterwards. Empty when there is no channel 0.
  static std::vector<float> convertBufferToArray(PcmBuffer& buffer, std::size_t chunkSize = 1024);

  // Loads every path with loadAudioAsFloatArray and all channels as `channelMode` says, on at
  // most as many threads at once as the process has processors; one result per path in input
  // order. Never throws: a file's failure is held by its entry. When `stopToken` is triggered,
  // every file not yet finished stops and its entry holds platform::sync::CancellationError.
  static std::vector<AudioLoadResult> loadAudio(const std::vector<std::string>& at,
                                                const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                std::stop_token stopToken = {});

  // --- model window ---------------------------------------------------------------------------

  std::optional<AudioProcessorOutputType> padOrTrim(std::span<const float> fromArray, int startAt,
                                                    int toLength) override;

  // --- energy ---------------------------------------------------------------------------------

  // Root mean square (0 for no samples).
  static float calculateAverageEnergy(std::span<const float> signal);
  // RMS, largest and smallest magnitude (all 0 for no samples).
  static AudioEnergy calculateEnergy(std::span<const float> signal);
  // Loudness against a reference level in 0 ... 1: 0 for silence, 1 for full scale. The
  // reference is 0.001 when absent, else relativeTo but at least 1e-8.
  static float calculateRelativeEnergy(std::span<const float> signal, std::optional<float> relativeTo);
  // Whether any of the older energies of the last nextBufferInSeconds (one value per 0.1 s) is
  // above silenceThreshold; see the .cpp for the exact window.
  static bool isVoiceDetected(std::span<const float> energies, float nextBufferInSeconds, float silenceThreshold);
  // For frames i in 0 ..< chunkCount: RMS of samples [i L, min(i L + L + overlap, count)) >
  // energyThreshold. Frames starting past the end count as unvoiced.
  static std::vector<bool> calculateVoiceActivityInChunks(std::span<const float> signal, int chunkCount,
                                                          int frameLengthSamples, int frameOverlapSamples,
                                                          float energyThreshold);
  // Voiced sample ranges by the default energy detector.
  static std::vector<IndexRange> calculateNonSilentChunks(std::span<const float> signal);

  // --- live capture -----------------------------------------------------------------------------
  //
  // Threads: the buffer work (conversion, processBuffer, the callback) runs on the capture
  // engine's processing thread. The sample and energy lists, the settings and the callback are
  // guarded by one mutex, so every reader gets a consistent snapshot while capture appends, and
  // purging happens under the same lock. The control operations (start, pause, resume, stop)
  // are serialised with each other; the buffer callback may read, purge, change settings and
  // call stopRecording(), but must not call start, pause or resume (std::logic_error).

  // Defaults: the tap buffer size in frames of the input device, and the window of the size line.
  static constexpr int kDefaultMinBufferLength = 1600;
  static constexpr int kDefaultRelativeEnergyWindow = 20;
  // How many previous buffers the relative-energy reference looks back over (fixed).
  static constexpr std::size_t kEnergyReferenceBuffers = 20;

  // Snapshot of every sample captured since the last start (16 kHz mono, oldest first).
  std::vector<float> audioSamples() const override;
  // The number of captured samples (cheaper than a snapshot).
  std::size_t audioSampleCount() const;
  // Snapshot of the energy records, one per processed buffer, oldest first.
  std::vector<CapturedEnergy> audioEnergy() const;
  // The `rel` values of audioEnergy(), in order.
  std::vector<float> relativeEnergy() const override;
  int relativeEnergyWindow() const override;
  void setRelativeEnergyWindow(int window) override;
  AudioBufferCallback audioBufferCallback() const;
  void setAudioBufferCallback(AudioBufferCallback callback);
  // Tap buffer size in frames of the input device (default 1600); must be >= 1 when capture
  // starts.
  int minBufferLength() const;
  void setMinBufferLength(int length);
  // The device id given to the last start (absent: the default device).
  std::optional<std::uint32_t> lastInputDevice() const;
  // Whether a capture engine exists (capturing or paused).
  bool hasAudioEngine() const;
  // While suppressed, captured buffers still arrive and count, but as silence (all zeros).
  bool isInputSuppressed() const { return inputSuppressed_.load(); }
  void setInputSuppressed(bool suppressed) { inputSuppressed_.store(suppressed); }

  // Clears samples and energies, stops and closes any earlier capture (so two streams never
  // feed one list), then captures `inputDeviceID` (absent: the default input device) and calls
  // `callback` (may be empty) with every buffer. Throws WhisperError::microphoneUnavailable
  // when the device cannot be opened, WhisperError::audioProcessingFailed when its audio
  // cannot be converted, platform::audio::CaptureError when it does not start; the lists stay
  // empty and no capture runs then.
  void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                          AudioBufferCallback callback = {}) override;
  // As startRecordingLive, with the buffers pushed into the returned stream. Never throws: a
  // failed start finishes the stream with the error. Ending the stream (cancel(), or dropping
  // the last handle) clears the callback and stops capture, unless a later start or a new
  // callback has replaced it. The stream holds the processor only weakly.
  std::shared_ptr<AudioSampleStream> startStreamingRecordingLive(
      std::optional<std::uint32_t> inputDeviceID = std::nullopt) override;
  // Pauses capture; every buffer captured so far has been processed when it returns. Keeps
  // samples, energies and the engine. Does nothing without an engine.
  void pauseRecording() override;
  // Stops and closes the capture; every buffer captured so far has been processed when it
  // returns. Samples, energies and the callback remain. Called from the buffer callback it only
  // asks the capture to stop after the current buffer.
  void stopRecording() override;
  // Same device as lastInputDevice(): restarts the paused engine (nothing without one). Another
  // device: stops and closes the current capture, captures the new device and records it as
  // lastInputDevice(). A non-empty callback replaces the current one. Samples and energies
  // remain. Throws as startRecordingLive.
  void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                           AudioBufferCallback callback = {}) override;

  // Opens and starts a capture engine on `inputDeviceID` whose tap converts to 16 kHz mono and
  // calls processBuffer. Throws as startRecordingLive. The caller owns the engine.
  std::unique_ptr<CaptureEngine> setupEngine(std::optional<std::uint32_t> inputDeviceID);
  // The device to open for `inputDeviceID`: the id itself when the backend lists it as an input
  // device ("Successfully set input device." at info level), else absent = the default device
  // (error log "Error setting Audio Unit property: " + code).
  std::optional<std::uint32_t> assignAudioInput(std::uint32_t inputDeviceID);
  // Appends one 16 kHz mono buffer with its energy record, calls the callback, and every
  // minBufferLength x relativeEnergyWindow samples logs the size at debug level. Thread-safe.
  void processBuffer(const std::vector<float>& buffer);
  // Keeps only the newest `keepingLast` samples (nothing changes when there are not more).
  // Energies are kept. Thread-safe.
  void purgeAudioSamples(std::size_t keepingLast) override;
  // Sets every sample to 0 when input is suppressed.
  void suppressInputIfNeeded(std::vector<float>& buffer) const;
  // Nothing to configure on this platform.
  void setupAudioSessionForDevice() {}

  // Microphone permission: granted when an input device exists.
  static bool requestRecordPermission();
  static bool requestRecordPermission(CaptureBackend& backend);
  // The input-capable devices in the system's order; empty after an error log when the list
  // cannot be read.
  static std::vector<AudioDevice> getAudioDevices();
  static std::vector<AudioDevice> getAudioDevices(CaptureBackend& backend);

 private:
  struct Anchor;  // what the stream's termination handler reaches the processor through

  // `streamKey`: the stream of startStreamingRecordingLive that owns the callback, or null.
  void startRecordingLive(std::optional<std::uint32_t> inputDeviceID, AudioBufferCallback callback,
                          const void* streamKey);
  CaptureBackend& backend();
  platform::audio::CaptureEngine::TapResult handleTapBuffer(PcmBuffer& buffer, Resampler* converter);
  void throwIfInsideTap(const char* operation) const;
  void stopEngineLocked();   // needs controlMutex_
  void reapTapStopLocked();  // needs controlMutex_

  // Serialises the control operations; guards backend_ and audioEngine_. Never taken by the
  // processing thread.
  std::mutex controlMutex_;
  std::shared_ptr<CaptureBackend> backend_;
  std::unique_ptr<CaptureEngine> audioEngine_;
  std::atomic<bool> hasEngine_{false};
  std::atomic<bool> tapStopPending_{false};  // stopRecording() was called from the callback

  // Guards the lists, the settings and the callback. Never held across the callback.
  mutable platform::sync::Mutex dataMutex_;
  std::optional<std::uint32_t> lastInputDevice_;
  std::vector<float> audioSamples_;
  std::vector<CapturedEnergy> audioEnergy_;
  int relativeEnergyWindow_ = kDefaultRelativeEnergyWindow;
  AudioBufferCallback audioBufferCallback_;
  int minBufferLength_ = kDefaultMinBufferLength;
  const void* activeStream_ = nullptr;  // the stream the callback feeds, if any (identity only)

  std::atomic<bool> inputSuppressed_{false};
  std::shared_ptr<Anchor> anchor_;
};

}  // namespace vostrane

// Combines the id and then the name, so equal devices hash equally.
template <>
struct std::hash<vostrane::AudioDevice> {
  std::size_t operator()(const vostrane::AudioDevice& device) const noexcept {
    return platform::sys::hashCombine(std::hash<std::uint32_t>()(device.id), std::hash<std::string>()(device.name));
  }
};
