// Frame-wise voice activity detection over 16 kHz samples.
//
// VoiceActivityDetector fixes the frame grid (frame i starts at sample i x frameLengthSamples)
// and turns per-frame decisions into sample ranges, seconds and silences; EnergyVAD calls a
// frame voiced when its root-mean-square energy is above a threshold. Used by the silence
// chunker, by AudioProcessor::calculateNonSilentChunks and by the library's configuration.
// Detectors are immutable after construction and safe to share between threads.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace vostrane {

// A half-open range [startIndex, endIndex) of samples or of frames.
struct IndexRange {
  int startIndex = 0;
  int endIndex = 0;
  friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

class VoiceActivityDetector {
 public:
  // Throws std::invalid_argument when sampleRate or frameLengthSamples is not positive or
  // frameOverlapSamples is negative.
  VoiceActivityDetector(int sampleRate, int frameLengthSamples, int frameOverlapSamples);
  virtual ~VoiceActivityDetector() = default;

  int sampleRate() const { return sampleRate_; }
  int frameLengthSamples() const { return frameLengthSamples_; }
  int frameOverlapSamples() const { return frameOverlapSamples_; }

  // One value per frame, true = voiced. Every concrete detector supplies it.
  virtual std::vector<bool> voiceActivity(std::span<const float> waveform) const = 0;
  // The same result as voiceActivity (the override of the object's class); blocking.
  virtual std::vector<bool> voiceActivityAsync(std::span<const float> waveform) const;
  // Voiced sample ranges: consecutive voiced frames merged, each range clipped to the audio;
  // overlap samples are not part of a range.
  virtual std::vector<IndexRange> calculateActiveChunks(std::span<const float> waveform) const;
  // Frame index -> first sample index of the frame.
  virtual int voiceActivityIndexToAudioSampleIndex(int index) const;
  // Frame index -> seconds (index x frame length in integers, divided as floats by the rate).
  virtual float voiceActivityIndexToSeconds(int index) const;
  // The longest run of unvoiced frames (the first of equally long runs), end exclusive, in
  // frames; absent when there is no unvoiced frame.
  virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& activity) const;

 private:
  int sampleRate_;
  int frameLengthSamples_;
  int frameOverlapSamples_;
};

class EnergyVAD : public VoiceActivityDetector {
 public:
  // Throws std::invalid_argument as the base class does.
  EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples, float energyThreshold);
  // Frame length and overlap in seconds (products taken in 32-bit floats, truncated). Throws
  // std::invalid_argument when a product is not finite or does not fit an int, or as above.
  EnergyVAD(int sampleRate, float frameLength, float frameOverlap, float energyThreshold);

  // The default detector: 16,000 samples per second, 1,600-sample frames, no overlap, 0.02.
  static EnergyVAD makeDefault() { return EnergyVAD(16000, 1600, 0, 0.02f); }

  float energyThreshold() const { return energyThreshold_; }

  // Frame i covers samples [i L, min(i L + L + overlap, count)); voiced when its RMS is
  // strictly greater than the threshold. ceil(count / L) frames.
  std::vector<bool> voiceActivity(std::span<const float> waveform) const override;

 private:
  float energyThreshold_;
};

}  // namespace vostrane
