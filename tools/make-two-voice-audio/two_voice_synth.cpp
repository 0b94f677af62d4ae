#include "tools/make-two-voice-audio/two_voice_synth.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "platform/sys/checked_cast.hpp"

namespace twovoice {

namespace {

constexpr double kTwoPi = 2 * std::numbers::pi;
constexpr std::int64_t kEndMarginMilliseconds = 200;
constexpr double kMaximumOverlapShare = 0.04;  // of the summed turn lengths
constexpr double kPeak = 0.9;
constexpr double kNoiseAmplitude = 0.001;
constexpr double kFundamentalAmplitude = 0.25;
constexpr double kHighestHarmonic = 4000;  // Hz
constexpr double kRampSeconds = 0.015;

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed ^ 0x74776f766f696365ULL) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
  double uniform(double low, double high) { return low + (high - low) * unit(); }
  // Uniform integer in [low, high].
  std::int64_t between(std::int64_t low, std::int64_t high) {
    return low + static_cast<std::int64_t>(next() % static_cast<std::uint64_t>(high - low + 1));
  }

 private:
  std::uint64_t state_;
};

void check(const SynthesisOptions& options) {
  if (!(options.seconds > 0) || !(options.seconds <= 24 * 3600.0)) {
    throw SynthesisError("seconds must be above 0 and at most 86400");
  }
  if (options.voices < 0 || options.voices > 2) throw SynthesisError("voices must be 0, 1 or 2");
}

std::int64_t totalSamples(const SynthesisOptions& options) {
  return platform::sys::checkedIntegerCast<std::int64_t>(std::round(options.seconds * kSampleRate)).value_or(0);
}

struct Voice {
  double basePitch = 0;
  std::array<double, 3> phases{};  // slow drift, fast drift, syllable rhythm
  double formantBoost = 0;         // extra gain at the formant's centre (0: none)
};

// The low voice's formant: a raised-cosine bump kFormantHalfWidthHz to either side of
// kFormantHz that raises harmonics by up to 1 + formantBoost, so that the third and fourth
// harmonics of the low voice fill the high voice's band.
constexpr double kFormantHz = 260;
constexpr double kFormantHalfWidthHz = 120;

double harmonicGain(const Voice& voice, double hz) {
  const double x = (hz - kFormantHz) / kFormantHalfWidthHz;
  if (voice.formantBoost == 0 || std::fabs(x) >= 1) return 1;
  const double bump = std::cos(std::numbers::pi / 2 * x);
  return 1 + voice.formantBoost * bump * bump;
}

void render(const Voice& voice, const Turn& turn, std::vector<float>& out) {
  const auto first = std::min<std::int64_t>(turn.startMilliseconds * (kSampleRate / 1000),
                                            static_cast<std::int64_t>(out.size()));
  const auto last = std::min<std::int64_t>(turn.endMilliseconds * (kSampleRate / 1000),
                                           static_cast<std::int64_t>(out.size()));
  const double rampSamples = kRampSeconds * kSampleRate;
  double phase = 0;
  for (std::int64_t n = first; n < last; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    const double pitch = voice.basePitch * (1 + 0.06 * std::sin(kTwoPi * 0.7 * t + voice.phases[0]) +
                                            0.03 * std::sin(kTwoPi * 2.3 * t + voice.phases[1]));
    phase += kTwoPi * pitch / kSampleRate;
    if (phase > kTwoPi) phase -= kTwoPi;
    const double envelope = 0.75 + 0.25 * std::sin(kTwoPi * 3.5 * t + voice.phases[2]);
    const double fromEdge = static_cast<double>(std::min(n - first, last - 1 - n));
    const double ramp = fromEdge < rampSamples ? 0.5 - 0.5 * std::cos(std::numbers::pi * fromEdge / rampSamples) : 1;
    // sin(k x) for k = 1, 2, ... by the recurrence sin((k + 1) x) = 2 cos(x) sin(k x) - sin((k - 1) x).
    const double twoCos = 2 * std::cos(phase);
    double previous = 0;
    double current = std::sin(phase);
    double value = 0;
    for (int k = 1; k * pitch < kHighestHarmonic; ++k) {
      const double amplitude = k == 1 ? 1.0 : 0.5 / k;
      value += amplitude * harmonicGain(voice, k * pitch) * current;
      const double next = twoCos * current - previous;
      previous = current;
      current = next;
    }
    out[static_cast<std::size_t>(n)] += static_cast<float>(kFundamentalAmplitude * envelope * ramp * value);
  }
}

}  // namespace

