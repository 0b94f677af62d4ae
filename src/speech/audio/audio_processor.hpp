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
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio/audio_file.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "platform/audio/resampler.hpp"
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

class AudioProcessor : public AudioProcessing {
 public:
  using PcmBuffer = platform::audio::PcmBuffer;
  using AudioFile = platform::audio::AudioFile;
  using Resampler = platform::audio::Resampler;

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
  static std::unique_ptr<PcmBuffer> resampleAudio(AudioFile& fromFile, double toSampleRate,
                                                  std::uint32_t channelCount, const ChannelMode& channelMode,
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
  // samples have no seam between pieces. Throws as loadAudio(fromPath).
  static std::vector<float> loadAudioAsFloatArray(const std::string& fromPath,
                                                  const ChannelMode& channelMode = ChannelMode::sumChannels(),
                                                  std::optional<double> startTime = 0.0,
                                                  std::optional<double> endTime = std::nullopt);

  // Channel 0 of the buffer copied in steps of `chunkSize` frames (>= 1); each copied step is
  // cleared in the buffer, which holds zeros afterwards. Empty when there is no channel 0.
  static std::vector<float> convertBufferToArray(PcmBuffer& buffer, std::size_t chunkSize = 1024);

  // Loads every path concurrently (one thread per path) with loadAudioAsFloatArray and all
  // channels as `channelMode` says; one result per path in input order. Never throws for a
  // file's failure: that entry holds the error.
  static std::vector<AudioLoadResult> loadAudio(const std::vector<std::string>& at,
                                                const ChannelMode& channelMode = ChannelMode::sumChannels());

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
};

}  // namespace vostrane
