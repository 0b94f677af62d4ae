// Peak memory of incremental transcription: `incremental_rss SECONDS` writes the demo speech
// models and a SECONDS long 16 kHz mono WAV file (a tone under a slow swell with a 1 s pause
// every 25 s, generated sample by sample) into a temporary folder, transcribes the file with
// incremental loading (120 s read span, 2 pieces buffered) on the demo models and prints one
// line:
//
//   seconds=7200 pieces=... segments=... transcribe_s=... peak_rss_kib=... baseline_rss_kib=...
//
// peak_rss_kib is getrusage(RUSAGE_SELF).ru_maxrss after the run; baseline_rss_kib the same
// before the file is opened (models loaded). Run each duration in its own process (see
// incremental_rss.sh): with incremental loading the peak does not grow with the file's length.
// Exit 1 with one line on stderr on bad arguments or a failed run.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <numbers>
#include <string>

#include "speech/demo_speech_models.hpp"
#include "speech/pipeline/vostrane.hpp"
#include "support/wav_writer.hpp"

namespace {

long peakRssKib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// One sample of the generated recording: speech-like tone, silent for the last second of
// every 25.
float sampleAt(std::int64_t index) {
  constexpr int kRate = 16000;
  if (index % (25 * kRate) >= 24 * kRate) return 0.0F;
  const double t = static_cast<double>(index) / kRate;
  return static_cast<float>(0.3 * (0.6 + 0.4 * std::sin(2 * std::numbers::pi * 3 * t)) *
                            std::sin(2 * std::numbers::pi * 220 * t));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: incremental_rss SECONDS\n");
    return 1;
  }
  const double seconds = std::atof(argv[1]);
  if (!(seconds >= 1 && seconds <= 6 * 3600)) {
    std::fprintf(stderr, "incremental_rss: SECONDS must be between 1 and 21600\n");
    return 1;
  }
  try {
    const vostrane::testdemo::DemoSpeechFolder demo("incremental_rss");
    const auto path = demo.root() / "long.wav";
    const auto frames = static_cast<std::int64_t>(seconds * 16000);
    testsupport::writeWav(path, 16000, 1, frames, [](int, std::int64_t i) { return sampleAt(i); });

    vostrane::VostraneConfig config;
    config.modelFolder = demo.models().string();
    constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;
    config.computeOptions = vostrane::ModelComputeOptions(kCpu, kCpu, kCpu);
    config.verbose = false;
    config.load = true;
    auto instance = vostrane::Vostrane::create(config);
    const long baseline = peakRssKib();

    const auto start = std::chrono::steady_clock::now();
    const vostrane::AudioInputOptions options(vostrane::ChannelMode::sumChannels(),
                                              vostrane::AudioLoadingMode::incremental());
    const auto results = instance->transcribe(path.string(), options);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::size_t segments = 0;
    for (const auto& result : results) segments += result->segments().size();
    std::printf("seconds=%.0f pieces=%zu segments=%zu transcribe_s=%.1f peak_rss_kib=%ld baseline_rss_kib=%ld\n",
                seconds, results.size(), segments, elapsed, peakRssKib(), baseline);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "incremental_rss: %s\n", e.what());
    return 1;
  }
}
