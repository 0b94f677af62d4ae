#include "speech/audio/voice_activity_detector.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/sys/checked_cast.hpp"
#include "speech/audio/audio_processor.hpp"

namespace vostrane {

VoiceActivityDetector::VoiceActivityDetector(int sampleRate, int frameLengthSamples, int frameOverlapSamples)
    : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {
  if (sampleRate <= 0 || frameLengthSamples <= 0 || frameOverlapSamples < 0) {
    throw std::invalid_argument("VoiceActivityDetector: sample rate and frame length must be positive");
  }
}

std::vector<bool> VoiceActivityDetector::voiceActivityAsync(std::span<const float> waveform) const {
  return voiceActivity(waveform);
}

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(std::span<const float> waveform) const {
  const std::vector<bool> activity = voiceActivity(waveform);
  const auto count = static_cast<long long>(waveform.size());
  const long long length = frameLengthSamples_;
  std::vector<IndexRange> ranges;
  for (std::size_t i = 0; i < activity.size(); ++i) {
    if (!activity[i]) continue;
    const long long start = static_cast<long long>(i) * length;
    const int end = static_cast<int>(std::min(count, start + length));
    if (i == 0 || !activity[i - 1]) {
      ranges.push_back({static_cast<int>(std::min(start, count)), end});
    } else {
      ranges.back().endIndex = end;
    }
  }
  return ranges;
}

int VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(int index) const { return index * frameLengthSamples_; }

float VoiceActivityDetector::voiceActivityIndexToSeconds(int index) const {
  return static_cast<float>(index * frameLengthSamples_) / static_cast<float>(sampleRate_);
}

std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& activity) const {
  std::optional<IndexRange> longest;
  const int n = static_cast<int>(activity.size());
  int i = 0;
  while (i < n) {
    if (activity[static_cast<std::size_t>(i)]) {
      ++i;
      continue;
    }
    int j = i;
    while (j < n && !activity[static_cast<std::size_t>(j)]) ++j;
    if (!longest || j - i > longest->endIndex - longest->startIndex) longest = IndexRange{i, j};
    i = j;
  }
  return longest;
}

EnergyVAD::EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples, float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}

namespace {
int framesOf(float seconds, int sampleRate) {
  const float product = seconds * static_cast<float>(sampleRate);
  const auto value = platform::sys::checkedIntegerCast<int>(product);
  if (!std::isfinite(product) || !value) throw std::invalid_argument("EnergyVAD: frame duration out of range");
  return *value;
}
}  // namespace

EnergyVAD::EnergyVAD(int sampleRate, float frameLength, float frameOverlap, float energyThreshold)
    : EnergyVAD(sampleRate, framesOf(frameLength, sampleRate), framesOf(frameOverlap, sampleRate), energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(std::span<const float> waveform) const {
  const double frames = std::ceil(static_cast<double>(waveform.size()) / frameLengthSamples());
  const int chunkCount = platform::sys::saturatingIntegerCast<int>(frames);
  return AudioProcessor::calculateVoiceActivityInChunks(waveform, chunkCount, frameLengthSamples(),
                                                        frameOverlapSamples(), energyThreshold_);
}

}  // namespace vostrane
