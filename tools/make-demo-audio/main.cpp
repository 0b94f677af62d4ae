// make-demo-audio --mic F --system F [--seconds N]
//
// Writes the worker's demo inputs: two 16 kHz mono 16-bit WAV files of N seconds (default 20,
// at most 86400), a microphone recording of the low demo voice and a system-output recording
// of the high one, in alternating five-second stretches that repeat every 20 s: the microphone
// speaks in 0-5 s and 10-15 s, the system output in 5-10 s and 15-20 s. The two voices'
// fundamentals lie in the pitch bands the demo diarization models tell apart (the low voice's
// harmonics fill the high band too), so the mixed recording has two speakers.
// Exit status 0 on success; 1 with one line on stderr for bad arguments or a failed write.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio/wav_writer.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/sys/checked_cast.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"

namespace {

constexpr std::int64_t kPeriodMilliseconds = 20'000;
constexpr std::int64_t kStretchMilliseconds = 5'000;
constexpr int kMicVoice = 0;
constexpr int kSystemVoice = 1;

int fail(const std::string& message) {
  std::fprintf(stderr, "make-demo-audio: %s\n", message.c_str());
  return 1;
}

int usage() { return fail("usage: make-demo-audio --mic F --system F [--seconds N]"); }

std::optional<double> seconds(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !std::isfinite(value) || !(value > 0) || value > 86'400) return std::nullopt;
  return value;
}

// The stretches of `voice`, which speaks in the stretches of each period starting at
// `offsetMilliseconds` and 10 s later, cut at `totalMilliseconds`.
std::vector<twovoice::Turn> turnsOf(int voice, std::int64_t offsetMilliseconds, std::int64_t totalMilliseconds) {
  std::vector<twovoice::Turn> turns;
  for (std::int64_t period = 0; period < totalMilliseconds; period += kPeriodMilliseconds) {
    for (const std::int64_t start : {period + offsetMilliseconds, period + offsetMilliseconds + 2 * kStretchMilliseconds}) {
      const std::int64_t end = std::min(start + kStretchMilliseconds, totalMilliseconds);
      if (start < end) turns.push_back({voice, start, end});
    }
  }
  return turns;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> mic;
  std::optional<std::string> system;
  double length = 20;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[i + 1];
    if (flag == "--mic" && !mic && *value != '\0') {
      mic = value;
    } else if (flag == "--system" && !system && *value != '\0') {
      system = value;
    } else if (flag == "--seconds") {
      const auto parsed = seconds(value);
      if (!parsed) return fail(std::string("--seconds needs a number above 0 and at most 86400, not \"") + value + "\"");
      length = *parsed;
    } else {
      return usage();
    }
  }
  if (!mic || !system) return usage();
  try {
    const std::int64_t total = platform::sys::checkedIntegerCast<std::int64_t>(std::round(length * 1000)).value_or(0);
    const twovoice::SynthesisOptions options{length, 1, 2};
    const twovoice::Recording micRecording = twovoice::renderTurns(options, turnsOf(kMicVoice, 0, total));
    const twovoice::Recording systemRecording =
        twovoice::renderTurns(options, turnsOf(kSystemVoice, kStretchMilliseconds, total));
    auto& fileSystem = platform::fs::RealFileSystem::shared();
    platform::audio::writeWav(fileSystem, *mic, micRecording.samples, twovoice::kSampleRate);
    platform::audio::writeWav(fileSystem, *system, systemRecording.samples, twovoice::kSampleRate);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return 0;
}
