// AudioProcessor's energy measures and model-window cutting, and the default implementations
// of the AudioProcessing interface.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <new>
#include <string>

#include "core/logging.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/audio/audio_processor.hpp"

namespace vostrane {

using noxtal::Logging;

namespace {
float rootMeanSquare(std::span<const float> signal) {
  if (signal.empty()) return 0.0f;
  double sum = 0;
  for (float v : signal) sum += double(v) * double(v);
  return float(std::sqrt(sum / double(signal.size())));
}
}  // namespace

std::optional<platform::ml::MultiArray> AudioProcessing::padOrTrimAudio(std::span<const float> fromArray, int startAt,
                                                                        int toLength, bool /*saveSegment*/) {
  if (startAt < 0 || std::size_t(startAt) >= fromArray.size()) {
    Logging::error("startIndex is outside the buffer size");
    return std::nullopt;
  }
  if (toLength < 0) return std::nullopt;
  try {
    platform::ml::MultiArray array({std::int64_t{toLength}}, platform::ml::DataType::float32);
    const std::size_t available = fromArray.size() - std::size_t(startAt);
    const std::size_t n = std::min<std::size_t>(std::size_t(toLength), available);
    auto destination = array.span<float>();
    std::copy_n(fromArray.begin() + startAt, n, destination.begin());
    return array;
  } catch (const std::bad_alloc&) {
    Logging::error("Failed to create an audio window of " + std::to_string(toLength) + " samples");
    return std::nullopt;
  }
}

std::unique_ptr<platform::audio::PcmBuffer> AudioProcessing::loadAudioAsync(const std::string& fromPath) {
  return std::async(std::launch::async, [fromPath] { return AudioProcessor::loadAudio(fromPath); }).get();
}

std::optional<WaveformImage> AudioProcessing::createWaveformImage(std::span<const float> from, ImageSize withSize) {
  const auto width = platform::sys::checkedIntegerCast<int>(withSize.width);
  const auto height = platform::sys::checkedIntegerCast<int>(withSize.height);
  if (!width || !height || *width < 1 || *height < 1) return std::nullopt;
  const std::uint64_t pixels = std::uint64_t(*width) * std::uint64_t(*height);
  // One pixel per sample: fewer samples than pixels would read past the samples.
  if (from.size() < pixels) return std::nullopt;
  WaveformImage image;
  image.width = *width;
  image.height = *height;
  image.bytesPerRow = *width * 4;
  image.pixels.resize(pixels * 4);
  std::memcpy(image.pixels.data(), from.data(), image.pixels.size());
  return image;
}

std::optional<AudioProcessorOutputType> AudioProcessor::padOrTrim(std::span<const float> fromArray, int startAt,
                                                                  int toLength) {
  return padOrTrimAudio(fromArray, startAt, toLength, false);
}

float AudioProcessor::calculateAverageEnergy(std::span<const float> signal) { return rootMeanSquare(signal); }

AudioEnergy AudioProcessor::calculateEnergy(std::span<const float> signal) {
  if (signal.empty()) return {};
  AudioEnergy energy;
  energy.avg = rootMeanSquare(signal);
  energy.max = 0;
  energy.min = std::fabs(signal.front());
  for (float v : signal) {
    const float m = std::fabs(v);
    energy.max = std::max(energy.max, m);
    energy.min = std::min(energy.min, m);
  }
  return energy;
}

float AudioProcessor::calculateRelativeEnergy(std::span<const float> signal, std::optional<float> relativeTo) {
  const float rms = rootMeanSquare(signal);
  const float reference = relativeTo ? std::max(*relativeTo, 1e-8f) : 0.001f;
  const float referenceDb = 20.0f * std::log10(reference);
  const float relative = (20.0f * std::log10(rms) - referenceDb) / (0.0f - referenceDb);
  if (std::isnan(relative)) return 0.0f;
  return std::clamp(relative, 0.0f, 1.0f);
}

// One energy value stands for 0.1 s. Of the values of the last nextBufferInSeconds, the oldest
// max(n - 10, 10) are examined (all when there are 10 or fewer).
bool AudioProcessor::isVoiceDetected(std::span<const float> energies, float nextBufferInSeconds,
                                     float silenceThreshold) {
  const int windows = std::max(0, platform::sys::saturatingIntegerCast<int>(nextBufferInSeconds / 0.1f));
  const std::size_t recentCount = std::min(std::size_t(windows), energies.size());
  const auto recent = energies.subspan(energies.size() - recentCount);
  const std::size_t considered =
      std::min(recent.size(), std::size_t(std::max<std::ptrdiff_t>(std::ptrdiff_t(recent.size()) - 10, 10)));
  return std::any_of(recent.begin(), recent.begin() + std::ptrdiff_t(considered),
                     [&](float e) { return e > silenceThreshold; });
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(std::span<const float> signal, int chunkCount,
                                                                 int frameLengthSamples, int frameOverlapSamples,
                                                                 float energyThreshold) {
  std::vector<bool> activity;
  activity.reserve(std::size_t(std::max(0, chunkCount)));
  const std::size_t count = signal.size();
  for (int i = 0; i < chunkCount; ++i) {
    const std::size_t start = std::size_t(i) * std::size_t(std::max(0, frameLengthSamples));
    if (start >= count) {
      activity.push_back(false);
      continue;
    }
    const std::size_t end = std::min(
        start + std::size_t(std::max(0, frameLengthSamples)) + std::size_t(std::max(0, frameOverlapSamples)), count);
    activity.push_back(rootMeanSquare(signal.subspan(start, end - start)) > energyThreshold);
  }
  return activity;
}

std::vector<IndexRange> AudioProcessor::calculateNonSilentChunks(std::span<const float> signal) {
  return EnergyVAD::makeDefault().calculateActiveChunks(signal);
}

}  // namespace vostrane
