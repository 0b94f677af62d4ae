#include "platform/audio/pcm_buffer.hpp"

#include <cassert>
#include <cmath>
#include <new>
#include <stdexcept>

namespace platform::audio {

std::optional<AudioFormat> AudioFormat::standard(double sampleRate, std::uint32_t channelCount) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channelCount == 0 || channelCount > kMaxChannels) {
    return std::nullopt;
  }
  return AudioFormat{CommonFormat::float32, sampleRate, channelCount, false};
}

std::uint32_t AudioFormat::bytesPerFrame() const { return interleaved ? 4 * channelCount : 4; }

namespace {
bool isValidPlanarFormat(const AudioFormat& format) {
  return !format.interleaved && AudioFormat::standard(format.sampleRate, format.channelCount).has_value();
}
}  // namespace

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity, std::vector<float> storage)
    : format_(format), frameCapacity_(frameCapacity), storage_(std::move(storage)) {}

std::unique_ptr<PcmBuffer> PcmBuffer::create(const AudioFormat& format, std::uint32_t frameCapacity) {
  if (!isValidPlanarFormat(format)) return nullptr;
  const std::uint64_t total = std::uint64_t{frameCapacity} * format.channelCount;
  if (total > kMaxSamples) return nullptr;
  try {
    std::vector<float> storage(static_cast<std::size_t>(total), 0.0f);
    return std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity, std::move(storage)));
  } catch (const std::bad_alloc&) {
    return nullptr;
  } catch (const std::length_error&) {
    return nullptr;
  }
}

std::unique_ptr<PcmBuffer> PcmBuffer::adopt(const AudioFormat& format, std::vector<float> samples) {
  if (!isValidPlanarFormat(format) || format.channelCount != 1) return nullptr;
  if (samples.size() > UINT32_MAX) return nullptr;
  const auto frames = static_cast<std::uint32_t>(samples.size());
  auto buffer = std::unique_ptr<PcmBuffer>(new PcmBuffer(format, frames, std::move(samples)));
  buffer->frameLength_ = frames;
  return buffer;
}

void PcmBuffer::setFrameLength(std::uint32_t length) {
  assert(length <= frameCapacity_);
  frameLength_ = length;
}

float* PcmBuffer::floatChannelData(std::uint32_t channel) {
  if (channel >= format_.channelCount) return nullptr;
  return storage_.data() + std::size_t{channel} * frameCapacity_;
}

const float* PcmBuffer::floatChannelData(std::uint32_t channel) const {
  if (channel >= format_.channelCount) return nullptr;
  return storage_.data() + std::size_t{channel} * frameCapacity_;
}

std::span<float> PcmBuffer::channel(std::uint32_t channel) {
  float* data = floatChannelData(channel);
  return data ? std::span<float>(data, frameLength_) : std::span<float>();
}

std::span<const float> PcmBuffer::channel(std::uint32_t channel) const {
  const float* data = floatChannelData(channel);
  return data ? std::span<const float>(data, frameLength_) : std::span<const float>();
}

std::vector<float> PcmBuffer::releaseSamples() {
  std::vector<float> out = std::move(storage_);
  out.resize(frameLength_);
  storage_.clear();
  frameCapacity_ = 0;
  frameLength_ = 0;
  return out;
}

}  // namespace platform::audio
