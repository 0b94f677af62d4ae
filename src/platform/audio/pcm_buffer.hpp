// Audio formats and PCM sample buffers: the stand-in for the platform's audio format and PCM
// buffer types.
//
// Every buffer here holds 32-bit float samples, one contiguous plane per channel
// (non-interleaved). The file reader (audio_file.hpp) reads into these buffers, the resampler
// (resampler.hpp) converts between rates, and the speech library's audio loader moves them
// around. A buffer has a fixed frame capacity and a frame length (the frames in use).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace platform::audio {

// The sample layout of a format. Only 32-bit float samples are held by buffers.
enum class CommonFormat { float32 };

struct AudioFormat {
  CommonFormat commonFormat = CommonFormat::float32;
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  bool interleaved = false;

  // The standard format: 32-bit float, non-interleaved, with the given rate and channel count.
  // Absent when the rate is not a finite positive number or the channel count is 0 or above
  // kMaxChannels.
  static std::optional<AudioFormat> standard(double sampleRate, std::uint32_t channelCount);

  // Bytes of one frame of one buffer plane (4 for non-interleaved float, 4 x channels when
  // interleaved).
  std::uint32_t bytesPerFrame() const;

  friend bool operator==(const AudioFormat&, const AudioFormat&) = default;

  static constexpr std::uint32_t kMaxChannels = 64;
};

// A block of float samples: `channelCount` planes of `frameCapacity` frames each, of which the
// first `frameLength` are in use. Not thread-safe; one owner at a time.
class PcmBuffer {
 public:
  // A zero-filled buffer with frame length 0. Returns null when the format is not a valid
  // non-interleaved float format or the buffer would exceed kMaxSamples samples in total.
  static std::unique_ptr<PcmBuffer> create(const AudioFormat& format, std::uint32_t frameCapacity);

  // A one-channel buffer that takes over `samples` (capacity = frame length = its size).
  // Returns null when `format` is not a valid one-channel standard format or the vector holds
  // more than 2^32 - 1 samples.
  static std::unique_ptr<PcmBuffer> adopt(const AudioFormat& format, std::vector<float> samples);

  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  // Needs length <= frameCapacity() (asserted).
  void setFrameLength(std::uint32_t length);

  // Start of channel `channel`'s plane (frameCapacity() floats), or null when the channel does
  // not exist.
  float* floatChannelData(std::uint32_t channel);
  const float* floatChannelData(std::uint32_t channel) const;

  // The frames in use of one channel (empty when the channel does not exist).
  std::span<float> channel(std::uint32_t channel);
  std::span<const float> channel(std::uint32_t channel) const;

  // Gives up channel 0's storage, trimmed to the frame length; the buffer is left empty
  // (capacity 0). Meant for one-channel buffers.
  std::vector<float> releaseSamples();

  static constexpr std::uint64_t kMaxSamples = std::uint64_t{1} << 31;

 private:
  PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity, std::vector<float> storage);

  AudioFormat format_;
  std::uint32_t frameCapacity_;
  std::uint32_t frameLength_ = 0;
  std::vector<float> storage_;  // channel c occupies [c * frameCapacity_, (c + 1) * frameCapacity_)
};

}  // namespace platform::audio
