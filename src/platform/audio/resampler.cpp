#include "platform/audio/resampler.hpp"

#include <cmath>
#include <limits>

#include "platform/audio/ffmpeg_support.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "platform/sys/checked_cast.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace platform::audio {

struct Resampler::Impl {
  detail::SwrPtr swr;
};

namespace {
std::optional<int> wholeRate(double rate) {
  if (!std::isfinite(rate) || rate < 1 || rate != std::floor(rate)) return std::nullopt;
  return platform::sys::checkedIntegerCast<int>(rate);
}
}  // namespace

Resampler::Resampler(double inputRate, double outputRate, std::uint32_t channelCount, std::unique_ptr<Impl> impl)
    : inputRate_(inputRate),
      outputRate_(outputRate),
      channelCount_(channelCount),
      impl_(std::move(impl)),
      output_(channelCount) {}

Resampler::~Resampler() = default;

std::unique_ptr<Resampler> Resampler::create(double inputRate, double outputRate, std::uint32_t channelCount) {
  const auto in = wholeRate(inputRate);
  const auto out = wholeRate(outputRate);
  if (!in || !out || channelCount == 0 || channelCount > AudioFormat::kMaxChannels) return nullptr;
  if (*in == *out) return std::unique_ptr<Resampler>(new Resampler(inputRate, outputRate, channelCount, nullptr));

  detail::routeFfmpegLogging();
  AVChannelLayout layout;
  av_channel_layout_default(&layout, int(channelCount));
  SwrContext* raw = nullptr;
  int ret = swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_FLTP, *out, &layout, AV_SAMPLE_FMT_FLTP, *in, 0, nullptr);
  av_channel_layout_uninit(&layout);
  auto impl = std::make_unique<Impl>();
  impl->swr.reset(raw);
  if (ret < 0 || !raw) return nullptr;
  if (swr_init(raw) < 0) return nullptr;
  return std::unique_ptr<Resampler>(new Resampler(inputRate, outputRate, channelCount, std::move(impl)));
}

const std::vector<std::vector<float>>& Resampler::process(std::span<const float* const> channels, std::size_t frames) {
  if (channels.size() != channelCount_) throw std::invalid_argument("Resampler::process: wrong channel count");
  if (flushed_) throw ResamplerError("Resampler used after flush");
  if (!impl_) {
    for (std::uint32_t c = 0; c < channelCount_; ++c) output_[c].assign(channels[c], channels[c] + frames);
    return output_;
  }
  // Fed in bounded steps: libswresample sizes its internal buffers by the input of one call.
  constexpr std::size_t kStep = 16384;
  for (auto& v : output_) v.clear();
  std::vector<const float*> inPtrs(channelCount_);
  std::vector<float*> outPtrs(channelCount_);
  for (std::size_t done = 0; done < frames;) {
    const int n = int(std::min(kStep, frames - done));
    const int bound = swr_get_out_samples(impl_->swr.get(), n);
    if (bound < 0) throw ResamplerError("Resampler failed: " + detail::errorText(bound));
    const std::size_t before = output_[0].size();
    for (std::uint32_t c = 0; c < channelCount_; ++c) {
      inPtrs[c] = channels[c] + done;
      output_[c].resize(before + std::size_t(bound) + 1);
      outPtrs[c] = output_[c].data() + before;
    }
    const int got = swr_convert(impl_->swr.get(), reinterpret_cast<std::uint8_t**>(outPtrs.data()), bound + 1,
                                reinterpret_cast<const std::uint8_t**>(inPtrs.data()), n);
    if (got < 0) throw ResamplerError("Resampler failed: " + detail::errorText(got));
    for (auto& v : output_) v.resize(before + std::size_t(got));
    done += std::size_t(n);
  }
  return output_;
}

const std::vector<float>& Resampler::process(std::span<const float> mono) {
  const float* ptr = mono.data();
  return process(std::span<const float* const>(&ptr, 1), mono.size()).front();
}

const std::vector<std::vector<float>>& Resampler::flush() {
  if (flushed_) throw ResamplerError("Resampler flushed twice");
  flushed_ = true;
  for (auto& v : output_) v.clear();
  if (!impl_) return output_;
  for (;;) {
    const int bound = swr_get_out_samples(impl_->swr.get(), 0);
    if (bound <= 0) break;
    std::vector<float*> outPtrs(channelCount_);
    const std::size_t before = output_[0].size();
    for (std::uint32_t c = 0; c < channelCount_; ++c) {
      output_[c].resize(before + std::size_t(bound));
      outPtrs[c] = output_[c].data() + before;
    }
    const int got = swr_convert(impl_->swr.get(), reinterpret_cast<std::uint8_t**>(outPtrs.data()), bound, nullptr, 0);
    if (got < 0) throw ResamplerError("Resampler failed: " + detail::errorText(got));
    for (auto& v : output_) v.resize(before + std::size_t(got));
    if (got == 0) break;
  }
  return output_;
}

std::int64_t Resampler::expectedOutputFrames(std::int64_t frames) const {
  return platform::sys::saturatingIntegerCast<std::int64_t>(std::round(double(frames) * outputRate_ / inputRate_));
}

}  // namespace platform::audio
