// The front door of a transcription request: each recording loaded as 16 kHz mono float samples
// with the worker's error texts (loadAudioSamples), and the two signals mixed into the one the
// speech and diarization steps work on (AudioMerger). The engine and the speaker analyzer call
// both, microphone first.
//
// Every failure is TranscriptionError::invalidInput; nothing is logged here. All functions are
// stateless and thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace velmoria {

// Reads a whole file as 16 kHz mono samples, all channels mixed; throws on failure.
using AudioSampleLoader = std::function<std::vector<float>(const std::string& path)>;

// The speech library's loader: every channel summed, from 0 to the end of the file.
std::vector<float> loadWithSpeechLibrary(const std::string& path);

// The samples of the file at `path`, loaded with `loader`. Throws TranscriptionError::invalidInput:
// - "Audio file does not exist: " + path when nothing is there: also for an empty or relative
//   path (it would resolve against the worker's folder, not the client's), a path holding a
//   NUL (every system call would stop at it and name another file), a dangling link, and a
//   path the system refuses (too long);
// - "Audio file produced zero samples: " + path when the loader returns nothing;
// - "Failed to load audio from " + path + ": " + the loader's error text for any other error
//   (a folder, a FIFO, a device, an unreadable or corrupt file).
// A TranscriptionError thrown by the loader passes unchanged.
std::vector<float> loadAudioSamples(const std::string& path, const AudioSampleLoader& loader = loadWithSpeechLibrary);

enum class StreamLabel { mic, system, both };

// Which streams contributed to the samples [startSample, endSample) of a mix.
struct LabeledRange {
  std::int64_t startSample = 0;
  std::int64_t endSample = 0;  // exclusive
  StreamLabel label = StreamLabel::both;
  friend bool operator==(const LabeledRange&, const LabeledRange&) = default;
};

struct MergeResult {
  std::vector<float> samples;
  // In sample order, covering the whole signal without gaps or overlaps.
  std::vector<LabeledRange> labels;

  // Seconds: the sample count / 16000.
  double duration() const;
  // Same count, samples numerically equal (a NaN never is), equal labels.
  friend bool operator==(const MergeResult&, const MergeResult&) = default;
};

struct AudioMerger {
  static constexpr double sampleRate = 16000.0;

  // One signal alone is returned unchanged. Both: the sample sums over the longer length (the
  // shorter one counts as 0 past its end), all multiplied by 1/peak when the largest absolute
  // sum (NaN ignored) is above 1.0. Throws TranscriptionError::invalidInput("At least one
  // audio stream (mic or system) must contain non-zero samples") when both are empty.
  static MergeResult merge(std::span<const float> mic, std::span<const float> system);
};

}  // namespace velmoria
