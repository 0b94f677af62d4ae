// make-two-voice-audio --out F.wav --rttm F.rttm --seconds N --seed S [--voices 0|1|2]
//
// Writes a synthetic 16 kHz mono recording of two harmonic voices (16-bit WAV) and its true
// speaker turns as RTTM (file id: the WAV file's stem, blanks made "_"). Exit status 0 on
// success, 1 when a file cannot be written (one line on stderr), 2 for a usage error.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "platform/audio/wav_writer.hpp"
#include "platform/fs/file_system.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

int usage() {
  std::fputs("usage: make-two-voice-audio --out F.wav --rttm F.rttm --seconds N --seed S [--voices 0|1|2]\n", stderr);
  return 2;
}

std::optional<double> number(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (*text == '\0' || *end != '\0' || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::uint64_t> unsignedNumber(const char* text) {
  if (*text < '0' || *text > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || errno == ERANGE) return std::nullopt;
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> out;
  std::optional<std::string> rttmPath;
  std::optional<double> seconds;
  std::optional<std::uint64_t> seed;
  int voices = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--out") {
      out = value;
    } else if (arg == "--rttm") {
      rttmPath = value;
    } else if (arg == "--seconds") {
      seconds = number(value);
      if (!seconds) return usage();
    } else if (arg == "--seed") {
      seed = unsignedNumber(value);
      if (!seed) return usage();
    } else if (arg == "--voices") {
      const std::string_view v = value;
      if (v != "0" && v != "1" && v != "2") return usage();
      voices = v[0] - '0';
    } else {
      return usage();
    }
  }
  if (!out || !rttmPath || !seconds || !seed || out->empty() || rttmPath->empty()) return usage();
  try {
    const twovoice::Recording recording = twovoice::synthesize({*seconds, *seed, voices});
    auto& fileSystem = platform::fs::RealFileSystem::shared();
    platform::audio::writeWav(fileSystem, *out, recording.samples, twovoice::kSampleRate);
    fileSystem.writeFile(*rttmPath, twovoice::turnsAsRttm(recording.turns, rttm::fileIdFor(*out)));
  } catch (const twovoice::SynthesisError& e) {
    std::fprintf(stderr, "make-two-voice-audio: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-two-voice-audio: %s\n", e.what());
    return 1;
  }
  return 0;
}
