// A streaming sample-rate converter for float planar audio: the stand-in for the platform's
// audio converter. Backed by libswresample.
//
// One Resampler converts one continuous signal: feed it piece by piece with process() and call
// flush() once at the end; its filter state carries across pieces, so there is no seam between
// them and the output length adds up to the input length times the rate ratio (within one
// frame). Used by the speech library's audio loader.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

namespace platform::audio {

class ResamplerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Resampler {
 public:
  // A converter from `inputRate` to `outputRate` for `channelCount` channels. Rates must be
  // whole numbers of frames per second in 1 ... 2^31 - 1 and the channel count in
  // 1 ... AudioFormat::kMaxChannels; returns null otherwise or when FFmpeg refuses.
  // Equal rates give a pass-through converter.
  static std::unique_ptr<Resampler> create(double inputRate, double outputRate, std::uint32_t channelCount);

  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  double inputRate() const { return inputRate_; }
  double outputRate() const { return outputRate_; }
  std::uint32_t channelCount() const { return channelCount_; }

  // Converts `frames` frames given as one pointer per channel (channelCount() pointers, each to
  // `frames` floats). Returns the output produced so far, one vector per channel; the vectors
  // belong to the resampler and stay valid until the next call. Throws ResamplerError when
  // called after flush() or when the converter fails; std::invalid_argument when the channel
  // pointer count is wrong.
  const std::vector<std::vector<float>>& process(std::span<const float* const> channels, std::size_t frames);
  // Convenience form for one channel.
  const std::vector<float>& process(std::span<const float> mono);

  // Drains the filter's delay line: the last output frames. Call once, at the end; later
  // process() calls throw. Same ownership as process().
  const std::vector<std::vector<float>>& flush();

  // Output frames that `frames` input frames give in total, rounded to the nearest frame.
  std::int64_t expectedOutputFrames(std::int64_t frames) const;

 private:
  struct Impl;
  Resampler(double inputRate, double outputRate, std::uint32_t channelCount, std::unique_ptr<Impl> impl);

  double inputRate_;
  double outputRate_;
  std::uint32_t channelCount_;
  std::unique_ptr<Impl> impl_;  // null for a pass-through converter
  std::vector<std::vector<float>> output_;
  bool flushed_ = false;
};

}  // namespace platform::audio