std::vector<Turn> planTurns(const SynthesisOptions& options) {
  check(options);
  std::vector<Turn> turns;
  if (options.voices == 0) return turns;
  Random random(options.seed);
  const std::int64_t total = totalSamples(options) / (kSampleRate / 1000);
  const std::int64_t lastEnd = total - kEndMarginMilliseconds;
  std::int64_t start = random.between(300, 1500);
  int voice = options.voices == 2 ? static_cast<int>(random.next() & 1u) : 0;
  std::int64_t summed = 0;
  std::int64_t overlapped = 0;
  std::int64_t pendingOverlap = 0;
  while (true) {
    std::int64_t end = start + random.between(2000, 7000);
    if (end > lastEnd) end = lastEnd;
    if (end - start < 1000) break;
    turns.push_back({voice, start, end});
    summed += end - start;
    overlapped += pendingOverlap;
    if (end == lastEnd) break;
    voice = options.voices == 2 ? 1 - voice : 0;
    const std::int64_t overlap = random.between(300, 800);
    const bool overlaps = options.voices == 2 && random.unit() < 0.2 &&
                          static_cast<double>(overlapped + overlap) <= kMaximumOverlapShare * static_cast<double>(summed);
    if (overlaps) {
      pendingOverlap = overlap;
      start = end - overlap;
    } else {
      pendingOverlap = 0;
      start = end + random.between(200, 1500);
    }
  }
  return turns;
}

Recording synthesize(const SynthesisOptions& options) { return renderTurns(options, planTurns(options)); }

Recording renderTurns(const SynthesisOptions& options, std::vector<Turn> turns) {
  check(options);
  for (const Turn& turn : turns) {
    if ((turn.voice != 0 && turn.voice != 1) || turn.startMilliseconds < 0 ||
        turn.endMilliseconds <= turn.startMilliseconds) {
      throw SynthesisError("a turn needs voice 0 or 1 and 0 <= start < end");
    }
  }
  Recording recording;
  recording.turns = std::move(turns);
  Random random(options.seed * 0x2545f4914f6cdd1dULL + 7);
  std::array<Voice, 2> voices;
  voices[0].basePitch = random.uniform(76, 96);
  voices[0].formantBoost = 5;
  voices[1].basePitch = random.uniform(235, 285);
  for (Voice& v : voices) {
    for (double& p : v.phases) p = random.uniform(0, kTwoPi);
  }
  recording.samples.assign(static_cast<std::size_t>(totalSamples(options)), 0.0f);
  for (const Turn& turn : recording.turns) render(voices[static_cast<std::size_t>(turn.voice)], turn, recording.samples);
  for (float& s : recording.samples) s += static_cast<float>(kNoiseAmplitude * (2 * random.unit() - 1));
  float peak = 0;
  for (const float s : recording.samples) peak = std::max(peak, std::fabs(s));
  if (peak > kPeak) {
    const float scale = static_cast<float>(kPeak) / peak;
    for (float& s : recording.samples) s *= scale;
  }
  return recording;
}

namespace {

// Seconds covered by at least `depth` turns at once.
double coveredSeconds(std::span<const Turn> turns, int depth) {
  std::vector<std::pair<std::int64_t, int>> events;
  for (const Turn& t : turns) {
    events.emplace_back(t.startMilliseconds, 1);
    events.emplace_back(t.endMilliseconds, -1);
  }
  std::sort(events.begin(), events.end());
  int active = 0;
  std::int64_t covered = 0;
  std::int64_t since = 0;
  for (const auto& [at, change] : events) {
    if (active >= depth) covered += at - since;
    active += change;
    since = at;
  }
  return static_cast<double>(covered) / 1000.0;
}

}  // namespace

double overlappedSeconds(std::span<const Turn> turns) { return coveredSeconds(turns, 2); }
double speechSeconds(std::span<const Turn> turns) { return coveredSeconds(turns, 1); }

std::string turnsAsRttm(std::span<const Turn> turns, std::string_view fileId) {
  std::string out;
  char numbers[64];
  for (const Turn& t : turns) {
    std::snprintf(numbers, sizeof numbers, "%.3f %.3f", t.start(), t.end() - t.start());
    out += "SPEAKER ";
    out += fileId;
    out += " 1 ";
    out += numbers;
    out += " <NA> <NA> ";
    out += kVoiceNames[t.voice == 1 ? 1 : 0];
    out += " <NA> <NA>\n";
  }
  return out;
}

}  // namespace twovoice
