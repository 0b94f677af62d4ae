// Synthetic two-voice recordings with known speaker turns, for the diarization tools, tests,
// benchmarks and the worker's demo inputs.
//
// Two harmonic voices at 16 kHz: voice 0 ("low") with a fundamental between 69 and 105 Hz and
// voice 1 ("high") between 214 and 311 Hz, inside the low (60-160 Hz) and high (200-320 Hz)
// pitch bands of the demo diarization models. Each voice's pitch drifts slowly and its loudness
// follows a syllable rhythm. Voice 0 has a formant around 260 Hz that makes its third harmonic
// about as strong as its fundamental, so its harmonics put about as much energy into the high
// band as its fundamental puts into the low one: only its pitch, not its band energies, tells it
// from voice 1 (which has nothing below 200 Hz). Turns of 2-7 s alternate between the voices
// with pauses of 0.2-1.5 s, and now and then a short overlap (0.3-0.8 s); overlapped time stays
// below 5% of the speech. A faint noise floor (about -60 dBFS) fills the pauses. Everything
// follows from the seed: the same options give the same samples on every run.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace twovoice {

inline constexpr int kSampleRate = 16000;

// The speaker name of each voice in RTTM output.
inline constexpr std::string_view kVoiceNames[2] = {"low_voice", "high_voice"};

struct Turn {
  int voice = 0;        // 0 (low) or 1 (high)
  std::int64_t startMilliseconds = 0;
  std::int64_t endMilliseconds = 0;  // > start

  double start() const { return static_cast<double>(startMilliseconds) / 1000.0; }
  double end() const { return static_cast<double>(endMilliseconds) / 1000.0; }
  bool operator==(const Turn&) const = default;
};

struct SynthesisOptions {
  double seconds = 60;     // length of the recording, > 0 and at most 24 hours
  std::uint64_t seed = 1;  // any value
  int voices = 2;          // 0 (silence: noise floor only), 1 (voice 0 only) or 2
};

struct Recording {
  std::vector<float> samples;  // mono, kSampleRate, peak at most 0.9
  std::vector<Turn> turns;     // in start order
};

// Options outside the ranges above.
class SynthesisError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The turn plan alone (no samples), as synthesize() uses it. Throws SynthesisError.
std::vector<Turn> planTurns(const SynthesisOptions& options);

// The recording. Throws SynthesisError.
Recording synthesize(const SynthesisOptions& options);

// A recording of the given turns instead of planned ones (`options.voices` is only checked; the
// voices' pitches follow the seed as in synthesize, so two renderings with one seed have the
// same two voices). Turns past the end are cut there. Throws SynthesisError for bad options or
// a turn with another voice than 0 or 1, a negative start or an end not after its start.
Recording renderTurns(const SynthesisOptions& options, std::vector<Turn> turns);

// Seconds during which both voices speak.
double overlappedSeconds(std::span<const Turn> turns);
// Seconds during which at least one voice speaks.
double speechSeconds(std::span<const Turn> turns);

// One RTTM line per turn: "SPEAKER <fileId> 1 <onset> <duration> <NA> <NA> <name> <NA> <NA>",
// times in seconds with 3 decimals, each line ending in "\n".
std::string turnsAsRttm(std::span<const Turn> turns, std::string_view fileId);

}  // namespace twovoice
