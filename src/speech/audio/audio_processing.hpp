// The audio-processing contract that the speech library holds a processor by, and the
// model-ready window type it produces.
//
// The static side (file loading, resampling, mixing, energy) lives on AudioProcessor
// (audio_processor.hpp) because C++ has no static virtual functions; this interface carries the
// instance requirements: the model window and the live-capture side (captured samples,
// relative energy, start/pause/stop/resume recording).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/audio/pcm_buffer.hpp"
#include "platform/ml/multi_array.hpp"
#include "platform/sync/channel.hpp"
#include "speech/audio/audio_input_options.hpp"

namespace vostrane {

// A model-ready audio window: a float32 multi-array of shape [length]. The mel feature
// extractor consumes it.
using AudioProcessorOutputType = platform::ml::MultiArray;

// A bitmap whose pixel bytes are the raw bytes of float samples, one pixel per sample:
// 8 bits per component, 32 bits per pixel, width x 4 bytes per row, device RGB, premultiplied
// alpha first, 32-bit little-endian.
struct WaveformImage {
  int width = 0;
  int height = 0;
  int bitsPerComponent = 8;
  int bitsPerPixel = 32;
  int bytesPerRow = 0;
  std::vector<std::uint8_t> pixels;  // height x bytesPerRow bytes
};

struct ImageSize {
  double width = 0;
  double height = 0;
};

// Receives each captured buffer of 16 kHz mono samples, on the capture's processing thread.
using AudioBufferCallback = std::function<void(const std::vector<float>&)>;

// The stream of captured buffers of startStreamingRecordingLive: one channel is both the stream
// (the consumer pops) and its continuation (the capture pushes; finish(error) on failure).
using AudioSampleStream = platform::sync::Channel<std::vector<float>>;

class AudioProcessing {
 public:
  virtual ~AudioProcessing() = default;

  // --- live capture (semantics in AudioProcessor) -----------------------------------------------
  virtual std::vector<float> audioSamples() const = 0;
  virtual void purgeAudioSamples(std::size_t keepingLast) = 0;
  virtual std::vector<float> relativeEnergy() const = 0;
  virtual int relativeEnergyWindow() const = 0;
  virtual void setRelativeEnergyWindow(int window) = 0;
  virtual void startRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                  AudioBufferCallback callback = {}) = 0;
  virtual std::shared_ptr<AudioSampleStream> startStreamingRecordingLive(
      std::optional<std::uint32_t> inputDeviceID = std::nullopt) = 0;
  virtual void pauseRecording() = 0;
  virtual void stopRecording() = 0;
  virtual void resumeRecordingLive(std::optional<std::uint32_t> inputDeviceID = std::nullopt,
                                   AudioBufferCallback callback = {}) = 0;

  // `toLength` samples from `startAt` as a float32 multi-array, padded with zeros; absent when
  // startAt lies outside the array (logged at error level). Thread-safe.
  virtual std::optional<AudioProcessorOutputType> padOrTrim(std::span<const float> fromArray, int startAt,
                                                            int toLength) = 0;

  // The default window cutter: absent (with the error log "startIndex is outside the buffer
  // size") when startAt < 0 or startAt >= the array's size; absent without a log when toLength
  // is negative; absent after an error log when the array cannot be allocated. Otherwise an array of shape [toLength]
  // holding fromArray[startAt ...] and zeros after it. `saveSegment` has no effect. Thread-safe.
  static std::optional<platform::ml::MultiArray> padOrTrimAudio(std::span<const float> fromArray, int startAt,
                                                                int toLength, bool saveSegment = false);

  // Loads the whole file (all channels summed, 16 kHz mono) on a new thread, as
  // AudioProcessor::loadAudio(fromPath) with all defaults, and returns that buffer (owned by the
  // caller). Throws as AudioProcessor::loadAudio(fromPath) does.
  static std::unique_ptr<platform::audio::PcmBuffer> loadAudioAsync(const std::string& fromPath);

  // An image of Int(width) x Int(height) pixels whose bytes are the samples' bytes. Absent
  // when either side is below 1 or not finite, or when there are fewer samples than pixels.
  static std::optional<WaveformImage> createWaveformImage(std::span<const float> from, ImageSize withSize);
};

}  // namespace vostrane
